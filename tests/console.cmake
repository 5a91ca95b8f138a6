# Tests of the calibration console: run settings and dispatch driver in-process, fullcal.exe end to end.
add_executable(console_tests
  console/RunSettingsTests.cpp
  console/DispatchDriverTests.cpp)
target_link_libraries(console_tests PRIVATE fullcal_core GTest::gtest_main)
vorn_add_gtest(console_tests TEST_PREFIX "console.")

# fullcal.exe end to end, driven from the host shell: Wine's relay trace of the message boxes goes to the
# Unix stderr of the wine process, where only the host side can read it.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(_fullcal_cases defaults cv_board_through_winepath config_rejected port_rejected
      register_not_numeric long_arguments non_ascii non_ascii_double_byte library_missing server_unregistered)
  foreach(_case IN LISTS _fullcal_cases)
    add_test(NAME fullcal.${_case}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/console/fullcal_e2e.sh ${_case})
    set_tests_properties(fullcal.${_case} PROPERTIES
      ENVIRONMENT "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run"
      TIMEOUT 280)
  endforeach()
  # Unregistering the server would break any test running beside it.
  set_tests_properties(fullcal.server_unregistered PROPERTIES RUN_SERIAL TRUE)
endif()
