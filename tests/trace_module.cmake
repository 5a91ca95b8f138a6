# The tracing module library (bin/trace/Vorn.dll) between the server and the simulated module.
# The program is also its own client process (tests/trace/TraceClient.h).
add_executable(trace_module_tests trace/TraceModuleTests.cpp trace/TraceClient.cpp trace/TraceClient.h
               server/ServerUnderTest.h support/TrafficLog.h)
target_include_directories(trace_module_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trace_module_tests PRIVATE vornlink_commands GTest::gtest shell32 psapi)
add_dependencies(trace_module_tests Vornlink vorn_trace vorn_sim vorn_sim_noquery)
vorn_add_gtest(trace_module_tests)
