# khronar-fetch: its command line in-process, and the program end to end against the
# device simulator.
if(TARGET khronar-fetch AND TARGET khronar-devsim)
    khronar_add_test(fetch SOURCES support/fetchprocess.h support/logfixture.h support/samplelog.h support/simulatorprocess.h
                     support/stationlogs.h LIBS khronar_fetch)
    target_compile_definitions(tst_fetch PRIVATE
        KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>"
        KHRONAR_FETCH="$<TARGET_FILE:khronar-fetch>")
    add_dependencies(tst_fetch khronar-devsim khronar-fetch)
endif()
if(TARGET khronar_fetch)
    khronar_add_test(fleetconfig LIBS khronar_fetch)
    # The journal is Linux's, and the console test talks to a pipe and a socket the
    # POSIX way.
    if(NOT WIN32)
        khronar_add_test(collectorconsole SOURCES support/tcppeers.h LIBS khronar_fetch)
    endif()
    khronar_add_test(fleetsupervisor LIBS khronar_fetch)
endif()
# A fleet file collected by khronar-fetch, end to end against several simulators.
if(TARGET khronar-fetch AND TARGET khronar-devsim)
    khronar_add_test(fleet SOURCES support/fetchprocess.h support/logfixture.h support/simulatorprocess.h
                     support/tcppeers.h LIBS khronar_store Qt5::Sql)
    target_compile_definitions(tst_fleet PRIVATE
        KHRONAR_DEVSIM="$<TARGET_FILE:khronar-devsim>"
        KHRONAR_FETCH="$<TARGET_FILE:khronar-fetch>")
    add_dependencies(tst_fleet khronar-devsim khronar-fetch)
endif()
