# Tests of the port list shared by the connect dialog and khronar-fetch (folder portlist/).
if(TARGET khronar_portlist)
    khronar_add_test(portlist LIBS khronar_portlist)
endif()
