# vornsh: its text handling and its calls in-process, then vornsh.exe end to end under Wine against the
# simulated module: one shot, steps, the prompt on a pseudo-terminal, every exit code. The server is
# registered by the clients' fixture.
add_executable(vornsh_tests vornsh/TextTests.cpp vornsh/CatalogTests.cpp)
target_link_libraries(vornsh_tests PRIVATE vornsh_core GTest::gtest_main)
vorn_add_gtest(vornsh_tests TEST_PREFIX "vornsh." PROPERTIES FIXTURES_REQUIRED clients.registered)

if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(_vornsh_cases one_shot rejected usage_errors help library_missing overflow steps_file
      check_finds_module_error steps_go_on summary_counts control_characters steps_encodings closed_output
      code_page_932 decimal_comma interactive server_unregistered)
  foreach(_case IN LISTS _vornsh_cases)
    add_test(NAME vornsh.${_case} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/vornsh/vornsh_e2e.sh ${_case})
    set_tests_properties(vornsh.${_case} PROPERTIES
      ENVIRONMENT "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;VORN_EXAMPLES=${PROJECT_SOURCE_DIR}/examples"
      FIXTURES_REQUIRED clients.registered
      TIMEOUT 280)
  endforeach()
  # Unregistering the server would break any test running beside it.
  set_tests_properties(vornsh.server_unregistered PROPERTIES RUN_SERIAL TRUE)
endif()
