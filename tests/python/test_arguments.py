"""Argument binding and conversion on every entry that takes arguments."""

import pytest

from veltrano import _korvex_core as core

from support import FloatLike, RaisesTypeErrorWithCause, RaisesValueError, float_conversion_error

REGISTRY = core.PyFormulasRegistry()
MATRIX = core.PyCKMMatrix.from_topology()

# (function name in messages, callable, parameter, a valid value)
ENTRIES = [
    ("py_get_constant()", core.py_get_constant, "name", "n_gen"),
    ("PyFormulasRegistry.get()", REGISTRY.get, "name", "b3"),
    ("PyCKMMatrix.is_unitary()", MATRIX.is_unitary, "tol", 0.5),
]
ENTRY_IDS = [e[0] for e in ENTRIES]


def message_of(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    assert len(excinfo.value.args) == 1
    return excinfo.value.args[0]


@pytest.mark.parametrize("function, call, parameter, valid", ENTRIES, ids=ENTRY_IDS)
def test_argument_templates(function, call, parameter, valid):
    cases = [
        (lambda: call(), f"{function} missing 1 required positional argument: '{parameter}'"),
        (lambda: call(valid, 1), f"{function} takes 1 positional arguments but 2 were given"),
        (lambda: call(valid, 1, 2), f"{function} takes 1 positional arguments but 3 were given"),
        (lambda: call(valid, **{parameter: valid}), f"{function} got multiple values for argument '{parameter}'"),
        (lambda: call(x=1), f"{function} got an unexpected keyword argument 'x'"),
        (lambda: call(valid, x=1), f"{function} got an unexpected keyword argument 'x'"),
        (lambda: call(**{parameter: valid, "\u00f1\u2211": 1}), f"{function} got an unexpected keyword argument '\u00f1\u2211'"),
        # The positional count is checked before any keyword.
        (lambda: call(valid, 1, x=1), f"{function} takes 1 positional arguments but 2 were given"),
    ]
    for make_call, expected in cases:
        assert message_of(make_call) == expected


@pytest.mark.parametrize("function, call, parameter, valid", ENTRIES, ids=ENTRY_IDS)
def test_keyword_and_positional_forms_agree(function, call, parameter, valid):
    assert call(valid) == call(**{parameter: valid})


@pytest.mark.parametrize("cls", [core.PyFormulasRegistry, core.PyQuarkRegistry], ids=lambda c: c.__name__)
def test_constructors_take_no_arguments(cls):
    function = f"{cls.__name__}.__new__()"
    assert message_of(lambda: cls(1)) == f"{function} takes 0 positional arguments but 1 was given"
    assert message_of(lambda: cls(1, 2)) == f"{function} takes 0 positional arguments but 2 were given"
    assert message_of(lambda: cls(x=1)) == f"{function} got an unexpected keyword argument 'x'"
    assert message_of(lambda: cls(1, x=1)) == f"{function} takes 0 positional arguments but 1 was given"


NOARGS = [
    ("py_list_constants", core.py_list_constants),
    ("py_list_quarks", core.py_list_quarks),
    ("version", core.PyFormulasRegistry.version),
    ("from_topology", core.PyCKMMatrix.from_topology),
    ("jarlskog", MATRIX.jarlskog),
]


@pytest.mark.parametrize("name, call", NOARGS, ids=[n[0] for n in NOARGS])
def test_members_without_parameters_refuse_arguments(name, call):
    for make_call in (lambda: call(1), lambda: call(x=1)):
        assert name in message_of(make_call)


class Outer:
    class Inner:
        pass


NOT_STR = [1, 1.5, None, b"n_gen", bytearray(b"b3"), ["b3"], Outer.Inner()]


@pytest.mark.parametrize("function, call, parameter, valid", ENTRIES[:2], ids=ENTRY_IDS[:2])
@pytest.mark.parametrize("value", NOT_STR, ids=lambda v: type(v).__qualname__)
def test_name_must_be_a_str(function, call, parameter, valid, value):
    for make_call in (lambda: call(value), lambda: call(name=value)):
        with pytest.raises(TypeError) as excinfo:
            make_call()
        qualname = type(value).__qualname__
        assert excinfo.value.args == (f"argument 'name': '{qualname}' object cannot be converted to 'PyString'",)
        assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("function, call, parameter, valid", ENTRIES[:2], ids=ENTRY_IDS[:2])
def test_lone_surrogates_raise_the_encoders_error_unchanged(function, call, parameter, valid):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call("b3\udc80")
    assert type(excinfo.value) is UnicodeEncodeError
    assert excinfo.value.reason == "surrogates not allowed"


class OddStr(str):
    """A str subclass whose Python-level comparison and hashing lie."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0

    def __str__(self):
        return "something else"


def test_str_subclasses_are_read_by_their_text():
    assert REGISTRY.get(OddStr("phi")) == 1.618033988749895
    assert core.py_get_constant(OddStr("b3"))["value"] == 24.0
    with pytest.raises(KeyError) as excinfo:
        REGISTRY.get(OddStr("missing"))
    assert excinfo.value.args == ("constant `missing` not found in registry",)


@pytest.mark.parametrize("value", ["0.1", None, b"0", [0.1], FloatLike("x")], ids=repr)
def test_tol_type_errors_name_the_parameter(value):
    with pytest.raises(TypeError) as excinfo:
        MATRIX.is_unitary(value)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (f"argument 'tol': {float_conversion_error(value)}",)


def test_rewrapped_type_error_keeps_the_original_cause():
    value = RaisesTypeErrorWithCause()
    with pytest.raises(TypeError) as excinfo:
        MATRIX.is_unitary(value)
    assert excinfo.value.args == ("argument 'tol': inner",)
    assert excinfo.value.__cause__ is value.cause


@pytest.mark.parametrize(
    "value, error_type",
    [(10**400, OverflowError), (RaisesValueError(), ValueError)],
    ids=["huge-int", "__float__-ValueError"],
)
def test_other_conversion_errors_pass_unchanged(value, error_type):
    with pytest.raises(error_type) as excinfo:
        MATRIX.is_unitary(value)
    assert type(excinfo.value) is error_type
    assert not excinfo.value.args[0].startswith("argument")
    if isinstance(value, RaisesValueError):
        assert excinfo.value is value.error


def test_instances_answer_after_every_failure():
    failing = [
        lambda: REGISTRY.get(), lambda: REGISTRY.get(1), lambda: REGISTRY.get("nope"),
        lambda: REGISTRY.get("\udc80"), lambda: MATRIX.is_unitary("x"), lambda: MATRIX.is_unitary(10**400),
        lambda: MATRIX.is_unitary(RaisesValueError()),
    ]
    for call in failing:
        with pytest.raises(Exception):
            call()
        assert REGISTRY.get("b3") == 24.0 and len(REGISTRY) == 17
        assert MATRIX.is_unitary(0.0) is True and MATRIX.jarlskog() == 0.0
