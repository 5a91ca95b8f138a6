# The tracing module library (bin/trace/Vorn.dll) between the server and the simulated module.
# The program is also its own client process (tests/trace/TraceClient.h).
include(${PROJECT_SOURCE_DIR}/cmake/StdcallExports.cmake)

# bin/sim-dependent/Vorn.dll: the simulated module with a file version, needing
# bin/trace-helper/VornTraceHelper.dll at load time (found only along PATH).
add_library(vorn_trace_helper SHARED trace/TargetHelper.cpp)
set_target_properties(vorn_trace_helper PROPERTIES OUTPUT_NAME VornTraceHelper PREFIX ""
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/trace-helper)
vorn_stdcall_def(${CMAKE_CURRENT_BINARY_DIR}/VornDependent.def Vorn.dll SendScpiCommand@4 GetQueryResponse@12)
vorn_module_library(vorn_sim_dependent Vorn ${CMAKE_BINARY_DIR}/bin/sim-dependent
                    ${CMAKE_CURRENT_BINARY_DIR}/VornDependent.def ${PROJECT_SOURCE_DIR}/simulated-module/VornSim.cpp
                    trace/DependentTarget.cpp trace/DependentTarget.rc)
target_link_libraries(vorn_sim_dependent PRIVATE vorn_sim_core vorn_trace_helper)

# bin/trace-quiet/Vorn.dll: a module library that leaves the last-error value alone.
vorn_stdcall_def(${CMAKE_CURRENT_BINARY_DIR}/VornQuiet.def Vorn.dll SendScpiCommand@4 GetQueryResponse@12)
vorn_module_library(vorn_quiet_target Vorn ${CMAKE_BINARY_DIR}/bin/trace-quiet
                    ${CMAKE_CURRENT_BINARY_DIR}/VornQuiet.def trace/QuietTarget.cpp)

add_executable(trace_module_tests trace/TraceModuleTests.cpp trace/TraceClient.cpp trace/TraceClient.h
               server/ServerUnderTest.h support/TrafficLog.h)
target_include_directories(trace_module_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trace_module_tests PRIVATE vornlink_commands vorn_trace_core GTest::gtest shell32 psapi)
add_dependencies(trace_module_tests Vornlink vorn_trace vorn_sim vorn_sim_noquery vorn_sim_dependent vorn_quiet_target)
# A zone off UTC by hours and minutes (Wine's processes take theirs from TZ), so that the records'
# local time is seen to be local.
vorn_add_gtest(trace_module_tests PROPERTIES ENVIRONMENT "TZ=VTZ-05:30")
