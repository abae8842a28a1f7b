# korvel_add_tests(name... LIBS lib...) — one test per name, built from <name>.cpp
# in the calling folder. Tests run with the offscreen platform and a private HOME
# and settings folder, so that they never touch the user's settings.
function(korvel_add_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  foreach(name ${ARG_UNPARSED_ARGUMENTS})
    korvel_add_test(${name} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp LIBS ${ARG_LIBS} LABELS ${ARG_LABELS})
  endforeach()
endfunction()

# korvel_add_test(name SOURCES ... LIBS ...)
function(korvel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set(test_home ${CMAKE_BINARY_DIR}/test-home/${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS}"
    TIMEOUT 600
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${test_home};XDG_CONFIG_HOME=${test_home}/.config;XDG_RUNTIME_DIR=${test_home}/run;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1")
  file(MAKE_DIRECTORY ${test_home}/run)
endfunction()
