"""Each member of VornModule against vornlan and the simulated module: what the module receives, what
reads back, what is refused before sending, and errors raised with their numbers."""
import math

import pytest

from conftest import IDN, sync
from vorn_module import VornError, parse_error_entry
from vorn_module.module import MENUS, METHODS, PARAMETERS


def assign(name, value):
    return lambda m: setattr(m, name, value)


def call(name, *args):
    return lambda m: getattr(m, name)(*args)


# what the module must be doing first (raw lines), the member's use, what the module receives
SENDS = [
    ("configure", [], call("configure", 1, 7, 16, 1), "VORN:CONFIG 1,7,16,1"),
    ("configure_limits_high", [], call("configure", 2, 8, 32, 4), "VORN:CONFIG 2,8,32,4"),
    ("configure_limits_low", [], call("configure", 1, 0, 1, 1), "VORN:CONFIG 1,0,1,1"),
    ("delays", [], call("set_delays", 2.5, 3), "VORN:DELAY 2.5,3"),
    ("delays_negative", [], call("set_delays", -0.25, -32768), "VORN:DELAY -0.25,-32768"),
    ("delays_integral_seconds", [], call("set_delays", 0, 32767), "VORN:DELAY 0,32767"),
    ("delays_exponent", [], call("set_delays", 1e-5, 1), "VORN:DELAY 1E-05,1"),
    *[(f"menu_{k}", [], assign("menu", k), f"DISP:MENU {k}") for k in MENUS],
    ("menu_lower_case", [], assign("menu", "cchb"), "DISP:MENU CCHB"),
    ("menu_blanks", [], assign("menu", " serv "), "DISP:MENU SERV"),
    *[(f"method_{k}", [], assign("calibration_method", k), f"SENS:CORR:COLL:METH {k}") for k in METHODS],
    ("method_lower_case", [], assign("calibration_method", "qful"), "SENS:CORR:COLL:METH QFUL"),
    *[(f"parameter_{k}", [], assign("parameter", k), f"SENS:CORR:COLL:PAR {k}") for k in PARAMETERS],
    ("parameter_lower_case", [], assign("parameter", "s21"), "SENS:CORR:COLL:PAR S21"),
    ("view_both", [], assign("view", "BOTH"), "SENS:CORR:COLL:VIEW BOTH"),
    ("view_div", [], assign("view", "Div"), "SENS:CORR:COLL:VIEW DIV"),
    ("acquire_a", ["SENS:CORR:COLL:METH FULL"], call("acquire", "A"), "SENS:CORR:COLL:ACQ A"),
    ("acquire_b", ["SENS:CORR:COLL:METH FULL"], call("acquire", "b"), "SENS:CORR:COLL:ACQ B"),
    ("save", ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A"], call("save", 1), "SENS:CORR:COLL:SAVE 1"),
    ("save_last", ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ B"], call("save", 12), "SENS:CORR:COLL:SAVE 12"),
    ("save_as_written", ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A"], call("save", "02"),
     "SENS:CORR:COLL:SAVE 02"),
    ("done", [], call("done"), "SENS:CORR:COLL:DONE"),
    ("next", [], call("next"), "SENS:CORR:COLL:NEXT"),
    ("prior", [], call("prior"), "SENS:CORR:COLL:PRIOR"),
    ("resume", [], call("resume"), "SENS:CORR:COLL:RES"),
    ("abort", [], call("abort"), "VORN:ABORT"),
    ("clean", [], call("clean"), "VORN:CLEAN"),
    ("interpolation_off", [], assign("frequency_interpolation", False), "VORN:FINT OFF"),
    ("interpolation_on", [], assign("frequency_interpolation", True), "VORN:FINT ON"),
    ("averages", [], assign("averages", 16), "VORN:IAV 16"),
    ("read_interpolation", [], lambda m: m.frequency_interpolation, "VORN:FINT?"),
    ("read_averages", [], lambda m: m.averages, "VORN:IAV?"),
    ("id", [], lambda m: m.id, "*IDN?"),
]


@pytest.mark.parametrize("before,use,line", [s[1:] for s in SENDS], ids=[s[0] for s in SENDS])
@pytest.mark.parametrize("checking", [True, False], ids=["checked", "unchecked"])
def test_each_member_sends_its_command(lan, module, checking, before, use, line):
    for raw in before:
        module.write(raw)
    sync(module)
    lan.sent()
    module.error_checking = checking
    use(module)
    sync(module)
    assert lan.sent() == ([line, "SYST:ERR?"] if checking else [line])


# the property, values set and read back in turn
READ_BACK = [
    ("frequency_interpolation", [False, True, False]),
    ("averages", [16, 1, 1024, 3]),
]


@pytest.mark.parametrize("name,values", READ_BACK, ids=[r[0] for r in READ_BACK])
def test_settings_read_back(lan, module, name, values):
    for value in values:
        setattr(module, name, value)
        got = getattr(module, name)
        assert got == value and type(got) is type(value)


# a use the validator refuses
REFUSED = [
    ("board_type_low", call("configure", 0, 7, 16, 1)),
    ("board_type_high", call("configure", 3, 7, 16, 1)),
    ("board_number_low", call("configure", 1, -1, 16, 1)),
    ("board_number_high", call("configure", 1, 9, 16, 1)),
    ("address_low", call("configure", 1, 7, 0, 1)),
    ("address_high", call("configure", 1, 7, 33, 1)),
    ("printer_port_low", call("configure", 1, 7, 16, 0)),
    ("printer_port_high", call("configure", 1, 7, 16, 5)),
    ("config_fraction", call("configure", 1, 7, 16.5, 1)),
    ("config_text", call("configure", "1", 7, 16, 1)),
    ("adapter_delay_nan", call("set_delays", math.nan, 1)),
    ("adapter_delay_infinite", call("set_delays", math.inf, 1)),
    ("adapter_delay_text", call("set_delays", "2.5", 1)),
    ("measure_delay_high", call("set_delays", 1.0, 32768)),
    ("measure_delay_low", call("set_delays", 1.0, -32769)),
    ("measure_delay_fraction", call("set_delays", 1.0, 1.5)),
    ("menu_unknown", assign("menu", "MENU")),
    ("menu_partial", assign("menu", "CC")),
    ("menu_not_text", assign("menu", 5)),
    ("method_unknown", assign("calibration_method", "FUL")),
    ("method_a_menu_only", assign("calibration_method", "VORN")),
    ("parameter_unknown", assign("parameter", "S33")),
    ("view_unknown", assign("view", "ALL")),
    ("acquire_unknown", call("acquire", "C")),
    ("acquire_empty", call("acquire", "")),
    ("save_text", call("save", "x")),
    ("save_empty", call("save", "")),
    ("save_negative", call("save", -1)),
    ("save_negative_text", call("save", "-1")),
    ("save_fraction", call("save", 1.5)),
    ("interpolation_text", assign("frequency_interpolation", "ON")),
    ("interpolation_number", assign("frequency_interpolation", 2)),
    ("averages_high", assign("averages", 32768)),
    ("averages_low", assign("averages", -32769)),
    ("averages_fraction", assign("averages", 2.5)),
    ("averages_bool", assign("averages", True)),
]


@pytest.mark.parametrize("use", [r[1] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_a_refused_value_raises_value_error_and_sends_nothing(lan, module, use):
    with pytest.raises(ValueError):
        use(module)
    sync(module)
    assert lan.sent() == []
    assert module.next_error == (0, "No error")


# a line the driver would refuse, written raw past its validator; the number vornlan queues for it and
# what its message names (the line itself, unless the server's own words tell it)
BYPASSED = [
    ("VORN:CONFIG 0,7,16,1", -224, None),
    ("VORN:CONFIG 1,9,16,1", -224, None),
    ("VORN:CONFIG 1,7,33,1", -224, None),
    ("VORN:CONFIG 1,7,16,5", -224, None),
    ("DISP:MENU MENU", -224, None),
    ("SENS:CORR:COLL:METH FUL", -224, None),
    ("SENS:CORR:COLL:PAR S33", -224, None),
    ("SENS:CORR:COLL:VIEW ALL", -224, None),
    ("SENS:CORR:COLL:ACQ C", -224, None),
    ("SENS:CORR:COLL:SAVE X", -224, None),
    ("VORN:FINT 1", -224, None),
    ("VORN:IAV 32768", -222, 'the number of averages "32768"'),
    ("VORN:DELAY 1.0,32768", -222, None),
]


@pytest.mark.parametrize("line,number,names", BYPASSED, ids=[b[0] for b in BYPASSED])
def test_what_the_validators_refuse_vornlan_refuses_too(lan, module, line, number, names):
    module.write(line)
    with pytest.raises(VornError) as raised:
        module.raise_errors()
    assert raised.value.number == number
    assert (names or line) in raised.value.message
    assert lan.sent() == ["SYST:ERR?"], "nothing but the check reached the module"


# what the module must be doing first, the use, the error it raises (number, message), the module's lines
MODULE_ERRORS = [
    ("save_before_acquisition", ["SENS:CORR:COLL:METH FULL"], call("save", 1),
     (-221, "Settings conflict;nothing acquired to save"), ["SENS:CORR:COLL:SAVE 1"]),
    ("acquire_before_method", ["VORN:CLEAN"], call("acquire", "A"),
     (-221, "Settings conflict;acquisition needs a calibration method"), ["SENS:CORR:COLL:ACQ A"]),
    ("save_fraction_as_text", ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A"], call("save", "1.5"),
     (-224, "Illegal parameter value"), ["SENS:CORR:COLL:SAVE 1.5"]),
    ("save_past_the_registers", ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A"], call("save", 13),
     (-224, "Illegal parameter value"), ["SENS:CORR:COLL:SAVE 13"]),
    ("averages_above_the_module", [], assign("averages", 2000), (-224, "Illegal parameter value"),
     ["VORN:IAV 2000"]),
    ("averages_zero", [], assign("averages", 0), (-224, "Illegal parameter value"), ["VORN:IAV 0"]),
    ("raw_error_of_vornlan_before_a_query", ["FOO"], lambda m: m.averages, (-113, "Undefined header;FOO"),
     ["VORN:IAV?"]),
]


@pytest.mark.parametrize("before,use,error,lines", [e[1:] for e in MODULE_ERRORS], ids=[e[0] for e in MODULE_ERRORS])
def test_an_error_raises_with_its_number_and_message(lan, module, before, use, error, lines):
    module.error_checking = False
    for raw in before:
        module.write(raw)
    sync(module)
    lan.sent()
    module.error_checking = True
    with pytest.raises(VornError) as raised:
        use(module)
    assert (raised.value.number, raised.value.message) == error
    assert raised.value.errors == [error]
    assert str(error[0]) in str(raised.value)
    # the check read the queue until it was empty: one entry, then "+0" (vornlan answers its own
    # entries without asking the module)
    module_reads = ["SYST:ERR?"] if error[1].startswith("Undefined header") else ["SYST:ERR?", "SYST:ERR?"]
    assert lan.sent() == lines + module_reads
    assert module.next_error == (0, "No error")


def test_with_the_check_off_nothing_raises_until_asked(lan, unchecked):
    unchecked.write("SENS:CORR:COLL:METH FULL")
    unchecked.save(1)
    unchecked.write("BAR")
    unchecked.averages = 7
    assert unchecked.averages == 7, "a query reads its reply, not an error entry"
    sync(unchecked)
    assert "SYST:ERR?" not in lan.sent()
    with pytest.raises(VornError) as raised:
        unchecked.raise_errors()
    # vornlan's own entries for this client first, then the module's
    assert raised.value.errors == [(-113, "Undefined header;BAR"),
                                   (-221, "Settings conflict;nothing acquired to save")]
    assert raised.value.number == -113
    unchecked.raise_errors()


def test_check_errors_and_clear_empty_both_queues(lan, unchecked):
    for raw in ("FOO", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:SAVE 1", "VORN:IAV 5000"):
        unchecked.write(raw)
    sync(unchecked)
    lan.sent()
    assert unchecked.next_error == (-113, "Undefined header;FOO")
    assert unchecked.check_errors() == [(-221, "Settings conflict;nothing acquired to save"),
                                        (-224, "Illegal parameter value")]
    assert unchecked.check_errors() == []
    lan.sent()
    unchecked.write("FOO")
    unchecked.write("VORN:IAV 5000")
    unchecked.clear()
    sync(unchecked)
    assert lan.sent() == ["VORN:IAV 5000", "SYST:ERR?", "SYST:ERR?"], "*CLS read the module's queue until empty"
    assert unchecked.next_error == (0, "No error")


def test_reset_is_refused_without_sending(lan, module):
    with pytest.raises(NotImplementedError):
        module.reset()
    sync(module)
    assert lan.sent() == []
    assert module.next_error == (0, "No error")


def test_a_session_ends_replies_at_the_newline(lan, module):
    connection = module.adapter.connection
    assert connection.read_termination == "\n" and connection.write_termination == "\n"
    assert module.ask("*IDN?;*OPC?") == IDN + ";1"
    assert module.id == IDN


# one SYST:ERR? reply, what it parses to
ENTRIES = [
    ('+0,"No error"', (0, "No error")),
    ('0,"No error"', (0, "No error")),
    ('-224,"Illegal parameter value;VORN:CONFIG 0,7,16,1"', (-224, "Illegal parameter value;VORN:CONFIG 0,7,16,1")),
    ('-113,"Undefined header;A,B"', (-113, "Undefined header;A,B")),
    ('-100,"Command error;say ""hi"""', (-100, 'Command error;say "hi"')),
    (' -350 , "Queue overflow" ', (-350, "Queue overflow")),
    ('12,""', (12, "")),
]


@pytest.mark.parametrize("entry,parsed", ENTRIES)
def test_error_entries_parse(entry, parsed):
    assert parse_error_entry(entry) == parsed


@pytest.mark.parametrize("entry", ["", "No error", '-224 "x"', '-224,x', 'x,"y"', "1"])
def test_other_replies_are_not_error_entries(entry):
    with pytest.raises(ValueError):
        parse_error_entry(entry)
