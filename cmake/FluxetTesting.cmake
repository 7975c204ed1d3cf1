include(GoogleTest)

# Tests that start threads are also built and run under ThreadSanitizer.
add_custom_target(fluxet_thread_tests)

# fluxet_add_test(NAME SOURCES src... LIBS lib... [THREADS] [LABELS label...])
function(fluxet_add_test name)
    cmake_parse_arguments(T "THREADS" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                                          Threads::Threads)
    # Every test carries its program name as a label, so the list is never empty.
    set(labels ${name} ${T_LABELS})
    if(T_THREADS)
        list(APPEND labels threads)
        add_dependencies(fluxet_thread_tests ${name})
    endif()
    # A list value must reach the test properties as one argument.
    string(REPLACE ";" "\\;" labels "${labels}")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
