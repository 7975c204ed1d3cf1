include(GoogleTest)

# Tests that start threads are also built and run under ThreadSanitizer.
add_custom_target(fluxet_thread_tests)

# Test properties every test program gets: ThreadSanitizer's options and what it must not
# report from libraries outside this project.
set(FLUXET_TEST_ENVIRONMENT "")
if(FLUXET_SANITIZE STREQUAL "thread")
    set(FLUXET_TEST_ENVIRONMENT ENVIRONMENT
        "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
endif()

# fluxet_add_test(NAME SOURCES src... LIBS lib... [THREADS] [LABELS label])
function(fluxet_add_test name)
    cmake_parse_arguments(T "THREADS" "LABELS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                                          Threads::Threads)
    # One label per program (a list would not survive test discovery): "threads" for the
    # programs that start threads, else the given label or the program name.
    if(T_THREADS)
        set(label threads)
        add_dependencies(fluxet_thread_tests ${name})
    elseif(T_LABELS)
        set(label ${T_LABELS})
    else()
        set(label ${name})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS ${label} TIMEOUT 300 ${FLUXET_TEST_ENVIRONMENT})
endfunction()
