# The central log database, against PostgreSQL servers the tests start themselves
# (tests/support/postgresserver.h): the store in-process, and khronar-fetch end to end.
# The server is started with initdb and pg_ctl, as POSIX programs: not on Windows.
if(TARGET khronar_serverstore AND NOT WIN32)
    khronar_add_test(serverstore SOURCES support/logfixture.h support/postgresserver.h support/tcppeers.h
                     LIBS khronar_logaccess khronar_serverstore khronar_store)
endif()
if(TARGET khronar-fetch AND TARGET khronar-devsim AND TARGET khronar_serverstore)
    khronar_add_test(fetchserver SOURCES support/csvfixture.h support/fetchprocess.h support/postgresserver.h support/simulatorprocess.h support/stationlogs.h
                     support/storedrows.h support/tcppeers.h LIBS khronar_fetch)
    target_compile_definitions(tst_fetchserver PRIVATE
        KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>"
        KHRONAR_FETCH="$<TARGET_FILE:khronar-fetch>")
    add_dependencies(tst_fetchserver khronar-devsim khronar-fetch)
endif()
if(TARGET khronar_app AND TARGET khronar-fetch AND TARGET khronar-devsim)
    # The window over a server's device, beside the same log in a file.
    khronar_add_test(serverview SOURCES support/delayproxy.h support/fetchprocess.h support/logwindow.h
                     support/pausemeter.h support/postgresserver.h support/simulatorprocess.h support/stationlogs.h
                     support/storedrows.h support/tcppeers.h LIBS khronar_app khronar_testsupport)
    # A device of a million records behind a link 300 ms a round trip takes minutes to
    # filter and search through, more under the sanitizers.
    set_tests_properties(tst_serverview PROPERTIES TIMEOUT 2400)
    set_property(TEST tst_serverview APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=1500000")
    target_compile_definitions(tst_serverview PRIVATE
        KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>"
        KHRONAR_FETCH="$<TARGET_FILE:khronar-fetch>")
    add_dependencies(tst_serverview khronar-devsim khronar-fetch)
endif()
