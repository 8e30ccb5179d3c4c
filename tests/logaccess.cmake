# Reading a log from any store: the CSV export.
if(TARGET khronar_logaccess AND TARGET khronar_store)
    khronar_add_test(csvexport SOURCES support/hostilelog.h support/logfixture.h support/samplelog.h support/stationlogs.h
                     LIBS khronar_logaccess khronar_store)
endif()
if(TARGET khronar_logaccess)
    khronar_add_test(clockoffsets LIBS khronar_logaccess)
endif()
# Several log files merged into one that the view reads.
if(TARGET khronar_logaccess AND TARGET khronar_store)
    khronar_add_test(mergedlogfile SOURCES support/logfixture.h support/notlogfiles.h support/stationlogs.h
                     LIBS khronar_logaccess khronar_store)
endif()
