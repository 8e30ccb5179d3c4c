# LogDownload: the download engine with the import, without widgets, against the simulator's core.
if(TARGET khronar_logdownload AND TARGET khronar_devsim_core)
    khronar_add_test(logdownload SOURCES support/logfixture.h
                     LIBS khronar_logdownload khronar_devsim_core util)
endif()
