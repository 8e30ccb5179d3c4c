# The application's identity, in one place. The Windows version resource and
# the build-time identity used on other platforms are both generated from it.
set(KHRONAR_PRODUCT_NAME     "Хронар")
set(KHRONAR_FILE_DESCRIPTION "Хронар ")   # the trailing blank is part of the value
set(KHRONAR_INTERNAL_NAME    "")
set(KHRONAR_FILE_VERSION     "1.4.0.0")
set(KHRONAR_PRODUCT_VERSION  "1.4")
# Numeric forms for the fixed-info part of the resource.
set(KHRONAR_FILE_VERSION_COMMAS    "1,4,0,0")
set(KHRONAR_PRODUCT_VERSION_COMMAS "1,4,0,0")
# The day this version was released (YYYY-MM-DD), which the package's changelog
# and the desktop's software metadata give.
set(KHRONAR_RELEASE_DATE "2026-12-07")
