include(GoogleTest)

# tessarine_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
#
# Builds one GoogleTest program and registers each of its tests with ctest.
# Every test runs in a process of its own, so process-wide state (handle
# counters, tables built by static initialisation) starts fresh per test.
function(tessarine_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tessarine_tsan_suppressions GTest::gtest GTest::gmock GTest::gtest_main
    Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set(_props TIMEOUT 120)
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${_props})
endfunction()
