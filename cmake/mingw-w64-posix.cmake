# Cross build for 64-bit Windows with Debian's MinGW-w64, posix thread model: the
# win32 model's libstdc++ has no std::thread, which the serial terminal needs.
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake
# With -DKHRONAR_QT_PREFIX=<a Qt for MinGW-w64, see scripts/windows-qt> the whole tool is
# built (the window, khronar-fetch and the tests); without it only the folders
# without Qt.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KHRONAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KHRONAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KHRONAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KHRONAR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KHRONAR_MINGW_PREFIX})
if(KHRONAR_QT_PREFIX)
    # Qt's CMake files are found only inside the root path; they find the Linux moc,
    # rcc and uic in the tree's bin/ by themselves.
    list(APPEND CMAKE_FIND_ROOT_PATH "${KHRONAR_QT_PREFIX}")
    list(APPEND CMAKE_PREFIX_PATH "${KHRONAR_QT_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without Qt everything is linked in, the winpthreads library included, so that the
# programs run on a bare Windows (or Wine) without the compiler's DLLs beside them.
# With Qt the programs share the C++ runtime DLLs that Qt's own DLLs load, and the
# installer ships them.
if(NOT KHRONAR_QT_PREFIX)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endif()
