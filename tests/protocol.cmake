# Tests of the device protocol (Qt-free library; the programs use only Qt Test).
if(TARGET khronar_protocol)
    khronar_add_test(modbusmaster QT_FREE LIBS khronar_protocol)
    khronar_add_test(logtransfer QT_FREE LIBS khronar_protocol)
    khronar_add_test(addresslist QT_FREE LIBS khronar_protocol)
endif()
