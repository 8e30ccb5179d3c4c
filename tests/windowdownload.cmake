# End to end: the window against the device simulator.
if(TARGET khronar_app AND TARGET khronar-devsim)
    khronar_add_test(windowdownload SOURCES support/logfixture.h support/notlogfiles.h support/pausemeter.h
                     support/simulatorprocess.h support/stationlogs.h LIBS khronar_app khronar_testsupport)
    target_compile_definitions(tst_windowdownload PRIVATE KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>")
    add_dependencies(tst_windowdownload khronar-devsim)
endif()
