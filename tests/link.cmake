# Tests of the link to the device (folder link/, no Qt outside Qt Test).

if(TARGET khronar_link)
    khronar_add_test(terminalbuffer QT_FREE LIBS khronar_link)
    khronar_add_test(porttcp QT_FREE LIBS khronar_link khronar_protocol)
    # Over pseudo-terminals, which Windows has not (openpty comes from libutil). The
    # Windows check program drives the Win32 terminal instead.
    if(NOT WIN32)
        khronar_add_test(comhalfduplexterminal QT_FREE LIBS khronar_link util)
        khronar_add_test(portopener QT_FREE LIBS khronar_link util)
    endif()
endif()
