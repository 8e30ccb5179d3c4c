# Tests of the device simulator: its core in-process, and the khronar-devsim program
# over a pseudo-terminal, driven by the tool's own master and transfer client.
# tools/ is added after tests/, so the guard looks for the folder, not the target.
if(NOT WIN32 AND NOT KHRONAR_QT_FREE_ONLY AND TARGET khronar_presentation
   AND EXISTS "${PROJECT_SOURCE_DIR}/tools/devsim/CMakeLists.txt")
    khronar_add_test(devsim LIBS khronar_devsim_core khronar_protocol khronar_presentation)
    target_compile_definitions(tst_devsim PRIVATE
        KHRONAR_DEVSIM_PROGRAM="$<TARGET_FILE:khronar-devsim>")
    add_dependencies(tst_devsim khronar-devsim)
endif()
