"""The QCoDeS driver against vornlan and the simulated module, over every resource of conftest.RESOURCES:
what each function and parameter makes the module receive, read-backs, refusals, errors and the full
calibration. Needs QCoDeS (the tests' virtual environment); Debian 12 has none, so there these skip."""
import itertools

import pytest

pytest.importorskip("qcodes")

from conftest import IDN  # noqa: E402
from vorn_module import CalibrationError, VornError  # noqa: E402
from vorn_module.qcodes_driver import VornModuleQcodes  # noqa: E402

_names = itertools.count()


@pytest.fixture
def qc(lan, resource):
    """The QCoDeS driver with both error queues empty and the record read up to now."""
    m = VornModuleQcodes(f"vorn{next(_names)}", resource, visalib="@py")
    m.clear()
    assert m.ask("*OPC?") == "1"
    lan.sent()
    yield m
    m.close()


def sync(m):
    assert m.visa_handle.query("*OPC?") == "1"


# the use, what the module receives (the driver then reads SYST:ERR? once: the queue is empty)
SENDS = [
    (lambda m: m.configure(1, 7, 16, 1), "VORN:CONFIG 1,7,16,1"),
    (lambda m: m.set_delays(1e-5, -32768), "VORN:DELAY 1E-05,-32768"),
    (lambda m: m.menu(" cchb "), "DISP:MENU CCHB"),
    (lambda m: m.calibration_method("full"), "SENS:CORR:COLL:METH FULL"),
    (lambda m: m.parameter("S21"), "SENS:CORR:COLL:PAR S21"),
    (lambda m: m.view("Div"), "SENS:CORR:COLL:VIEW DIV"),
    (lambda m: m.done(), "SENS:CORR:COLL:DONE"),
    (lambda m: m.next(), "SENS:CORR:COLL:NEXT"),
    (lambda m: m.prior(), "SENS:CORR:COLL:PRIOR"),
    (lambda m: m.resume(), "SENS:CORR:COLL:RES"),
    (lambda m: m.abort(), "VORN:ABORT"),
    (lambda m: m.clean(), "VORN:CLEAN"),
    (lambda m: m.frequency_interpolation(False), "VORN:FINT OFF"),
    (lambda m: m.averages(16), "VORN:IAV 16"),
    (lambda m: m.averages(), "VORN:IAV?"),
    (lambda m: m.IDN(), "*IDN?"),
]


@pytest.mark.parametrize("use,line", SENDS, ids=[s[1] for s in SENDS])
def test_each_function_and_parameter_sends_its_command_then_reads_the_queue(lan, qc, use, line):
    use(qc)
    sync(qc)
    assert lan.sent() == [line, "SYST:ERR?"]


def test_the_parameters_read_back_and_the_identity_parses(lan, qc):
    for averages, on in ((16, False), (1024, True), (3, False)):
        qc.averages(averages)
        qc.frequency_interpolation(on)
        assert (qc.averages(), qc.frequency_interpolation()) == (averages, on)
    assert ",".join(qc.IDN()[k] for k in ("vendor", "model", "serial", "firmware")) == IDN


@pytest.mark.parametrize("use", [
    lambda m: m.configure(1, 9, 16, 1), lambda m: m.configure(1, 7, 16.5, 1), lambda m: m.set_delays(float("nan"), 1),
    lambda m: m.menu("CC"), lambda m: m.calibration_method("VORN"), lambda m: m.acquire("C"),
    lambda m: m.save("-1"), lambda m: m.averages(32768), lambda m: m.averages(True),
    lambda m: m.frequency_interpolation("ON"),
])
def test_a_refused_value_raises_and_sends_nothing(lan, qc, use):
    with pytest.raises((ValueError, TypeError)):  # QCoDeS' own validators raise TypeError for a wrong type
        use(qc)
    sync(qc)
    assert lan.sent() == []


# what the module must be doing first, the use, the error raised, what the module receives
ERRORS = [
    (["SENS:CORR:COLL:METH FULL"], lambda m: m.save(1), (-221, "Settings conflict;nothing acquired to save"),
     ["SENS:CORR:COLL:SAVE 1", "SYST:ERR?", "SYST:ERR?"]),
    ([], lambda m: m.averages(2000), (-224, "Illegal parameter value"), ["VORN:IAV 2000", "SYST:ERR?", "SYST:ERR?"]),
    (["FOO"], lambda m: m.averages(), (-113, "Undefined header;FOO"), ["VORN:IAV?", "SYST:ERR?"]),
]


@pytest.mark.parametrize("before,use,error,sent", ERRORS, ids=["save", "averages", "earlier"])
def test_an_error_raises_with_its_number_and_message(lan, qc, before, use, error, sent):
    for raw in before:
        qc.visa_handle.write(raw)
    sync(qc)
    lan.sent()
    with pytest.raises(VornError) as raised:
        use(qc)
    assert (raised.value.number, raised.value.message) == error
    assert lan.sent() == sent
    assert qc.next_error == (0, "No error")


def test_with_the_check_off_errors_wait_for_check_errors(lan, qc):
    qc.error_checking = False
    qc.averages(5000)
    qc.visa_handle.write("BAR")
    sync(qc)
    assert "SYST:ERR?" not in lan.sent()
    assert qc.check_errors() == [(-113, "Undefined header;BAR"), (-224, "Illegal parameter value")]


def checked(*lines):
    return [x for line in lines for x in (line, "SYST:ERR?")]


def test_the_full_calibration_sends_fullcal_sequence(lan, qc):
    qc.full_calibration(board_number=7, port="b", register="02", report=lambda line: None)
    assert lan.sent() == checked("VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ B",
                                 "SENS:CORR:COLL:SAVE 02", "VORN:CLEAN")


def test_a_failing_stage_stops_the_calibration_and_cleans_up(lan, qc):
    with pytest.raises(CalibrationError) as raised:
        qc.full_calibration(register=13, report=lambda line: None)
    assert (raised.value.stage, raised.value.number) == ("save", -224)
    assert lan.sent() == (checked("VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A")
                          + ["SENS:CORR:COLL:SAVE 13", "SYST:ERR?", "SYST:ERR?"] + checked("VORN:CLEAN"))
