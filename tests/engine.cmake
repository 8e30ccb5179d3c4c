# The download engine with the import, without widgets, against the simulator's core.
if(TARGET khronar_download AND TARGET khronar_devsim_core)
    khronar_add_test(downloadengine SOURCES support/logfixture.h
                     LIBS khronar_download khronar_store khronar_devsim_core util)
endif()
