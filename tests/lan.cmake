# vornlan's network side in process: XDR, records, RPC dispatch, the portmapper and VXI-11's channels,
# the listeners over loopback, malformed input. The instrument core is replaced by a fake, so that what
# is tested is the transports alone.
add_executable(lan_protocol_tests
  ${CMAKE_CURRENT_LIST_DIR}/lan/FakeInstrument.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/ListenerTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/RpcTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/RpcTestClient.h
  ${CMAKE_CURRENT_LIST_DIR}/lan/Vxi11Tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/XdrTests.cpp)
target_include_directories(lan_protocol_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lan)
target_link_libraries(lan_protocol_tests PRIVATE vornlan_net GTest::gtest_main)
vorn_add_gtest(lan_protocol_tests)
