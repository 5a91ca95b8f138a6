# The Python driver (python/vorn_module) end to end: PyMeasure and PyVISA with pyvisa-py (Debian's, for
# /usr/bin/python3) through vornlan under Wine against the simulated module. Its vornlan listens on
# ports of its own (raw 15030, VXI-11 11030, no portmapper); the lock keeps it apart from lan's run anyway.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  add_test(NAME python.vorn_module
           COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_LIST_DIR}/../python/tests
           WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/../python)
  set_tests_properties(python.vorn_module PROPERTIES
    ENVIRONMENT "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;PYTHONDONTWRITEBYTECODE=1"
    FIXTURES_REQUIRED clients.registered
    RESOURCE_LOCK vornlan_ports
    TIMEOUT 600)
endif()
