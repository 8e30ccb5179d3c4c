# Tests of the link to the device (folder link/, no Qt outside Qt Test).

if(TARGET khronar_link)
    khronar_add_test(terminalbuffer QT_FREE LIBS khronar_link)
    # openpty comes from libutil.
    khronar_add_test(comhalfduplexterminal QT_FREE LIBS khronar_link util)
    khronar_add_test(porttcp QT_FREE LIBS khronar_link khronar_protocol)
    khronar_add_test(portopener QT_FREE LIBS khronar_link util)
endif()
