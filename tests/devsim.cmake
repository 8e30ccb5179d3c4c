# Tests of the device simulator: its core in-process, and the khronar-devsim program
# over a pseudo-terminal, driven by the tool's own master and transfer client.
if(TARGET khronar-devsim AND TARGET khronar_messagetext)
    khronar_add_test(devsim LIBS khronar_devsim_core khronar_protocol khronar_messagetext)
    target_compile_definitions(tst_devsim PRIVATE
        KHRONAR_DEVSIM_PROGRAM="$<TARGET_FILE:khronar-devsim>")
    add_dependencies(tst_devsim khronar-devsim)
endif()
