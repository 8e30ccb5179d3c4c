# The central log database, against PostgreSQL servers the tests start themselves
# (tests/support/postgresserver.h): the store in-process, and khronar-fetch end to end.
if(TARGET khronar_serverstore)
    khronar_add_test(serverstore SOURCES support/logfixture.h support/postgresserver.h
                     LIBS khronar_serverstore khronar_store)
endif()
if(TARGET khronar-fetch AND TARGET khronar-devsim AND TARGET khronar_serverstore)
    khronar_add_test(fetchserver SOURCES support/fetchprocess.h support/postgresserver.h support/simulatorprocess.h LIBS khronar_fetch)
    target_compile_definitions(tst_fetchserver PRIVATE
        KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>"
        KHRONAR_FETCH="$<TARGET_FILE:khronar-fetch>")
    add_dependencies(tst_fetchserver khronar-devsim khronar-fetch)
endif()
