if(TARGET khronar_store)
    khronar_add_test(logfile LIBS khronar_store)
endif()
