# Tests of the log presentation.

if(TARGET khronar_presentation)
    khronar_add_test(captionformat LIBS khronar_presentation)
endif()
