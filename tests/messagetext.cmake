# Tests of a record's message text: the caption format language.

if(TARGET khronar_messagetext)
    khronar_add_test(captionformat LIBS khronar_messagetext)
endif()
