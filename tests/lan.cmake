# vornlan's network side in process: XDR, records, RPC dispatch, the portmapper and VXI-11's channels,
# HiSLIP's, the listeners over loopback, malformed input, the web page's HTTP. The instrument core is replaced by
# a fake, so that what is tested is the transports alone.
add_executable(lan_protocol_tests
  ${CMAKE_CURRENT_LIST_DIR}/lan/FakeInstrument.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/HislipTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/ListenerTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/MdnsTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/RawTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/RpcTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/RpcTestClient.h
  ${CMAKE_CURRENT_LIST_DIR}/lan/Vxi11Tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/WebTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lan/XdrTests.cpp)
target_include_directories(lan_protocol_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lan)
target_link_libraries(lan_protocol_tests PRIVATE vornlan_app GTest::gtest_main)
vorn_add_gtest(lan_protocol_tests)

# vorn_add_vornlan_pytest(<name> <path> <timeout> [lock] [working folder] [PYTHON <interpreter>]
#                         [ARGS <pytest arguments>...]): pytest (by default Debian's, for /usr/bin/python3;
# PYTHON names another, such as the tests' virtual environment's) over tests that start vornlan under Wine
# against the simulated module. They find the build through VORN_BIN and VORN_WINE_RUN; `lock` keeps tests
# that share ports or a service name apart.
function(vorn_add_vornlan_pytest name path timeout)
  if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 3 _pytest "" "PYTHON" "ARGS")
  set(python /usr/bin/python3)
  if(_pytest_PYTHON)
    set(python ${_pytest_PYTHON})
  endif()
  set(lock "")
  set(folder ${CMAKE_CURRENT_BINARY_DIR})
  list(LENGTH _pytest_UNPARSED_ARGUMENTS _positional)
  if(_positional GREATER 0)
    list(GET _pytest_UNPARSED_ARGUMENTS 0 lock)
  endif()
  if(_positional GREATER 1)
    list(GET _pytest_UNPARSED_ARGUMENTS 1 folder)
  endif()
  add_test(NAME ${name} COMMAND ${python} -m pytest -q -p no:cacheprovider ${_pytest_ARGS} ${path}
           WORKING_DIRECTORY ${folder})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;PYTHONDONTWRITEBYTECODE=1"
    FIXTURES_REQUIRED clients.registered
    TIMEOUT ${timeout})
  if(NOT "${lock}" STREQUAL "")
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${lock})
  endif()
endfunction()

# vornlan end to end under Wine against the simulated module, driven by PyVISA with pyvisa-py and by
# lxi-tools (Debian's, for /usr/bin/python3). One vornlan serves the standard ports (111 among them) for
# the whole file, so nothing else may run it meanwhile.
vorn_add_vornlan_pytest(lan.vornlan_e2e ${CMAKE_CURRENT_LIST_DIR}/lan/test_vornlan.py 600 vornlan_ports)

# vornlan as other hosts meet it: a lab network of the test's own (network namespaces joined by a bridge,
# link-local addresses), vornlan on its bench host, pyvisa-py 0.8.1 and lxi-tools on two client hosts. Needs
# root (skipped otherwise); no port of this machine's is used.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(lan.lab_hosts ${CMAKE_CURRENT_LIST_DIR}/lan/test_lab_hosts.py 600
                          PYTHON ${VORN_PYTHON_VENV})
endif()

# vornlan as a service under Wine's service control manager: its own port numbers, but one service name
# for the prefix, so one run at a time.
vorn_add_vornlan_pytest(lan.service ${CMAKE_CURRENT_LIST_DIR}/lan/test_service.py 300 vornlan_service)

# VXI-11 service requests through the interrupt channel, with a client of the test's own. Its own ports.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(lan.service_requests ${CMAKE_CURRENT_LIST_DIR}/lan/test_service_requests.py 300
                          "" ${CMAKE_CURRENT_BINARY_DIR} PYTHON ${VORN_PYTHON_VENV})
else()
  vorn_add_vornlan_pytest(lan.service_requests ${CMAKE_CURRENT_LIST_DIR}/lan/test_service_requests.py 300)
endif()

# The web page: HTTP limits and refusals from Python, the page itself in Debian's chromium driven by
# playwright-core (tests/web/package-lock.json, installed by scripts/common.sh). Its own ports.
vorn_add_vornlan_pytest(lan.web_page ${PROJECT_SOURCE_DIR}/tests/web/test_web_page.py 600)

# The core's header table, parser and options, in process; the README's table is read from the source tree.
add_executable(lan_core_tests ${CMAKE_CURRENT_LIST_DIR}/lan/CoreTests.cpp)
target_link_libraries(lan_core_tests PRIVATE vornlan_app GTest::gtest_main)
vorn_windows_path(_readme ${PROJECT_SOURCE_DIR}/README.md)
string(REPLACE "\\" "\\\\" _readme "${_readme}")
target_compile_definitions(lan_core_tests PRIVATE "VORN_README_PATH=\"${_readme}\"")
vorn_add_gtest(lan_core_tests)

# The real instrument in process against a stand-in module link: turns between clients, the bounds of a
# client's queue, the lock, clients that leave, responses given up on, clear, a message that throws.
add_executable(lan_instrument_tests ${CMAKE_CURRENT_LIST_DIR}/lan/InstrumentTests.cpp)
target_link_libraries(lan_instrument_tests PRIVATE vornlan_core GTest::gtest_main)
vorn_add_gtest(lan_instrument_tests)

# The mDNS/DNS-SD responder seen from other hosts: vornlan in one network namespace (a Wine prefix of its
# own), python zeroconf and pyvisa-py (the tests' virtual environment) browsing and opening from another, a
# rival responder in a third, joined by a bridge with link-local addresses. Needs root (skipped otherwise);
# no port of this machine's is used.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(lan.discovery_hosts ${CMAKE_CURRENT_LIST_DIR}/lan/test_discovery_hosts.py 600 ""
                          PYTHON ${VORN_PYTHON_VENV})
endif()

# HiSLIP end to end: PyVISA with pyvisa-py from the tests' virtual environment, pyvisa-py's HiSLIP protocol
# module for the locks and service requests, across VXI-11 and the raw socket. Ports of its own.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(lan.hislip_e2e ${CMAKE_CURRENT_LIST_DIR}/lan/test_hislip.py 600 "" ${CMAKE_CURRENT_BINARY_DIR}
                          PYTHON ${VORN_PYTHON_VENV})
endif()
