"""The full two-port calibration function and the example script, against vornlan and the simulated
module: the whole sequence the module receives, where a failure stops it, what is refused up front."""
import os
import subprocess
import sys

import pytest

from conftest import sync
from vorn_module import STAGES, CalibrationError, run_full_calibration

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "full_calibration.py")
PACKAGE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def checked(*lines):
    return [x for line in lines for x in (line, "SYST:ERR?")]


# arguments, the module's configuration line, acquisition line, save line
RUNS = [
    ({}, "VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:ACQ A", "SENS:CORR:COLL:SAVE 1"),
    (dict(board_type=1, board_number=7), "VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:ACQ A", "SENS:CORR:COLL:SAVE 1"),
    (dict(board_type=2, board_number=0, analyzer_address=32, printer_port=4, port="b", register="02"),
     "VORN:CONFIG 2,0,32,4", "SENS:CORR:COLL:ACQ B", "SENS:CORR:COLL:SAVE 02"),
    (dict(analyzer_address=1, port="A", register=12), "VORN:CONFIG 1,0,1,1", "SENS:CORR:COLL:ACQ A",
     "SENS:CORR:COLL:SAVE 12"),
]


@pytest.mark.parametrize("checking", [True, False], ids=["checked", "unchecked"])
@pytest.mark.parametrize("kwargs,config,acquire,save", RUNS, ids=[str(r[0]) for r in RUNS])
def test_the_whole_sequence_reaches_the_module_in_order(lan, module, checking, kwargs, config, acquire, save):
    module.error_checking = checking
    lines = []
    run_full_calibration(module, report=lines.append, **kwargs)
    assert lan.sent() == checked(config, "SENS:CORR:COLL:METH FULL", acquire, save, "VORN:CLEAN"), \
        "each stage checked the error queue, whatever the driver's own switch"
    assert len(lines) == len(STAGES)
    assert module.error_checking is checking, "the switch is given back"
    assert module.next_error == (0, "No error")


# what goes wrong first (raw lines), arguments, the stage that fails, its error, what the module receives
FAILURES = [
    ("register_past_the_module", [], dict(register=13), "save", (-224, "Illegal parameter value"),
     checked("VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A")
     + ["SENS:CORR:COLL:SAVE 13", "SYST:ERR?", "SYST:ERR?"] + checked("VORN:CLEAN")),
    ("register_as_fraction", [], dict(register="2.5"), "save", (-224, "Illegal parameter value"),
     checked("VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A")
     + ["SENS:CORR:COLL:SAVE 2.5", "SYST:ERR?", "SYST:ERR?"] + checked("VORN:CLEAN")),
    ("an_earlier_error_stops_it_at_once", ["FOO"], {}, "configure", (-113, "Undefined header;FOO"),
     checked("VORN:CONFIG 1,0,16,1", "VORN:CLEAN")),
]


@pytest.mark.parametrize("before,kwargs,stage,error,sent", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_a_failing_stage_stops_the_run_cleans_up_and_raises(lan, module, before, kwargs, stage, error, sent):
    for raw in before:
        module.write(raw)
    with pytest.raises(CalibrationError) as raised:
        run_full_calibration(module, report=lambda line: None, **kwargs)
    assert raised.value.stage == stage
    assert (raised.value.number, raised.value.message) == error
    assert raised.value.cleanup_error is None
    assert stage in str(raised.value)
    assert lan.sent() == sent
    assert module.next_error == (0, "No error")


REFUSED = [
    dict(board_type=3),
    dict(board_number=9),
    dict(analyzer_address=0),
    dict(printer_port=5),
    dict(port="C"),
    dict(port=1),
    dict(register="x"),
    dict(register=-1),
]


@pytest.mark.parametrize("kwargs", REFUSED, ids=[str(r) for r in REFUSED])
def test_a_refused_argument_stops_it_before_anything_is_sent(lan, module, kwargs):
    with pytest.raises(ValueError):
        run_full_calibration(module, report=lambda line: None, **kwargs)
    sync(module)
    assert lan.sent() == []


# the example's arguments, its exit code, a line of its output, what the module receives
EXAMPLE_RUNS = [
    ([], 0, "Calibration complete",
     ["*IDN?", "SYST:ERR?"] + checked("VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A",
                                      "SENS:CORR:COLL:SAVE 1", "VORN:CLEAN")),
    (["--register", "13"], 1, 'ERROR in save: -224,"Illegal parameter value"',
     ["*IDN?", "SYST:ERR?"] + checked("VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A")
     + ["SENS:CORR:COLL:SAVE 13", "SYST:ERR?", "SYST:ERR?"] + checked("VORN:CLEAN")),
    (["--address", "40"], 2, "analyzer address", ["*IDN?", "SYST:ERR?"]),
]


@pytest.mark.parametrize("args,code,output,sent", EXAMPLE_RUNS, ids=[" ".join(e[0]) or "defaults" for e in EXAMPLE_RUNS])
def test_the_example_script(lan, resource, args, code, output, sent):
    lan.sent()
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    run = subprocess.run([sys.executable, EXAMPLE, resource, "--visa-library", "@py", *args], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == code, run.stdout + run.stderr
    assert output in run.stdout + run.stderr
    assert lan.sent() == sent
