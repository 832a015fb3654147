# Test registration for both builds.
#
# native:  corvane_add_test(NAME target) runs the test program directly.
# windows: the program runs under Wine in a prefix that this test run creates itself
#          (fixture "wineprefix"), with D: and E: mapped to fixed-drive folders of the build
#          tree and one persistent wineserver for the whole run, stopped at its end.
#          Every test of the run shares one Xvfb display started by the fixture; WINDOW tests
#          and SERIAL tests (which touch the prefix's shared state: services, registry, drives)
#          never run beside another test.

set(CORVANE_WINE_DIR "${CMAKE_BINARY_DIR}/wine")

if(WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/tests/wine/wine-env.sh.in ${CORVANE_WINE_DIR}/wine-env.sh @ONLY)
  set(CORVANE_WINE_RUN bash ${CMAKE_SOURCE_DIR}/tests/wine/run.sh ${CORVANE_WINE_DIR}/wine-env.sh)
  add_test(NAME wine.prefix.create
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/prefix.sh create ${CORVANE_WINE_DIR}/wine-env.sh)
  set_tests_properties(wine.prefix.create PROPERTIES FIXTURES_SETUP wineprefix RUN_SERIAL ON TIMEOUT 300)
  add_test(NAME wine.prefix.stop
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/prefix.sh stop ${CORVANE_WINE_DIR}/wine-env.sh)
  set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wineprefix RUN_SERIAL ON)
endif()

function(corvane_gtest_executable target)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE ${CORVANE_WARNINGS})
  target_link_libraries(${target} PRIVATE GTest::gtest_main GTest::gmock)
endfunction()

# corvane_add_test(NAME <name> TARGET <target> [WINDOW] [SERIAL] [DBPORT] [TIMEOUT <s>] [ARGS ...])
# DBPORT: the test starts the database stand-in on the host's port 3307 and takes its lock.
function(corvane_add_test)
  cmake_parse_arguments(T "WINDOW;SERIAL;DBPORT" "NAME;TARGET;TIMEOUT" "ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(WIN32)
    add_test(NAME ${T_NAME} COMMAND ${CORVANE_WINE_RUN} $<TARGET_FILE:${T_TARGET}> ${T_ARGS})
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wineprefix)
    if(T_SERIAL OR T_WINDOW)
      set_tests_properties(${T_NAME} PROPERTIES RUN_SERIAL ON)
    endif()
    if(T_DBPORT)
      set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT CORVANE_LOCK_DB_PORT=1)
    endif()
  else()
    add_test(NAME ${T_NAME} COMMAND $<TARGET_FILE:${T_TARGET}> ${T_ARGS})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
