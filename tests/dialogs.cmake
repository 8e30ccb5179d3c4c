# Tests of the port settings dialog and the traffic monitor.
if(TARGET khronar_dialogs)
    khronar_add_test(dialogtraffic LIBS khronar_dialogs)
    khronar_add_test(dialogportsettings LIBS khronar_dialogs)
endif()
