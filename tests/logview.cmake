# The log table, its timeline and the window's log file commands.
if(TARGET khronar_logview AND TARGET khronar_store)
    khronar_add_test(logviewmodel SOURCES support/logfixture.h support/notlogfiles.h support/samplelog.h
                     support/stationlogs.h LIBS khronar_logview khronar_store)
    khronar_add_test(logtimeline SOURCES support/logfixture.h support/samplelog.h
                     LIBS khronar_logview khronar_store)
endif()
if(TARGET khronar_app)
    khronar_add_test(logcommands SOURCES support/hostilelog.h support/logfixture.h support/logwindow.h
                     support/memorymeter.h support/notlogfiles.h support/pausemeter.h
                     LIBS khronar_app khronar_testsupport)
    khronar_add_test(logfilterbar SOURCES support/logfixture.h support/logwindow.h support/samplelog.h
                     LIBS khronar_app khronar_testsupport)
    khronar_add_test(mergedview SOURCES support/logfixture.h support/logwindow.h support/notlogfiles.h
                     support/stationlogs.h LIBS khronar_app khronar_testsupport)
    khronar_add_test(logtimelinestrip SOURCES support/logfixture.h support/logwindow.h support/samplelog.h
                     LIBS khronar_app khronar_testsupport)
endif()
