"""The calling frame: binding, conversion, failures and the module's own attributes.

Functions that are not registered yet are skipped, so the file grows stronger as the
module grows.
"""

import ctypes
import inspect
import os
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import internal_failure

import velmar_backend as vb

# Registration order, with every parameter; the optional ones follow the required ones.
SIGNATURES = {
    "simple_optimisation": (
        ["usage", "prices", "period", "horizon"],
        ["convergence_details", "step", "starting_point"],
    ),
    "optimise_predictions": (
        ["predictions", "prices", "current_sp_commitments", "pricing_models", "period", "n_starts"],
        ["convergence_details"],
    ),
    "cost": (["usage", "prices", "levels"], []),
    "coverage": (["usage", "prices", "levels"], []),
    "general_optimisation": (
        ["usage", "prices", "current_sp_commitments", "pricing_models", "period", "n_starts", "optimiser"],
        ["convergence_details", "step_size"],
    ),
    "final_cost_coverage_underutilization": (
        ["usage", "prices", "levels", "pricing_models", "period", "cost_or_coverage"],
        [],
    ),
    "generate_cost_and_coverage": (["usage", "prices", "n_sample", "n_threads", "period"], []),
}
ALL_NAMES = list(SIGNATURES) + ["Results"]

U = np.ones((4, 2))
P = np.ones((3, 2))
L2 = np.ones((4, 3))
C = np.zeros((1, 2))
PRED = np.ones((2, 4, 2))

# Arguments that convert; every conversion case below spoils at least one of them, so
# no operation ever runs here.
VALID = {
    "simple_optimisation": dict(usage=U, prices=P, period="H", horizon="1Y"),
    "optimise_predictions": dict(
        predictions=PRED, prices=P, current_sp_commitments=C, pricing_models=["OD"], period="H", n_starts=1
    ),
    "cost": dict(usage=U, prices=P, levels=L2),
    "coverage": dict(usage=U, prices=P, levels=L2),
    "general_optimisation": dict(
        usage=U, prices=P, current_sp_commitments=C, pricing_models=["OD"], period="H", n_starts=1, optimiser="inertial"
    ),
    "final_cost_coverage_underutilization": dict(
        usage=U, prices=P, levels=L2, pricing_models=["OD"], period="H", cost_or_coverage="cost"
    ),
    "generate_cost_and_coverage": dict(usage=U, prices=P, n_sample=1, n_threads=1, period="H"),
}


def function(name):
    fn = getattr(vb, name, None)
    if fn is None:
        pytest.skip(f"{name} is not registered yet")
    return fn


def message(exc_info):
    return str(exc_info.value)


# --- the module and its functions -----------------------------------------------------


def test_all_lists_registered_names_in_registration_order():
    assert vb.__all__ == [n for n in ALL_NAMES if hasattr(vb, n)]
    assert {"cost", "coverage"} <= set(vb.__all__)


def test_import_emits_no_warning():
    code = "import warnings; warnings.simplefilter('error'); import velmar_backend"
    path = [os.path.dirname(vb.__file__), os.environ.get("PYTHONPATH")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_second_initialisation_is_refused():
    init = ctypes.PyDLL(vb.__file__).PyInit_velmar_backend
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()
    assert vb.cost(np.ones((1, 1)), np.ones((3, 1)), np.zeros(2)) == 1.0


def test_module_attributes():
    assert vb.__name__ == "velmar_backend"
    assert vb.__doc__ == ""
    assert not hasattr(vb, "Convergence")
    assert not hasattr(vb, "FinalResults")


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_identity(name):
    fn = function(name)
    required, optional = SIGNATURES[name]
    params = required + [f"{p}=None" for p in optional]
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ is None
    assert fn.__module__ == "velmar_backend"
    assert fn.__name__ == name
    sig = inspect.signature(fn)
    assert list(sig.parameters) == required + optional
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# --- binding ---------------------------------------------------------------------------


def _quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


def _missing_cases():
    for name, (required, _) in SIGNATURES.items():
        for given in range(len(required)):
            yield name, given


@pytest.mark.parametrize("name, given", list(_missing_cases()))
def test_missing_positional_arguments(name, given):
    fn = function(name)
    required, _ = SIGNATURES[name]
    missing = required[given:]
    noun = "argument" if len(missing) == 1 else "arguments"
    expected = f"{name}() missing {len(missing)} required positional {noun}: {_quoted(missing)}"
    with pytest.raises(TypeError) as e:
        fn(*[None] * given)
    assert message(e) == expected


def test_missing_names_skip_those_given_by_keyword():
    with pytest.raises(TypeError) as e:
        vb.cost(prices=P)
    assert message(e) == "cost() missing 2 required positional arguments: 'usage' and 'levels'"


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_too_many_positional_arguments(name):
    fn = function(name)
    required, optional = SIGNATURES[name]
    most = len(required) + len(optional)
    if optional:
        expected = f"{name}() takes from {len(required)} to {most} positional arguments but {most + 1} were given"
    else:
        expected = f"{name}() takes {most} positional arguments but {most + 1} were given"
    with pytest.raises(TypeError) as e:
        fn(*[None] * (most + 1))
    assert message(e) == expected


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_unexpected_keyword(name):
    fn = function(name)
    required, _ = SIGNATURES[name]
    with pytest.raises(TypeError) as e:
        fn(*[None] * len(required), x=1)
    assert message(e) == f"{name}() got an unexpected keyword argument 'x'"


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_multiple_values(name):
    fn = function(name)
    required, _ = SIGNATURES[name]
    first = required[0]
    with pytest.raises(TypeError) as e:
        fn(*[None] * len(required), **{first: None})
    assert message(e) == f"{name}() got multiple values for argument '{first}'"


def test_binding_error_comes_before_conversion():
    with pytest.raises(TypeError) as e:
        vb.cost([1.0], levels=L2)
    assert message(e) == "cost() missing 1 required positional argument: 'prices'"


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
def test_positional_and_keyword_binding_agree(fn):
    usage = np.array([[3.0, 1.0], [2.0, 4.0]])
    levels = np.array([1.0, 2.0, 0.5])
    expected = fn(usage, P, levels)
    assert fn(usage=usage, prices=P, levels=levels) == expected
    assert fn(levels=levels, usage=usage, prices=P) == expected
    assert fn(usage, levels=levels, prices=P) == expected


# --- conversion --------------------------------------------------------------------------

ARRAY = "cannot be converted to 'PyArray<T, D>'"


class Lying:
    """A sequence whose reported length is wrong: the items come from iterating it."""

    def __len__(self):
        return 0

    def __getitem__(self, i):
        if i < 2:
            return ["OD", 5][i]
        raise IndexError(i)


class AsFloat:
    def __float__(self):
        return 2.0


def dims(actual, expected):
    return f"dimensionality mismatch:\n from={actual}, to={expected}"


def dtype(actual):
    return f"type mismatch:\n from={actual}, to=float64"


def obj(type_name, target):
    return f"'{type_name}' object cannot be converted to '{target}'"


ANY = re.compile(".+")

# (function, parameter, value, expected): a TypeError whose message is
# "argument '<parameter>': " followed by the text (or matching the pattern), or the
# host's own exception type, passed through unchanged.
CONVERSION_CASES = [
    # arrays
    ("cost", "usage", [[1.0]], obj("list", "PyArray<T, D>")),
    ("cost", "prices", None, obj("NoneType", "PyArray<T, D>")),
    ("coverage", "levels", [1.0, 2.0, 3.0], obj("list", "PyArray<T, D>")),
    (
        "cost",
        "levels",
        np.float64(1.0),
        re.compile(r"^'(numpy\.)?float64' object cannot be converted to 'PyArray<T, D>'$"),
    ),
    ("cost", "usage", np.ones(3), dims(1, 2)),
    ("cost", "usage", np.ones((1, 2, 2)), dims(3, 2)),
    ("cost", "prices", np.array(1.0), dims(0, 2)),
    ("cost", "usage", np.ones(3, dtype=np.int64), dims(1, 2)),  # dimensions before the type
    ("cost", "usage", np.ones((4, 2), dtype=np.int64), dtype("int64")),
    ("cost", "usage", np.ones((4, 2), dtype=np.float32), dtype("float32")),
    ("cost", "usage", np.ones((4, 2), dtype=">f8"), dtype(">f8")),
    ("coverage", "prices", np.ones((3, 2), dtype=bool), dtype("bool")),
    ("cost", "levels", np.ones(3, dtype=np.int64), dtype("int64")),
    ("simple_optimisation", "starting_point", np.ones((1, 3)), dims(2, 1)),
    ("optimise_predictions", "predictions", np.ones((4, 2)), dims(2, 3)),
    ("general_optimisation", "current_sp_commitments", np.ones(2), dims(1, 2)),
    ("final_cost_coverage_underutilization", "levels", np.ones(3), dims(1, 2)),
    # text
    ("simple_optimisation", "period", 5, obj("int", "PyString")),
    ("simple_optimisation", "horizon", b"1Y", obj("bytes", "PyString")),
    ("general_optimisation", "optimiser", None, obj("NoneType", "PyString")),
    ("generate_cost_and_coverage", "period", "\ud800", UnicodeEncodeError),
    # text list
    ("general_optimisation", "pricing_models", "RI1Y", "Can't extract `str` to `Vec`"),
    ("general_optimisation", "pricing_models", 5, obj("int", "Sequence")),
    ("general_optimisation", "pricing_models", {"OD"}, obj("set", "Sequence")),
    ("optimise_predictions", "pricing_models", {"OD": 1}, obj("dict", "Sequence")),
    ("final_cost_coverage_underutilization", "pricing_models", ["OD", 3], obj("int", "PyString")),
    ("general_optimisation", "pricing_models", Lying(), obj("int", "PyString")),
    ("general_optimisation", "pricing_models", ["OD", "\udfff"], UnicodeEncodeError),
    # count
    ("general_optimisation", "n_starts", 2.0, ANY),
    ("generate_cost_and_coverage", "n_sample", "3", ANY),
    ("general_optimisation", "n_starts", -1, OverflowError),
    ("generate_cost_and_coverage", "n_threads", 2**64, OverflowError),
    # optional flag
    ("simple_optimisation", "convergence_details", 1, obj("int", "PyBool")),
    ("optimise_predictions", "convergence_details", 0, obj("int", "PyBool")),
    (
        "general_optimisation",
        "convergence_details",
        np.True_,
        re.compile(r"^'[\w.]+' object cannot be converted to 'PyBool'$"),
    ),
    # optional real
    ("simple_optimisation", "step", "0.5", ANY),
    ("general_optimisation", "step_size", [1.0], ANY),
]

# Accepted values, shown by a later argument failing instead (the first failure in
# parameter order is the one reported).
ACCEPTED_CASES = [
    (
        "cost",
        {"usage": np.ones((4, 2), dtype="<f8"), "prices": np.ones((3, 2), dtype="=f8"), "levels": [0.0]},
        "levels",
    ),
    ("cost", {"usage": U.view(type("Sub", (np.ndarray,), {})), "prices": [1.0]}, "prices"),
    ("simple_optimisation", {"step": 1, "starting_point": [0.0]}, "starting_point"),
    ("simple_optimisation", {"step": AsFloat(), "starting_point": [0.0]}, "starting_point"),
    ("simple_optimisation", {"step": None, "convergence_details": None, "starting_point": [0.0]}, "starting_point"),
    ("simple_optimisation", {"convergence_details": True, "step": "x"}, "step"),
    ("simple_optimisation", {"convergence_details": False, "step": "x"}, "step"),
    ("general_optimisation", {"pricing_models": ("RI1Y", "OD"), "period": 1}, "period"),
    ("general_optimisation", {"pricing_models": [], "period": 1}, "period"),
    ("general_optimisation", {"period": "any text at all", "n_starts": 1.5}, "n_starts"),
    ("general_optimisation", {"n_starts": np.int64(3), "optimiser": 5}, "optimiser"),
    ("general_optimisation", {"convergence_details": False, "step_size": "x"}, "step_size"),
    ("optimise_predictions", {"n_starts": 0, "convergence_details": "yes"}, "convergence_details"),
    ("generate_cost_and_coverage", {"n_sample": 0, "n_threads": 2**64 - 1, "period": None}, "period"),
]

# Several arguments wrong: the first in parameter order is reported.
FIRST_FAILURE_CASES = [
    ("cost", {"usage": [1.0], "prices": "x", "levels": None}, TypeError, "argument 'usage'"),
    ("coverage", {"prices": np.ones(3), "levels": "x"}, TypeError, "argument 'prices'"),
    ("general_optimisation", {"pricing_models": "OD", "n_starts": -1}, TypeError, "argument 'pricing_models'"),
    ("general_optimisation", {"n_starts": -1, "optimiser": 5}, OverflowError, None),
    ("simple_optimisation", {"usage": np.ones((4, 2), dtype=np.int64), "period": 5}, TypeError, "argument 'usage'"),
]


def _bound(name, spoilt):
    """The call to make, or a skip when the function is not registered yet."""
    fn = function(name)
    arguments = {**VALID[name], **spoilt}
    return lambda: fn(**arguments)


def _case_id(case):
    return f"{case[0]}-{'-'.join(case[1])}"


@pytest.mark.parametrize(
    "name, param, value, expected", CONVERSION_CASES, ids=[f"{c[0]}-{c[1]}" for c in CONVERSION_CASES]
)
def test_conversion_errors(name, param, value, expected):
    call = _bound(name, {param: value})
    with pytest.raises(BaseException) as e:
        call()
    text = message(e)
    if isinstance(expected, type):
        assert type(e.value) is expected, repr(e.value)
        assert not text.startswith("argument ")  # the host's own error, passed through
        return
    assert type(e.value) is TypeError, repr(e.value)
    prefix = f"argument '{param}': "
    assert text.startswith(prefix), text
    if isinstance(expected, str):
        assert text[len(prefix) :] == expected
    else:
        assert expected.search(text[len(prefix) :]), text


@pytest.mark.parametrize("name, spoilt, failing", ACCEPTED_CASES, ids=map(_case_id, ACCEPTED_CASES))
def test_accepted_values(name, spoilt, failing):
    call = _bound(name, spoilt)
    with pytest.raises(TypeError) as e:
        call()
    assert message(e).startswith(f"argument '{failing}': ")


@pytest.mark.parametrize("name, spoilt, exc_type, prefix", FIRST_FAILURE_CASES, ids=map(_case_id, FIRST_FAILURE_CASES))
def test_first_failure_in_parameter_order(name, spoilt, exc_type, prefix):
    call = _bound(name, spoilt)
    with pytest.raises(BaseException) as e:
        call()
    assert type(e.value) is exc_type
    if prefix:
        assert message(e).startswith(prefix + ": ")


# --- arrays are read in place, whatever their strides, and never written -------------


def _misaligned(a):
    """A float64 copy of `a` whose data starts one byte off a double boundary."""
    raw = bytearray(a.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def _layouts():
    usage = np.array([[10.0, 5.0, 1.0], [2.0, 0.0, 7.0], [4.0, 3.0, 0.5], [0.0, 8.0, 2.0]])
    prices = np.array([[1.0, 2.0, 0.5], [0.5, 1.0, 0.3], [0.25, 0.5, 0.2]])
    levels = np.array([4.0, 4.0, 0.0, 1.0])
    wide = np.zeros((4, 6))
    wide[:, ::2] = usage
    reversed_levels = levels[::-1].copy()[::-1]
    return (
        usage,
        prices,
        levels,
        [
            ("fortran usage", np.asfortranarray(usage), prices, levels),
            ("reversed rows", np.ascontiguousarray(usage[::-1])[::-1], prices, levels),
            ("reversed columns", np.ascontiguousarray(usage[:, ::-1])[:, ::-1], prices, levels),
            ("every other column", wide[:, ::2], prices, levels),
            ("fortran prices", usage, np.asfortranarray(prices), levels),
            ("reversed prices", usage, np.ascontiguousarray(prices[::-1])[::-1], levels),
            ("reversed levels", usage, prices, reversed_levels),
            ("strided levels", usage, prices, np.repeat(levels, 2)[::2]),
            ("fortran level matrix", usage, prices, np.asfortranarray(np.tile(levels, (4, 1)))),
            ("broadcast level matrix", usage, prices, np.broadcast_to(levels, (4, 4))),
            ("broadcast usage rows", np.broadcast_to(usage[0], (4, 3)), prices, levels),
            ("misaligned usage", _misaligned(usage), prices, levels),
            ("misaligned levels", usage, prices, _misaligned(levels)),
        ],
    )


_, _, _, LAYOUTS = _layouts()


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
@pytest.mark.parametrize("index", range(len(LAYOUTS)), ids=[c[0] for c in LAYOUTS])
def test_any_strides_read_correctly_and_never_written(fn, index):
    _, _, _, layouts = _layouts()
    _, usage, prices, levels = layouts[index]
    expected = fn(np.ascontiguousarray(usage), np.ascontiguousarray(prices), np.ascontiguousarray(levels))
    for a in (usage, prices, levels):
        if a.flags.writeable:
            a.flags.writeable = False
    before = [a.copy() for a in (usage, prices, levels)]
    assert fn(usage, prices, levels) == expected
    for a, b in zip((usage, prices, levels), before):
        np.testing.assert_array_equal(a, b)


def test_one_array_may_serve_several_parameters():
    a = np.array([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]])
    expected = vb.cost(a.copy(), a.copy(), np.ones(3))
    assert vb.cost(a, a, np.ones(3)) == expected


# --- internal failures ---------------------------------------------------------------


def _incompatible():
    return vb.cost(U, P, np.ones(2))  # two kinds: the level vector needs 3 entries


def test_internal_failure_is_not_an_exception():
    with internal_failure(r"incompatible shapes$"):
        try:
            _incompatible()
        except Exception:
            pytest.fail("an internal failure was caught by `except Exception`")


def test_internal_failure_type_is_created_once_and_kept_private():
    with internal_failure() as first:
        _incompatible()
    with internal_failure() as second:
        vb.coverage(U, P, np.ones(5))
    assert type(first.exception) is type(second.exception)
    failure_type = type(first.exception)
    assert all(getattr(vb, name) is not failure_type for name in dir(vb))


def test_internal_failure_reports_one_line_on_stderr(capfd):
    capfd.readouterr()
    with internal_failure() as failure:
        _incompatible()
    out, err = capfd.readouterr()
    assert out == ""
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert failure.message in lines[0]
    assert re.search(r"\.[ch]pp\D*\d+", lines[0]), "the report names the source location"


def test_module_stays_usable_after_a_failure():
    with internal_failure():
        _incompatible()
    assert (
        vb.cost(
            np.array([[10.0, 5.0], [2.0, 0.0]]), np.array([[1, 2], [0.5, 1], [0.25, 0.5]]), np.array([4.0, 4.0, 0.0])
        )
        == 18.0
    )
