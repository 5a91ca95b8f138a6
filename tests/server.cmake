# The automation server: command link and command set, the COM boundary, registration.
set(server_test_support server/ServerUnderTest.h support/TrafficLog.h)

add_executable(server_tests
  server/CommandLinkTests.cpp
  server/CommandSetTests.cpp
  server/DispatchTests.cpp
  ${server_test_support})

# The DLL as a COM server, its type library and version resource. Registers the server in the
# build's Wine prefix and leaves it registered.
add_executable(com_server_tests
  server/ComServerTests.cpp
  server/TypeLibraryTests.cpp
  ${server_test_support})
target_include_directories(com_server_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(com_server_tests PRIVATE vornlink_commands GTest::gtest_main version)
add_dependencies(com_server_tests Vornlink vorn_sim)
vorn_add_gtest(com_server_tests)
target_include_directories(server_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(server_tests PRIVATE vornlink_commands GTest::gtest_main)
add_dependencies(server_tests Vornlink vorn_sim vorn_sim_noquery vorn_sim_late_query)
vorn_add_gtest(server_tests)

# Suites that need the process started in another locale (wine-run passes VORN_LC_ALL on).
add_executable(server_locale_tests server/LocaleTests.cpp ${server_test_support})
target_include_directories(server_locale_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(server_locale_tests PRIVATE vornlink_commands GTest::gtest_main)
add_dependencies(server_locale_tests Vornlink vorn_sim)
# Alone: a process of another locale started beside it rewrites the prefix's separators (tests/hardening.cmake).
vorn_add_gtest(server_locale_tests TEST_FILTER "DecimalCommaLocale.*" TEST_PREFIX "de_DE."
               PROPERTIES ENVIRONMENT "VORN_LC_ALL=de_DE.UTF-8" RUN_SERIAL TRUE)
vorn_add_gtest(server_locale_tests TEST_FILTER "DoubleByteCodePage.*" TEST_PREFIX "ja_JP."
               PROPERTIES ENVIRONMENT "VORN_LC_ALL=ja_JP.UTF-8")

# The same suites in a program whose manifest asks for UTF-8 as its ANSI code page.
add_executable(server_utf8_tests server/LocaleTests.cpp server/Utf8CodePage.rc ${server_test_support})
target_include_directories(server_utf8_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(server_utf8_tests PRIVATE vornlink_commands GTest::gtest_main)
add_dependencies(server_utf8_tests Vornlink vorn_sim)
vorn_add_gtest(server_utf8_tests TEST_FILTER "Utf8CodePage.*" TEST_PREFIX "utf8.")
