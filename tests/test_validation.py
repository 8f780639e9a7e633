"""Validation of device descriptions, on both implementations."""
import itertools
import logging

import pytest
from support import (MODEL_NEEDS, MODEL_RESERVED, SERIES_NEEDS, SERIES_RESERVED,
                     chassis_msg, fresh, native, os_msg, outcome)


def refusal(impl, fn, *args, **kwargs):
    """None when fn returns None, else the message of the ConnectionInfraError that it raises."""
    result = outcome(lambda: fn(*args, **kwargs))
    if result[0] == "ok":
        assert result[1] is None
        return None
    assert result[1] is impl.ConnectionInfraError and len(result[2]) == 1, result
    return result[2][0]

# (os, series, model, chassis_type) -> expected message, or None when accepted
CASES = [
    (("talvo", None, None, "single_rp"), None),
    (("talvo", "t3z", "m1", "dual_rp"), None),
    (("talvo", "", "", "stack"), None),
    (("linux", None, None, None), None),
    (("linux", "t3z", None, "anything"), None),
    (("Linux", None, None, None), chassis_msg("None")),
    ((" linux", None, None, None), chassis_msg("None")),
    (("talvo", None, None, ""), chassis_msg("")),
    (("talvo", None, None, "quad_rp"), chassis_msg("quad_rp")),
    (("zeta", None, None, 0), chassis_msg("0")),
    ((None, None, None, "single_rp"), os_msg("None")),
    (("", None, None, "single_rp"), os_msg("")),
    ((0, None, None, "single_rp"), os_msg("0")),
    ((5, None, None, "single_rp"), os_msg("5")),
    ((("mocked",), None, None, "single_rp"), os_msg("('mocked',)")),
    ((None, "t3z", None, None), SERIES_NEEDS + "t3z"),
    ((None, "data", None, None), SERIES_NEEDS + "data"),
    (("", "t3z", None, "single_rp"), os_msg("")),
    ((None, 7, None, None), SERIES_NEEDS + "7"),
    (("talvo", 7, None, "single_rp"), "Series should be of type str"),
    (("talvo", b"t3z", None, "single_rp"), "Series should be of type str"),
    (("talvo", "T3z", None, "single_rp"), "Series (T3z) has to be in lowercase"),
    (("talvo", "1-2", None, "single_rp"), "Series (1-2) has to be in lowercase"),
    (("talvo", " ", None, "single_rp"), "Series ( ) has to be in lowercase"),
    (("talvo", "a-1 b_c", None, "single_rp"), None),
    (("talvo", "0042", None, "single_rp"), None),
    (("talvo", "\u0663\u0664", None, "single_rp"), None),  # Arabic-Indic digits
    (("talvo", "\u00b2", None, "single_rp"), None),  # superscript two is a digit
    (("talvo", "\u00bd", None, "single_rp"), "Series (\u00bd) has to be in lowercase"),
    (("talvo", "\u01c5x", None, "single_rp"), "Series (\u01c5x) has to be in lowercase"),  # title case
    (("talvo", "data", None, "single_rp"), SERIES_RESERVED),
    (("talvo", "Data", None, "single_rp"), "Series (Data) has to be in lowercase"),
    ((None, None, "m1", None), MODEL_NEEDS + "m1"),
    (("talvo", None, "m1", "single_rp"), MODEL_NEEDS + "m1"),
    (("", "t3z", "m1", "single_rp"), MODEL_NEEDS + "m1"),
    ((None, "T3Z", 5, None), MODEL_NEEDS + "5"),
    (("talvo", None, "data", "single_rp"), MODEL_NEEDS + "data"),
    (("talvo", "t3z", 5, "single_rp"), "Model should be of type str"),
    (("talvo", "T3Z", 5, "single_rp"), "Model should be of type str"),
    (("talvo", "t3z", "M1", "single_rp"), " Model (M1) has to be in lowecase"),
    (("talvo", "T3Z", "M1", "single_rp"), " Model (M1) has to be in lowecase"),
    (("talvo", "t3z", "9-9", "single_rp"), " Model (9-9) has to be in lowecase"),
    (("talvo", "t3z", "data", "single_rp"), MODEL_RESERVED),
    (("talvo", "T3Z", "data", "single_rp"), MODEL_RESERVED),
]


@pytest.mark.parametrize("args, expected", CASES, ids=[str(c[0]) for c in CASES])
def test_validate_arguments(manager, impl, args, expected):
    assert refusal(impl, manager.validate_arguments, *args) == expected


@pytest.mark.parametrize("method, kwargs, expected", [
    ("validate_series", dict(os=None, series=""), None),
    ("validate_series", dict(os="", series="t3z"), None),
    ("validate_series", dict(os=0, series="t3z"), None),
    ("validate_model", dict(os=None, series=None, model=""), None),
    ("validate_model", dict(os="talvo", series=0, model="m1"), MODEL_NEEDS + "m1"),
    ("validate_os", dict(os=[]), os_msg("[]")),
    ("validate_chassis_type", dict(chassis_type=None), chassis_msg("None")),
])
def test_single_checks(manager, impl, method, kwargs, expected):
    assert refusal(impl, getattr(manager, method), **kwargs) == expected


def test_lists_are_read_from_the_instance(manager, impl):
    manager.supported_os = ("talvo",)
    manager.chassis_type_list = ["x_rp"]
    assert refusal(impl, manager.validate_arguments, None, None, None, "x_rp") == os_msg("None", "('talvo',)")
    assert refusal(impl, manager.validate_arguments, "talvo", None, None, "x_rp") is None
    manager.chassis_type_list.remove("x_rp")
    assert refusal(impl, manager.validate_arguments, "talvo", None, None, "x_rp") == chassis_msg("x_rp", "[]")


class FakeLog:
    def __init__(self):
        self.calls = []

    def debug(self, *args, **kwargs):
        self.calls.append((args, kwargs))


def not_listed(name):
    return ((name + " is not part of the built-in list of supported OSes.",), {})


@pytest.mark.parametrize("os, supported, logged", [
    ("zeta", None, True),
    ("Mocked", None, True),
    ("TALVO", None, True),
    ("talvo", None, False),
    ("linux", None, False),
    ("linux", ["talvo"], True),
    ("mockedos", None, False),
    ("my-mocked-os", None, False),
    ("osmocked", None, False),
    ("mock-os", None, True),
    ("zeta", ["zeta"], False),
])
def test_os_outside_the_list_is_logged_once(manager, impl, monkeypatch, os, supported, logged):
    log = FakeLog()
    monkeypatch.setattr(impl, "log", log)
    if supported is not None:
        manager.supported_os = supported
    chassis = None if os == "linux" else "single_rp"
    assert manager.validate_arguments(os, None, None, chassis) is None
    assert log.calls == ([not_listed(os)] if logged else [])


def test_debug_record_on_the_package_logger(manager, caplog):
    caplog.set_level(logging.DEBUG, logger="sorvex")
    manager.validate_arguments("zeta", None, None, "single_rp")
    manager.validate_arguments("talvo-mocked", None, None, "single_rp")
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        ("sorvex", logging.DEBUG, "zeta is not part of the built-in list of supported OSes.", ())]


def test_membership_comes_before_mocked_and_type_tests(manager, impl, monkeypatch):
    log = FakeLog()
    monkeypatch.setattr(impl, "log", log)
    manager.supported_os = ["talvo", 5, ("mocked",)]
    assert manager.validate_os(5) is manager.validate_os(("mocked",)) is None
    assert log.calls == []


class Probe(str):
    """A str whose islower()/isdigit() answers are set per test; it notes which were asked."""

    def islower(self):
        return self.asked.append("islower") or self.lower

    def isdigit(self):
        return self.asked.append("isdigit") or self.digit


@pytest.mark.parametrize("text, lower, digit, asked, ok", [
    ("ABC", True, False, ["islower"], True),
    ("ABC", False, True, ["islower", "isdigit"], True),
    ("abc", False, False, ["islower", "isdigit"], False),
    ("abc", 0, [], ["islower", "isdigit"], False),
    ("abc", "yes", False, ["islower"], True),
])
@pytest.mark.parametrize("where", ["series", "model"])
def test_str_subclass_decides_its_own_case(manager, impl, where, text, lower, digit, asked, ok):
    value = type("P", (Probe,), {"lower": lower, "digit": digit, "asked": []})(text)
    args = ("talvo", value, None, "single_rp") if where == "series" else ("talvo", "t3z", value, "single_rp")
    failed = "Series (abc) has to be in lowercase" if where == "series" else " Model (abc) has to be in lowecase"
    assert refusal(impl, manager.validate_arguments, *args) == (None if ok else failed)
    assert value.asked == asked


def test_str_subclass_equality_does_not_make_data(manager):
    class EqualsAll(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return True

    assert manager.validate_arguments("talvo", EqualsAll("t3z"), EqualsAll("m1"), "single_rp") is None


def _note(name):
    return lambda self, *args, **kwargs: self.seen.append((name, args, list(kwargs.items())))


# records which checks run, with what arguments
Recording = type("Recording", (), {"validate_" + n: _note(n) for n in ("model", "series", "os", "chassis_type")})


@pytest.mark.parametrize("os, chassis_called", [("talvo", True), ("linux", False), ("", True), (None, True)])
def test_checks_are_called_through_the_instance_in_order(impl, os, chassis_called):
    manager = type("Sub", (Recording, impl.PluginManager), {})()
    manager.seen = []
    assert manager.validate_arguments(os, "s", "m", "c") is None
    expected = [
        ("model", (), [("os", os), ("series", "s"), ("model", "m")]),
        ("series", (), [("series", "s"), ("os", os)]),
        ("os", (), [("os", os)]),
    ] + ([("chassis_type", (), [("chassis_type", "c")])] if chassis_called else [])
    assert manager.seen == expected


def test_subclass_accepting_any_os_reaches_chassis_check(impl):
    class AnyOs(impl.PluginManager):
        def validate_os(self, os):
            pass

    assert refusal(impl, AnyOs().validate_arguments, "", None, None, None) == chassis_msg("None")


def test_instance_attribute_overrides_a_check(manager, impl):
    seen = []
    manager.validate_chassis_type = lambda chassis_type: seen.append(chassis_type)
    manager.validate_series = lambda os, series: seen.append(series)
    assert manager.validate_arguments("talvo", "UPPER", None, "nonsense") is None
    assert seen == ["UPPER", "nonsense"]
    del manager.validate_chassis_type
    assert refusal(impl, manager.validate_arguments, "talvo", None, None, "nonsense") == chassis_msg("nonsense")


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.get_plugin(os="talvo"), ("talvo", None, None, "single_rp")),
    (lambda m: m.get_plugin("a", "b", "c", "d"), ("a", "b", "c", "d")),
    (lambda m: m.register_plugin(int, os="talvo", chassis_type=None), ("talvo", None, None, None)),
    (lambda m: m.unregister_plugin(os="talvo", chassis_type="dual_rp"), ("talvo", None, None, "single_rp")),
    (lambda m: m.unregister_plugin("a", "b", "c"), ("a", "b", "c", "single_rp")),
])
def test_registry_operations_validate_first(manager, call, expected):
    seen = []
    manager.validate_arguments = lambda *args, **kwargs: seen.append((args, kwargs)) or 1 / 0
    with pytest.raises(ZeroDivisionError):
        call(manager)
    assert seen == [(expected, {})] and manager.plugins == {}


def test_unregister_validates_single_rp_not_its_chassis_type(manager, impl):
    manager.chassis_type_list = []
    refused = refusal(impl, manager.unregister_plugin, os="talvo", chassis_type="dual_rp")
    assert refused == chassis_msg("single_rp", "[]")


def test_ascii_names_pass_exactly_when_lower_case_or_digits():
    """The native checks take a shortcut for ASCII names; it must agree with str.islower and str.isdigit."""
    names = ["".join(chars) for size in (1, 2) for chars in itertools.product(map(chr, range(128)), repeat=size)]
    names += ["".join(chars) for chars in itertools.product("09azAZ _-.", repeat=3)]
    m, wrong = native.PluginManager(), []
    for name in names:
        expected = name.islower() or name.isdigit()
        for check in (lambda: m.validate_series("talvo", name), lambda: m.validate_model("talvo", "t3z", name)):
            if (outcome(check)[0] == "ok") != expected:
                wrong.append(name)
    assert wrong == []
    # the empty name means "not given"
    assert m.validate_series("talvo", "") is m.validate_model("talvo", "t3z", "") is None


@pytest.mark.parametrize("call", [
    "m.validate_arguments(os=T('linux'), series=None, model=None, chassis_type=T('bogus'))",
    "m.validate_series(os=T('talvo'), series=T('data'))",
    "m.validate_model(os=T('talvo'), series=T('t3z'), model=T('data'))",
    "m.validate_os(os=T('talvo'))",
    "m.validate_chassis_type(chassis_type=T('dual_rp'))",
    "m.get_plugin(os=T('linux'), chassis_type=T('bogus'))",
])
def test_names_made_at_run_time_are_checked_like_literals(call):
    # the checks compare text, not identity: a str built at run time is no interned literal
    def run(make):
        m = native.PluginManager()
        return outcome(lambda: eval(call, {"m": m, "T": make}))
    assert run(fresh) == run(str)
