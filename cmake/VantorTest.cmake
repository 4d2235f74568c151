# vantor_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [QT])
# One executable per test file. Core tests carry the label "core" so that the
# ThreadSanitizer run can pick them. The headless environment is set here, once.
function(vantor_add_test)
    cmake_parse_arguments(T "QT" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    if(T_QT)
        set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON)
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} Qt6::Test Threads::Threads)
    else()
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main Threads::Threads)
    endif()
    target_compile_definitions(${T_NAME} PRIVATE VANTOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                 VANTOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;SDL_AUDIODRIVER=disk;LANG=C.UTF-8;TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 suppressions=${PROJECT_SOURCE_DIR}/tests/support/tsan.supp;ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
