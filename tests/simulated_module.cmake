# The simulated module library (bin/sim/Vorn.dll, bin/sim-noquery/Vorn.dll), loaded the way the server loads it.
add_executable(simulated_module_tests simulated_module_tests.cpp)
target_link_libraries(simulated_module_tests PRIVATE GTest::gtest_main)
add_dependencies(simulated_module_tests vorn_sim vorn_sim_noquery)
vorn_add_gtest(simulated_module_tests)
