"""The QCoDeS driver, and the PyMeasure one, against vorn_module.yaml under pyvisa-sim: what a user without
a module gets. The simulation keeps the switch and the averages and refuses what the module would."""
import os

import pytest

pytest.importorskip("qcodes")
pytest.importorskip("pyvisa_sim")

from vorn_module import VornError, VornModule  # noqa: E402
from vorn_module.qcodes_driver import VornModuleQcodes  # noqa: E402

SIM_FILE = "vorn_module:vorn_module.yaml"
ADDRESS = "TCPIP::vornlan-sim::INSTR"


@pytest.fixture
def module():
    m = VornModuleQcodes("vorn_sim", ADDRESS, pyvisa_sim_file=SIM_FILE)
    yield m
    m.close()


def test_identity_and_the_parameters_read_back(module):
    assert module.IDN()["vendor"] == "VORN"
    assert (module.averages(), module.frequency_interpolation()) == (1, True)
    for averages, on in ((16, False), (1024, True), (1, False)):
        module.averages(averages)
        module.frequency_interpolation(on)
        assert (module.averages(), module.frequency_interpolation()) == (averages, on)
    snapshot = module.snapshot(update=True)["parameters"]
    assert snapshot["averages"]["value"] == 1 and snapshot["frequency_interpolation"]["value"] is False


@pytest.mark.parametrize("use", [
    lambda m: m.configure(2, 8, 32, 4), lambda m: m.set_delays(-0.25, 3), lambda m: m.menu(" cchb "),
    lambda m: m.calibration_method("qful"), lambda m: m.parameter("S21"), lambda m: m.view("div"),
    lambda m: m.acquire("b"), lambda m: m.save("02"), lambda m: m.done(), lambda m: m.next(),
    lambda m: m.prior(), lambda m: m.resume(), lambda m: m.abort(), lambda m: m.clean(),
])
def test_every_function_is_accepted(module, use):
    use(module)
    assert module.check_errors() == []


def test_what_the_module_refuses_raises_with_its_entry(module):
    with pytest.raises(VornError) as raised:
        module.averages(2000)
    assert raised.value.errors == [(-100, "Command error")] and raised.value.command == "VORN:IAV 2000"
    assert module.averages() == 1, "a refused value changes nothing"


def test_the_full_calibration_runs(module):
    lines = []
    module.full_calibration(board_number=7, port="B", register=12, report=lines.append)
    assert len(lines) == 5 and "board number 7" in lines[0]


def test_the_pymeasure_driver_runs_on_the_simulation_too():
    from vorn_module import __file__ as package
    sim = os.path.join(os.path.dirname(package), "vorn_module.yaml")
    module = VornModule(ADDRESS, visa_library=sim + "@sim")
    try:
        assert module.id.startswith("VORN,")
        module.averages = 7
        assert module.averages == 7 and module.frequency_interpolation is True
        with pytest.raises(VornError):
            module.averages = 2000
    finally:
        module.adapter.connection.close()
