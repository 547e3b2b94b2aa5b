"""Hostile input at every entry point: arbitrary text (lone surrogates, NUL
bytes, backticks, megabyte strings, str subclasses that lie about equality,
hashing and their own text) and arbitrary objects (conversions that raise or
return the wrong type). Each call must end in its answer or in exactly the
error the rules give, with that message, computed here independently, and
the instances must go on answering."""

import json
import math
import warnings

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from veltrano import _korvex_core as core

from expected_constants import BY_NAME
from support import no_arguments_message, panic_type

# One fixed profile for this file, so that every run (and CI) tries the same
# number of examples: the counts per property are below.
settings.register_profile(
    "hostile-input",
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PROFILE = settings.get_profile("hostile-input")
NAME_EXAMPLES = 400
TOL_EXAMPLES = 400
BINDING_EXAMPLES = 300
NOARGS_EXAMPLES = 100

REGISTRY = core.PyFormulasRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
EXAMPLES = {}


def count_example(test):
    EXAMPLES[test] = EXAMPLES.get(test, 0) + 1


PANIC = None


@pytest.fixture(autouse=True, scope="module")
def _panic_type():
    global PANIC
    PANIC = panic_type()


@pytest.fixture(autouse=True, scope="module")
def _report_example_counts():
    yield
    total = sum(EXAMPLES.values())
    print(f"\nhypothesis examples: {total} ({', '.join(f'{k} {v}' for k, v in sorted(EXAMPLES.items()))})")


def still_answering():
    assert REGISTRY.get("b3") == 24.0
    assert len(REGISTRY) == 17
    assert core.py_get_constant("phi")["value"] == 1.618033988749895
    assert MATRIX.is_unitary(0.0) is True and MATRIX.jarlskog() == 0.0
    assert core.py_list_constants()[0] == "b3"


# --- Text -----------------------------------------------------------------

SPECIAL = ["\x00", "`", "\udc80", "\ud800", "\udfff", " ", "\u00e9", "\U0001f600", "\\", '"', "\n", "\x7f"]
CHARACTERS = st.one_of(
    st.characters(exclude_categories=()),  # every code point, surrogates included
    st.sampled_from(SPECIAL),
    st.sampled_from("abcdefghijklmnopqrstuvwxyz_0123456789"),
)
NAMES = sorted(BY_NAME)


def megabyte(piece):
    return piece * ((1 << 20) // len(piece) + 1)


SURROGATES = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)
TEXT = st.one_of(
    st.text(CHARACTERS, max_size=40),
    st.just(""),
    st.tuples(st.text(CHARACTERS, max_size=8), SURROGATES, st.text(CHARACTERS, max_size=8)).map("".join),
    st.sampled_from(NAMES),
    st.tuples(st.text(CHARACTERS, max_size=3), st.sampled_from(NAMES), st.text(CHARACTERS, max_size=3)).map("".join),
    st.sampled_from(NAMES).map(str.upper),
    st.text(CHARACTERS, min_size=1, max_size=4).map(megabyte),
)


class EqualToEverything(str):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return 0


class HashRaises(str):
    def __hash__(self):
        raise RuntimeError("no hashing")


class ClaimsOtherText(str):
    """Its str(), repr(), len() and encode() all claim something else."""

    def __str__(self):
        return "phi"

    def __repr__(self):
        return "'b3'"

    def __len__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"phi"


class WithAttributes(str):
    pass


def with_attributes(text):
    value = WithAttributes(text)
    value.extra = "x" * 100
    return value


STR_SUBCLASSES = [EqualToEverything, HashRaises, ClaimsOtherText, with_attributes]


class PretendsToBeStr:
    """isinstance() believes it is a str; CPython's own checks do not."""

    @property
    def __class__(self):
        return str


class StrConversionRaises:
    def __str__(self):
        raise RuntimeError("no str")

    __float__ = __index__ = __str__


class Weird:
    pass


# A qualified name is free text: no code ever reads it but the message.
Weird.__qualname__ = "We\u00efrd.`\x00`.\udc80"

NOT_TEXT = st.one_of(
    st.integers(), st.floats(allow_nan=True), st.none(), st.binary(max_size=20), st.binary(max_size=8).map(bytearray),
    st.lists(st.sampled_from(NAMES), max_size=2), st.sampled_from(NAMES).map(lambda n: {n: n}),
    st.just(PretendsToBeStr()), st.just(StrConversionRaises()), st.just(Weird()), st.just(core.PyQuarkRegistry()),
    st.just(memoryview(b"b3")), st.just(str),
)

NAME_ARGUMENT = st.one_of(
    TEXT, st.tuples(st.sampled_from(STR_SUBCLASSES), TEXT).map(lambda pair: pair[0](pair[1])), NOT_TEXT,
)


def text_of(value):
    """The characters of a str or str subclass, whatever the subclass says."""
    return str.__str__(value)


def qualified_type_name(value):
    # The type's own slot, not an attribute a metaclass could override.
    return type.__dict__["__qualname__"].__get__(type(value))


def expected_name_outcome(value, entry):
    """What `entry` ("get" or "py_get_constant") must do with `value`:
    ("returned", result) or ("raised", type, args) (args None: CPython's
    encoder error, checked separately)."""
    if not issubclass(type(value), str):
        message = f"argument 'name': '{qualified_type_name(value)}' object cannot be converted to 'PyString'"
        return ("raised", TypeError, (message,))
    text = text_of(value)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return ("raised", UnicodeEncodeError, error)
    if entry == "py_get_constant" and text == "":
        return ("raised", PANIC, ("py_get_constant: name must be non-empty",))
    if text not in BY_NAME:
        return ("raised", KeyError, (f"constant `{text}` not found in registry",))
    if entry == "get":
        return ("returned", BY_NAME[text].value)
    return ("returned", BY_NAME[text].datasheet())


def check_outcome(call, expected):
    if expected[0] == "returned":
        result = call()
        assert type(result) is type(expected[1])
        if type(result) is float:
            assert result.hex() == expected[1].hex()
        else:
            assert result == expected[1] and list(result) == list(expected[1])
        return
    with pytest.raises(BaseException) as excinfo:  # noqa: B017 - the type is checked exactly below
        call()
    error = excinfo.value
    assert type(error) is expected[1], repr(error)[:300]
    if expected[1] is UnicodeEncodeError:
        # CPython's encoder error, passed on unchanged.
        reference = expected[2]
        assert (error.encoding, error.start, error.end, error.reason) == (
            reference.encoding, reference.start, reference.end, reference.reason)
        assert text_of(error.object) == text_of(reference.object)
    else:
        assert error.args == expected[2]
        assert error.__cause__ is None


@settings(PROFILE, max_examples=NAME_EXAMPLES)
@given(value=NAME_ARGUMENT, by_keyword=st.booleans())
def test_any_name_argument(value, by_keyword):
    count_example("name")
    if issubclass(type(value), str):
        event("text" if type(value) is str else "str subclass")
        event("a megabyte or more" if len(text_of(value)) >= 1 << 20 else "shorter")
    else:
        event("not text")
    for entry, function in (("get", REGISTRY.get), ("py_get_constant", core.py_get_constant)):
        expected = expected_name_outcome(value, entry)
        event(f"{entry}: {expected[0]} {expected[1].__name__ if expected[0] == 'raised' else ''}")
        if by_keyword:
            check_outcome(lambda: function(name=value), expected)
        else:
            check_outcome(lambda: function(value), expected)
    still_answering()


# --- Objects as tolerances -----------------------------------------------

class FloatSubclass(float):
    pass


class ReturnsFromFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"ReturnsFromFloat({self.value!r})"


class ReturnsFromIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"ReturnsFromIndex({self.value!r})"


class RaisesFromFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __repr__(self):
        return f"RaisesFromFloat({self.error!r})"


class RaisesFromIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __repr__(self):
        return f"RaisesFromIndex({self.error!r})"


class RaisesTypeErrorFrom:
    """A fresh TypeError on every conversion, with a cause (or None)."""

    def __init__(self, message, cause):
        self.message, self.cause = message, cause

    def __float__(self):
        raise TypeError(self.message) from self.cause

    def __repr__(self):
        return f"RaisesTypeErrorFrom({self.message!r}, {self.cause!r})"


class TypeErrorSubclass(TypeError):
    pass


class PretendsToBeFloat:
    @property
    def __class__(self):
        return float


ERRORS = st.one_of(
    st.builds(TypeError, st.text(CHARACTERS, max_size=20)),
    st.builds(TypeErrorSubclass, st.text(CHARACTERS, max_size=20)),
    st.builds(ValueError, st.text(CHARACTERS, max_size=20)),
    st.builds(OverflowError), st.builds(ZeroDivisionError, st.just("x")), st.builds(RuntimeError),
    st.builds(KeyError, st.text(CHARACTERS, max_size=5)), st.builds(MemoryError),
)
NON_FLOATS = st.one_of(
    st.integers(), st.text(CHARACTERS, max_size=5), st.none(), st.floats().map(FloatSubclass), st.booleans(),
    st.just(1j), st.lists(st.floats(), max_size=1),
)
TOLS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(10**400), max_value=10**400), st.booleans(),
    st.floats().map(FloatSubclass),
    st.builds(ReturnsFromFloat, st.one_of(st.floats(), NON_FLOATS)),
    st.builds(ReturnsFromIndex, st.one_of(st.integers(min_value=-(10**400), max_value=10**400), NON_FLOATS)),
    st.builds(RaisesFromFloat, ERRORS), st.builds(RaisesFromIndex, ERRORS),
    st.builds(RaisesTypeErrorFrom, st.text(CHARACTERS, max_size=20), st.one_of(st.none(), ERRORS)),
    st.just(PretendsToBeFloat()), st.just(Weird()), st.text(CHARACTERS, max_size=20), st.none(),
    st.binary(max_size=4), st.just(1j),
)


def pyfloat_asdouble(value):
    """The interpreter's own conversion of any object to a double: math.ldexp
    converts its first argument exactly as the module does, and ldexp(x, 0)
    is x (NaN and infinities included)."""
    return math.ldexp(value, 0)


def expected_tol_outcome(value):
    try:
        converted = pyfloat_asdouble(value)
    except BaseException as error:  # noqa: B036 - every conversion error is compared
        if type(error) is TypeError:
            return ("reworded", f"argument 'tol': {error}", error.__cause__)
        return ("unchanged", error)
    # The identity's rows all have length exactly 1: err is 0.0.
    return ("returned", converted >= 0.0)


@settings(PROFILE, max_examples=TOL_EXAMPLES)
@given(value=TOLS, by_keyword=st.booleans())
def test_any_tol_argument(value, by_keyword):
    count_example("tol")
    call = (lambda: MATRIX.is_unitary(tol=value)) if by_keyword else (lambda: MATRIX.is_unitary(value))
    # A float subclass returned by __float__ is deprecated: as an error, the
    # warning must pass through like any other.
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        expected = expected_tol_outcome(value)
        event(f"tol {expected[0]} {type(expected[1]).__name__ if expected[0] == 'unchanged' else ''}")
        if expected[0] == "returned":
            assert call() is expected[1]
        else:
            with pytest.raises(BaseException) as excinfo:  # noqa: B017 - compared exactly below
                call()
            error = excinfo.value
            if expected[0] == "reworded":
                assert type(error) is TypeError
                assert error.args == (expected[1],)
                cause = expected[2]
                if isinstance(value, RaisesTypeErrorFrom):
                    assert error.__cause__ is value.cause
                else:
                    assert type(error.__cause__) is type(cause) and getattr(cause, "args", None) == getattr(
                        error.__cause__, "args", None)
            else:
                reference = expected[1]
                assert type(error) is type(reference)
                assert error.args == reference.args
                if isinstance(value, (RaisesFromFloat, RaisesFromIndex)):
                    assert error is value.error  # the very object raised
    still_answering()


# --- Argument binding -------------------------------------------------------

# (function name in messages, callable, parameters, a valid value and what a
# call with it returns)
BINDINGS = [
    ("py_get_constant()", core.py_get_constant, ["name"], "n_gen",
     {"name": "n_gen", "status": "Seed", "uncertainty": None, "units": "count", "value": 3.0}),
    ("PyFormulasRegistry.get()", REGISTRY.get, ["name"], "phi", 1.618033988749895),
    ("PyCKMMatrix.is_unitary()", MATRIX.is_unitary, ["tol"], 0.5, True),
    ("PyFormulasRegistry.__new__()", core.PyFormulasRegistry, [], None, core.PyFormulasRegistry),
    ("PyQuarkRegistry.__new__()", core.PyQuarkRegistry, [], None, core.PyQuarkRegistry),
]

KEYWORD = st.one_of(
    st.sampled_from(["name", "tol", "self", "x", "Name", "name ", "na\x00me"]),
    st.text(CHARACTERS, min_size=1, max_size=12),
    st.sampled_from(["name", "tol", "other"]).map(ClaimsOtherText),
    st.sampled_from(["name", "tol", "other"]).map(with_attributes),
)


def expected_binding_error(function, parameters, positional, keywords):
    """The TypeError message for these arguments, or None when they bind."""
    if positional > len(parameters):
        verb = "was" if positional == 1 else "were"
        return f"{function} takes {len(parameters)} positional arguments but {positional} {verb} given"
    bound = [i < positional for i in range(len(parameters))]
    for keyword in keywords:
        text = text_of(keyword)
        if text not in parameters:
            return f"{function} got an unexpected keyword argument '{text}'"
        index = parameters.index(text)
        if bound[index]:
            return f"{function} got multiple values for argument '{text}'"
        bound[index] = True
    missing = [name for name, is_bound in zip(parameters, bound) if not is_bound]
    if missing:
        names = " and ".join(f"'{name}'" for name in missing)
        return f"{function} missing {len(missing)} required positional argument{'s' * (len(missing) != 1)}: {names}"
    return None


@settings(PROFILE, max_examples=BINDING_EXAMPLES)
@given(entry=st.sampled_from(BINDINGS), positional=st.integers(0, 3), keywords=st.lists(KEYWORD, max_size=3))
def test_any_argument_list(entry, positional, keywords):
    count_example("binding")
    function, call, parameters, valid, answer = entry
    kwargs = {}
    for keyword in keywords:
        # Keyword names are distinct texts in any call Python can make.
        if all(text_of(keyword) != text_of(other) for other in kwargs):
            kwargs[keyword] = valid
    args = [valid] * positional
    message = expected_binding_error(function, parameters, positional, list(kwargs))
    if message is None:
        result = call(*args, **kwargs)
        if isinstance(answer, type):
            assert type(result) is answer
        else:
            assert result == answer
    else:
        with pytest.raises(TypeError) as excinfo:
            call(*args, **kwargs)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (message,)
    still_answering()


# The members without parameters are rejected by CPython itself when given
# any argument; its wording names the function as module.qualname.
NOARGS = [
    ("veltrano._korvex_core.py_list_constants", core.py_list_constants),
    ("veltrano._korvex_core.py_list_quarks", core.py_list_quarks),
    ("PyFormulasRegistry.version", core.PyFormulasRegistry.version),
    ("PyFormulasRegistry.version", REGISTRY.version),
    ("PyCKMMatrix.from_topology", core.PyCKMMatrix.from_topology),
    ("PyCKMMatrix.jarlskog", MATRIX.jarlskog),
]


@settings(PROFILE, max_examples=NOARGS_EXAMPLES)
@given(entry=st.sampled_from(NOARGS), args=st.lists(NAME_ARGUMENT, max_size=2),
       keywords=st.lists(st.text(CHARACTERS, min_size=1, max_size=8), max_size=2, unique=True))
def test_members_without_parameters_refuse_any_argument(entry, args, keywords):
    count_example("noargs")
    name, call = entry
    kwargs = dict.fromkeys(keywords, 1)
    if not args and not kwargs:
        assert call() is not None
    else:
        with pytest.raises(TypeError) as excinfo:
            call(*args, **kwargs)
        assert excinfo.value.args == (no_arguments_message(name, None if kwargs else len(args)),)
    still_answering()


# --- Re-entry -----------------------------------------------------------------

def test_json_loads_that_calls_back_into_the_module(monkeypatch):
    """A json.loads replacement runs inside a py_get_constant call: calls it
    makes into the module answer as usual (faults included), and endless
    re-entry ends in the interpreter's RecursionError, passed on unchanged."""
    original = json.loads
    nested_outcomes = []

    def nested(text):
        with monkeypatch.context() as inner:
            inner.setattr(json, "loads", original)
            nested_outcomes.append(core.py_get_constant("phi")["value"])
            nested_outcomes.append(REGISTRY.get("b3"))
            for call, error_type in ((lambda: REGISTRY.get("zz"), KeyError),
                                     (lambda: core.py_get_constant(""), PANIC),
                                     (lambda: MATRIX.is_unitary("x"), TypeError)):
                with pytest.raises(BaseException) as excinfo:  # noqa: B017 - checked exactly below
                    call()
                nested_outcomes.append(type(excinfo.value) is error_type)
        return original(text)

    monkeypatch.setattr(json, "loads", nested)
    assert core.py_get_constant("n_gen")["value"] == 3.0
    assert nested_outcomes == [1.618033988749895, 24.0, True, True, True]

    monkeypatch.setattr(json, "loads", lambda text: core.py_get_constant("phi"))
    with pytest.raises(RecursionError):
        core.py_get_constant("phi")
    monkeypatch.undo()
    still_answering()
