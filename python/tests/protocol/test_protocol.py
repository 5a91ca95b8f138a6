"""Every member's bytes pinned with PyMeasure's expected_protocol: no vornlan, no Wine, milliseconds.
PyMeasure 0.9 (Debian 12's) has no pymeasure.test: these run with the current release only; the end-to-end
tests run the same members on both."""
import importlib
import math
import warnings

import pytest

pytest.importorskip("pymeasure.test")
from pymeasure.test import expected_protocol  # noqa: E402

from vorn_module import STAGES, CalibrationError, VornError, VornModule, run_full_calibration  # noqa: E402
from vorn_module.module import MENUS, METHODS, PARAMETERS  # noqa: E402

NO_ERROR = ("SYST:ERR?", '+0,"No error"')


def assign(name, value):
    return lambda m: setattr(m, name, value)


def call(name, *args):
    return lambda m: getattr(m, name)(*args)


def read(name):
    return lambda m: getattr(m, name)


# the member's use, what it sends, the reply to it, what the use returns
MEMBERS = [
    ("configure", call("configure", 1, 7, 16, 1), "VORN:CONFIG 1,7,16,1", None, None),
    ("configure_limits_high", call("configure", 2, 8, 32, 4), "VORN:CONFIG 2,8,32,4", None, None),
    ("configure_limits_low", call("configure", 1, 0, 1, 1), "VORN:CONFIG 1,0,1,1", None, None),
    ("delays", call("set_delays", 2.5, 3), "VORN:DELAY 2.5,3", None, None),
    ("delays_negative", call("set_delays", -0.25, -32768), "VORN:DELAY -0.25,-32768", None, None),
    ("delays_integral_seconds", call("set_delays", 0, 32767), "VORN:DELAY 0.0,32767", None, None),
    ("delays_exponent", call("set_delays", 1e-5, 1), "VORN:DELAY 1e-05,1", None, None),
    *[(f"menu_{k}", assign("menu", k.lower()), f"DISP:MENU {k}", None, None) for k in MENUS],
    ("menu_blanks", assign("menu", " serv "), "DISP:MENU SERV", None, None),
    *[(f"method_{k}", assign("calibration_method", k), f"SENS:CORR:COLL:METH {k}", None, None) for k in METHODS],
    *[(f"parameter_{k}", assign("parameter", k.lower()), f"SENS:CORR:COLL:PAR {k}", None, None)
      for k in PARAMETERS],
    ("view_both", assign("view", "BOTH"), "SENS:CORR:COLL:VIEW BOTH", None, None),
    ("view_div", assign("view", "Div"), "SENS:CORR:COLL:VIEW DIV", None, None),
    ("acquire_a", call("acquire", "A"), "SENS:CORR:COLL:ACQ A", None, None),
    ("acquire_b", call("acquire", "b"), "SENS:CORR:COLL:ACQ B", None, None),
    ("save", call("save", 1), "SENS:CORR:COLL:SAVE 1", None, None),
    ("save_as_written", call("save", " 02 "), "SENS:CORR:COLL:SAVE 02", None, None),
    ("save_exponent_text", call("save", "1E1"), "SENS:CORR:COLL:SAVE 1E1", None, None),
    ("done", call("done"), "SENS:CORR:COLL:DONE", None, None),
    ("next", call("next"), "SENS:CORR:COLL:NEXT", None, None),
    ("prior", call("prior"), "SENS:CORR:COLL:PRIOR", None, None),
    ("resume", call("resume"), "SENS:CORR:COLL:RES", None, None),
    ("abort", call("abort"), "VORN:ABORT", None, None),
    ("clean", call("clean"), "VORN:CLEAN", None, None),
    ("interpolation_off", assign("frequency_interpolation", False), "VORN:FINT OFF", None, None),
    ("interpolation_on", assign("frequency_interpolation", True), "VORN:FINT ON", None, None),
    ("averages", assign("averages", 16), "VORN:IAV 16", None, None),
    ("read_interpolation_on", read("frequency_interpolation"), "VORN:FINT?", "1", True),
    ("read_interpolation_off", read("frequency_interpolation"), "VORN:FINT?", "0", False),
    ("read_interpolation_as_a_word", read("frequency_interpolation"), "VORN:FINT?", "off", False),
    ("read_averages", read("averages"), "VORN:IAV?", "16", 16),
    ("read_averages_signed", read("averages"), "VORN:IAV?", "+1024", 1024),
    ("id", read("id"), "*IDN?", "VORN,EC-2P Simulated Module,SIM00001,01.002 ",
     "VORN,EC-2P Simulated Module,SIM00001,01.002"),
]


@pytest.mark.parametrize("checking", [True, False], ids=["checked", "unchecked"])
@pytest.mark.parametrize("use,command,reply,result", [m[1:] for m in MEMBERS], ids=[m[0] for m in MEMBERS])
def test_each_member_sends_its_command(checking, use, command, reply, result):
    exchange = [(command, reply)] + ([NO_ERROR] if checking else [])
    with expected_protocol(VornModule, exchange, error_checking=checking) as module:
        got = use(module)
    assert got == result and type(got) is type(result)


def test_nothing_pymeasure_deprecated_is_used():
    import vorn_module.module
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fresh = importlib.reload(vorn_module.module)  # the class body: the property factories
        with expected_protocol(fresh.VornModule, [("VORN:IAV?", "1"), NO_ERROR]) as module:
            assert module.averages == 1
    importlib.reload(vorn_module.module)
    assert [str(w.message) for w in caught if issubclass(w.category, (FutureWarning, DeprecationWarning))] == []


def test_the_settings_are_write_only():
    with expected_protocol(VornModule, []) as module:
        for name in ("menu", "calibration_method", "parameter", "view"):
            with pytest.raises(LookupError):
                getattr(module, name)


REFUSED = [
    ("board_type_low", call("configure", 0, 7, 16, 1)),
    ("board_type_high", call("configure", 3, 7, 16, 1)),
    ("board_number_high", call("configure", 1, 9, 16, 1)),
    ("address_high", call("configure", 1, 7, 33, 1)),
    ("printer_port_low", call("configure", 1, 7, 16, 0)),
    ("config_fraction", call("configure", 1, 7, 16.5, 1)),
    ("config_bool", call("configure", True, 7, 16, 1)),
    ("adapter_delay_nan", call("set_delays", math.nan, 1)),
    ("adapter_delay_infinite", call("set_delays", -math.inf, 1)),
    ("measure_delay_high", call("set_delays", 1.0, 32768)),
    ("menu_partial", assign("menu", "CC")),
    ("menu_not_text", assign("menu", 5)),
    ("method_a_menu_only", assign("calibration_method", "VORN")),
    ("parameter_unknown", assign("parameter", "S33")),
    ("view_unknown", assign("view", "ALL")),
    ("acquire_empty", call("acquire", "")),
    ("save_negative_text", call("save", "-1")),
    ("save_fraction", call("save", 1.5)),
    ("interpolation_text", assign("frequency_interpolation", "ON")),
    ("averages_low", assign("averages", -32769)),
    ("averages_bool", assign("averages", True)),
]


@pytest.mark.parametrize("use", [r[1] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_a_refused_value_raises_value_error_and_sends_nothing(use):
    with expected_protocol(VornModule, []) as module:
        with pytest.raises(ValueError):
            use(module)


# the use, what it sends and the reply, the error queue's replies, the VornError's entries and command
ERRORS = [
    ("a_setting", assign("averages", 2000), ("VORN:IAV 2000", None), ['-224,"Illegal parameter value"'],
     [(-224, "Illegal parameter value")], "VORN:IAV 2000"),
    ("a_query", read("averages"), ("VORN:IAV?", "5"), ['-113,"Undefined header;FOO"'],
     [(-113, "Undefined header;FOO")], "VORN:IAV?"),
    ("a_method", call("save", 1), ("SENS:CORR:COLL:SAVE 1", None),
     ['-221,"Settings conflict;nothing acquired to save"'],
     [(-221, "Settings conflict;nothing acquired to save")], "SENS:CORR:COLL:SAVE 1"),
    ("two_entries_quoted", call("clean"), ("VORN:CLEAN", None),
     ['-113,"Undefined header;BAR"', '-100,"Command error;say ""hi"""'],
     [(-113, "Undefined header;BAR"), (-100, 'Command error;say "hi"')], "VORN:CLEAN"),
    ("the_identity", read("id"), ("*IDN?", "VORN,X,1,2"), ['-350,"Queue overflow"'], [(-350, "Queue overflow")],
     "*IDN?"),
]


@pytest.mark.parametrize("use,sent,replies,errors,command", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_an_error_raises_with_every_entry_after_its_command(use, sent, replies, errors, command):
    exchange = [sent] + [("SYST:ERR?", r) for r in replies] + [NO_ERROR]
    with expected_protocol(VornModule, exchange) as module:
        with pytest.raises(VornError) as raised:
            use(module)
    assert raised.value.errors == errors
    assert (raised.value.number, raised.value.message) == errors[0]
    assert raised.value.command == command
    assert repr(command) in str(raised.value)


def test_an_error_queue_that_never_empties_is_read_a_bounded_number_of_times():
    exchange = [("VORN:ABORT", None)] + [("SYST:ERR?", '-350,"Queue overflow"')] * 64
    with expected_protocol(VornModule, exchange) as module:
        with pytest.raises(VornError) as raised:
            module.abort()
    assert len(raised.value.errors) == 64


def test_check_errors_returns_the_entries_as_pymeasure_expects_and_raise_errors_raises_them():
    exchange = [("SYST:ERR?", '-113,"Undefined header;FOO"'), ("SYST:ERR?", '-224,"Illegal parameter value"'),
                NO_ERROR, NO_ERROR, ("SYST:ERR?", '-221,"Settings conflict;x"'), NO_ERROR,
                ("SYST:ERR?", '-222,"Data out of range"'), NO_ERROR]
    with expected_protocol(VornModule, exchange, error_checking=False) as module:
        assert module.check_errors() == [(-113, "Undefined header;FOO"), (-224, "Illegal parameter value")]
        assert module.check_errors() == []
        with pytest.raises(VornError) as raised:
            module.raise_errors()
        # Scripts written for 0.1 still read the queue by its old name.
        with pytest.warns(FutureWarning):
            assert module.read_errors() == [(-222, "Data out of range")]
    assert raised.value.errors == [(-221, "Settings conflict;x")]


def test_a_switch_reply_of_another_shape_raises_value_error():
    with expected_protocol(VornModule, [("VORN:FINT?", "2")], error_checking=False) as module:
        with pytest.raises(ValueError, match="not a switch state"):
            module.frequency_interpolation


def test_a_reply_that_is_no_error_entry_raises_value_error():
    with expected_protocol(VornModule, [("VORN:CLEAN", None), ("SYST:ERR?", "1")]) as module:
        with pytest.raises(ValueError, match="not an error queue entry"):
            module.clean()


def test_clear_sends_cls_and_reset_sends_nothing():
    with expected_protocol(VornModule, [("*CLS", None)]) as module:
        module.clear()
        with pytest.raises(NotImplementedError):
            module.reset()


def test_the_switch_is_read_at_each_command():
    exchange = [("VORN:IAV 3", None), ("VORN:IAV 4", None), NO_ERROR]
    with expected_protocol(VornModule, exchange, error_checking=False) as module:
        module.averages = 3
        module.error_checking = True
        module.averages = 4


def checked(*lines):
    return [pair for line in lines for pair in ((line, None), NO_ERROR)]


def test_the_whole_calibration_sends_fullcal_sequence_and_gives_the_switch_back():
    exchange = checked("VORN:CONFIG 2,0,32,4", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ B",
                       "SENS:CORR:COLL:SAVE 02", "VORN:CLEAN")
    lines = []
    with expected_protocol(VornModule, exchange, error_checking=False) as module:
        run_full_calibration(module, 2, 0, 32, 4, port="b", register="02", report=lines.append)
        assert module.error_checking is False
    assert len(lines) == len(STAGES) and "LPT4" in lines[0] and "'B'" in lines[2]


# the stage that fails, its error queue, the clean-up's error queue (None: no error)
FAILURES = [
    ("configure", ['-113,"Undefined header;FOO"'], None),
    ("acquire", ['-221,"Settings conflict;acquisition needs a calibration method"'], None),
    ("save", ['-224,"Illegal parameter value"'], ['-221,"Settings conflict;x"']),
    ("clean", ['-200,"Execution error"'], None),
]


@pytest.mark.parametrize("stage,errors,cleanup_errors", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failing_stage_stops_the_run_and_still_cleans_up(stage, errors, cleanup_errors):
    commands = dict(zip(STAGES, ["VORN:CONFIG 1,0,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A",
                                 "SENS:CORR:COLL:SAVE 1", "VORN:CLEAN"]))
    exchange = []
    for each in STAGES[:STAGES.index(stage) + 1]:
        exchange += [(commands[each], None)]
        if each != stage:
            exchange += [NO_ERROR]
    exchange += [("SYST:ERR?", e) for e in errors] + [NO_ERROR]
    if stage != "clean":
        exchange += [("VORN:CLEAN", None)] + [("SYST:ERR?", e) for e in cleanup_errors or []] + [NO_ERROR]
    with expected_protocol(VornModule, exchange) as module:
        with pytest.raises(CalibrationError) as raised:
            run_full_calibration(module, report=lambda line: None)
    assert raised.value.stage == stage
    assert raised.value.errors[0][0] == int(errors[0].split(",")[0])
    assert (raised.value.cleanup_error is None) == (cleanup_errors is None)
