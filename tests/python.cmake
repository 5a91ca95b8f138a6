# The Python driver (python/vorn_module) end to end: PyMeasure and PyVISA with pyvisa-py (Debian's, for
# /usr/bin/python3) through vornlan under Wine against the simulated module. Its vornlan listens on
# ports of its own (raw 15030, VXI-11 11030, no portmapper); the lock keeps it apart from lan's run anyway.
vorn_add_vornlan_pytest(python.vorn_module ${CMAKE_CURRENT_LIST_DIR}/../python/tests 600 vornlan_ports
                        ${CMAKE_CURRENT_LIST_DIR}/../python)
