# Tests of the calibration console: run settings and dispatch driver in-process, fullcal.exe end to end.
add_executable(console_tests
  console/RunSettingsTests.cpp
  console/DispatchDriverTests.cpp)
target_link_libraries(console_tests PRIVATE fullcal_core GTest::gtest_main)
vorn_add_gtest(console_tests)
