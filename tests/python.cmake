# The Python drivers (python/vorn_module), each test set twice: with Debian 12's PyVISA 1.11 and PyMeasure 0.9
# (/usr/bin/python3, the oldest supported) and with the current releases that tests/requirements.txt pins
# (VORN_PYTHON_VENV, the virtual environment scripts/common.sh makes; without it only Debian's run).
set(VORN_PYTHON_VENV "" CACHE FILEPATH "The Python of the tests' virtual environment (tests/requirements.txt)")
set(_python_sets debian /usr/bin/python3)
if(VORN_PYTHON_VENV)
  list(APPEND _python_sets pypi ${VORN_PYTHON_VENV})
endif()
set(_python_root ${CMAKE_CURRENT_LIST_DIR}/../python)

while(_python_sets)
  list(POP_FRONT _python_sets _set _python)
  # Protocol tests: every member's bytes against PyMeasure's expected_protocol, discovery against a stand-in
  # resource manager, the QCoDeS driver against its pyvisa-sim file. No vornlan, no Wine.
  add_test(NAME python.protocol.${_set}
           COMMAND ${_python} -m pytest -q -p no:cacheprovider ${_python_root}/tests/protocol
           WORKING_DIRECTORY ${_python_root})
  set_tests_properties(python.protocol.${_set} PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1" TIMEOUT 300)
  # End to end through vornlan under Wine against the simulated module, over every resource it serves
  # (raw socket, VXI-11): its portmapper answers on 111, hence the lock lan's tests take for that port.
  vorn_add_vornlan_pytest(python.vorn_module.${_set} ${_python_root}/tests 900 vornlan_ports ${_python_root}
                          PYTHON ${_python} ARGS --ignore=${_python_root}/tests/protocol
                          --ignore=${_python_root}/tests/wheel --ignore=${_python_root}/tests/network)
endwhile()

# The wheel as the release builds it (scripts/python-dist.sh), installed offline into a fresh virtual
# environment of Debian's Python and querying the module through vornlan.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(python.wheel ${_python_root}/tests/wheel 600 vornlan_ports ${_python_root})
  if(TEST python.wheel)
    set_property(TEST python.wheel APPEND PROPERTY ENVIRONMENT "VORN_PYTHON_VENV=${VORN_PYTHON_VENV}")
  endif()
endif()

# find_modules() on a network of its own: vornlan in one network namespace (a Wine prefix of its own),
# pyvisa-py's broadcast discovery from another, joined by a veth pair (link-local addresses). Needs root
# (skipped otherwise); no port of this machine's is used.
if(VORN_PYTHON_VENV)
  vorn_add_vornlan_pytest(python.discovery ${_python_root}/tests/network 600 "" ${_python_root}
                          PYTHON ${VORN_PYTHON_VENV})
endif()
