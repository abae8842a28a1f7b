# Time limits: each test's limit is near its real need, so that a hang fails
# fast; the instrumented builds run several times slower and scale them.
if(KORVEL_TSAN)
  set(KORVEL_TEST_TIME_SCALE 10)
elseif(KORVEL_SANITIZE)
  set(KORVEL_TEST_TIME_SCALE 4)
else()
  set(KORVEL_TEST_TIME_SCALE 1)
endif()

# korvel_test_timeout(test seconds): the test's limit, scaled for the build.
function(korvel_test_timeout test seconds)
  math(EXPR scaled "${seconds} * ${KORVEL_TEST_TIME_SCALE}")
  set_tests_properties(${test} PROPERTIES TIMEOUT ${scaled})
endfunction()

# korvel_add_tests(name... LIBS lib... [TIMEOUT seconds]) — one test per name,
# built from <name>.cpp in the calling folder. Tests run with the offscreen
# platform and a private HOME and settings folder, so that they never touch the
# user's settings.
function(korvel_add_tests)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
  foreach(name ${ARG_UNPARSED_ARGUMENTS})
    korvel_add_test(${name} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp LIBS ${ARG_LIBS} LABELS ${ARG_LABELS}
      TIMEOUT ${ARG_TIMEOUT})
  endforeach()
endfunction()

# korvel_add_test(name SOURCES ... LIBS ... [TIMEOUT seconds]): 60 seconds unless
# told. Qt Test's own watchdog ends a test function that hangs somewhat before
# that, with the function's name in the output.
function(korvel_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  math(EXPR timeout "${ARG_TIMEOUT} * ${KORVEL_TEST_TIME_SCALE}")
  math(EXPR function_timeout_ms "(${timeout} - 5) * 1000")
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set(test_home ${CMAKE_BINARY_DIR}/test-home/${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS}"
    TIMEOUT ${timeout}
    ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=${function_timeout_ms};QT_QPA_PLATFORM=offscreen;HOME=${test_home};XDG_CONFIG_HOME=${test_home}/.config;XDG_RUNTIME_DIR=${test_home}/run;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1")
  file(MAKE_DIRECTORY ${test_home}/run)
endfunction()

# korvel_tsan_ignore_qt_memory(test...): under ThreadSanitizer, the memory that
# interceptors (malloc, free, realloc, memmove) touch is not checked for these
# tests. They run the manager's threads, whose results reach the main thread as
# queued signals: Qt, not built with ThreadSanitizer, grows a thread's posted-event
# list and makes each event in the sending thread, frees it in the receiving one,
# all under a lock ThreadSanitizer cannot see. Every access of the project's own
# code and every lock are still checked; the worker's, the writer's and the
# remover's own tests run with every check.
function(korvel_tsan_ignore_qt_memory)
  if(KORVEL_TSAN)
    set_tests_properties(${ARGN} PROPERTIES
      ENVIRONMENT_MODIFICATION "TSAN_OPTIONS=string_append: ignore_interceptors_accesses=1")
  endif()
endfunction()
