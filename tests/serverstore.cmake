# The central log database, against PostgreSQL servers the tests start themselves
# (tests/support/postgresserver.h): the store in-process, and khronar-fetch end to end.
if(TARGET khronar_serverstore)
    khronar_add_test(serverstore SOURCES support/logfixture.h support/postgresserver.h
                     LIBS khronar_serverstore khronar_store)
endif()
