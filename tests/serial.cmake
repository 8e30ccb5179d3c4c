# Tests of the serial link (folder serial/, no Qt outside Qt Test).

if(TARGET khronar_serial)
    khronar_add_test(terminalbuffer QT_FREE LIBS khronar_serial)
    # openpty comes from libutil.
    khronar_add_test(comhalfduplexterminal QT_FREE LIBS khronar_serial util)
    khronar_add_test(porttcp QT_FREE LIBS khronar_serial khronar_protocol)
    khronar_add_test(portopener QT_FREE LIBS khronar_serial util)
endif()
