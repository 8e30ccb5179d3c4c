# Tests of the port list shared by the connect dialog and khronar-fetch (folder ports/).
if(TARGET khronar_ports)
    khronar_add_test(portlist LIBS khronar_ports)
endif()
