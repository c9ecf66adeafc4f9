"""What a caller can do with the objects an optimisation returns: FinalResults, Convergence
(and the Results class, which no function returns but the module exports)."""

import ctypes
import gc
import os
import sys
import threading

import numpy as np
import pytest
from conftest import internal_failure

import velmar_backend as vb

USAGE = np.array([[10.0, 5.0], [2.0, 0.0], [8.0, 4.0]])
PRICES = np.array([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]])

FINAL_ATTRIBUTES = ["n_iter", "minimum", "coverage", "underutilization_cost", "step_size", "convergence", "commitments"]
HISTORY_ATTRIBUTES = ["underutilisation_cost", "costs", "coverages", "discounts", "speeds", "choices"]
RESULTS_ATTRIBUTES = ["n_iter", "minimum", "convergence", "argmin"]


def plain():
    return vb.simple_optimisation(USAGE, PRICES, "H", "1Y")


def detailed():
    return vb.simple_optimisation(USAGE, PRICES, "H", "1Y", convergence_details=True)


def classes():
    r = plain()
    return {"FinalResults": type(r), "Convergence": type(r.convergence), "Results": vb.Results}


# --- the classes --------------------------------------------------------------------


@pytest.mark.parametrize("name", ["FinalResults", "Convergence", "Results"])
def test_class_identity(name):
    cls = classes()[name]
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None


def test_only_results_is_exported():
    assert vb.Results is classes()["Results"]
    assert "Results" in vb.__all__
    for name in ("Convergence", "FinalResults"):
        assert not hasattr(vb, name)
        assert name not in vb.__all__


def test_returned_objects_share_one_type_per_class():
    a, b = plain(), detailed()
    assert type(a) is type(b)
    assert type(a.convergence) is type(b.convergence)


@pytest.mark.parametrize("name", ["FinalResults", "Convergence", "Results"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"n_iter": 1})])
def test_no_constructor(name, args, kwargs):
    with pytest.raises(TypeError, match=r"^No constructor defined$"):
        classes()[name](*args, **kwargs)


@pytest.mark.parametrize("name", ["FinalResults", "Convergence", "Results"])
def test_not_subclassable(name):
    cls = classes()[name]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "name, attributes",
    [("FinalResults", FINAL_ATTRIBUTES), ("Convergence", HISTORY_ATTRIBUTES), ("Results", RESULTS_ATTRIBUTES)],
)
def test_attributes_are_read_only_getters(name, attributes):
    cls = classes()[name]
    # Exactly these, in this order, and nothing callable.
    assert [a for a in vars(cls) if not a.startswith("_")] == attributes
    if name == "Results":
        return  # no instance to write to
    obj = plain() if name == "FinalResults" else plain().convergence
    for attr in attributes:
        with pytest.raises(AttributeError):
            setattr(obj, attr, None)
        with pytest.raises(AttributeError):
            delattr(obj, attr)
    # No instance dictionary: new attributes are refused too.
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


def test_getter_refuses_an_object_of_another_class():
    r = plain()
    with pytest.raises(TypeError):
        type(r).minimum.__get__(r.convergence)
    with pytest.raises(TypeError):
        type(r.convergence).costs.__get__(r)


# --- values -------------------------------------------------------------------------


def test_final_results_value_types():
    r = plain()
    assert type(r.n_iter) is int
    for attr in ("minimum", "coverage", "underutilization_cost", "step_size"):
        assert type(getattr(r, attr)) is float
    assert type(r.commitments) is dict
    (plan,) = r.commitments.values()
    assert plan.dtype == np.uint64 and plan.ndim == 1 and plan.shape == (3,)
    assert plan.flags.writeable and plan.flags.c_contiguous


def test_history_absent_without_details():
    c = plain().convergence
    for attr in HISTORY_ATTRIBUTES:
        assert getattr(c, attr) is None


def test_history_dtypes_and_empty_lists():
    c = detailed().convergence
    for attr in ("costs", "coverages", "underutilisation_cost"):
        a = getattr(c, attr)
        assert a.dtype == np.float64 and a.ndim == 1 and a.size > 0
    for attr in ("discounts", "speeds"):
        a = getattr(c, attr)
        assert a.dtype == np.float64 and a.shape == (0,)
    assert c.choices.dtype == np.uint64 and c.choices.shape == (0,)


# --- fresh objects on every read ----------------------------------------------------


def test_every_read_builds_a_new_object():
    r = detailed()
    assert r.convergence is not r.convergence
    assert r.commitments is not r.commitments
    c = r.convergence
    assert c.costs is not c.costs
    key = next(iter(r.commitments))
    assert r.commitments[key] is not r.commitments[key]


def test_returned_arrays_are_independent_of_the_record():
    r = detailed()
    c = r.convergence
    key = next(iter(r.commitments))
    plan = r.commitments[key]
    costs = c.costs
    expected_plan, expected_costs = plan.copy(), costs.copy()

    plan[:] = 12345
    costs[:] = -1.0
    r.commitments[key] = None  # the dict is a copy as well
    assert np.array_equal(r.commitments[key], expected_plan)
    assert np.array_equal(c.costs, expected_costs)
    assert np.array_equal(r.convergence.costs, expected_costs)


def test_values_outlive_the_objects_they_came_from():
    r = detailed()
    c = r.convergence
    plan = next(iter(r.commitments.values()))
    expected_plan = plan.copy()
    expected_costs = c.costs.copy()
    costs = c.costs
    del r
    gc.collect()
    assert np.array_equal(c.costs, expected_costs)  # the Convergence holds its own copy
    del c
    gc.collect()
    assert np.array_equal(costs, expected_costs)
    assert np.array_equal(plan, expected_plan)


# --- thread binding -----------------------------------------------------------------


def read_on_other_thread(obj, attr):
    outcome = {}

    def body():
        try:
            outcome["value"] = getattr(obj, attr)
        except BaseException as e:  # the internal failure is a BaseException
            outcome["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return outcome


@pytest.mark.parametrize(
    "which, attr, owner",
    [
        ("final", "minimum", "velmar_backend::FinalResults"),
        ("final", "commitments", "velmar_backend::FinalResults"),
        ("final", "convergence", "velmar_backend::FinalResults"),
        ("history", "costs", "velmar_backend::Convergence"),
        ("history", "choices", "velmar_backend::Convergence"),
    ],
)
def test_reads_from_another_thread_fail(which, attr, owner):
    r = detailed()
    obj = r if which == "final" else r.convergence
    outcome = read_on_other_thread(obj, attr)
    assert "value" not in outcome
    with internal_failure(f"{owner} is unsendable, but sent to another thread!$"):
        raise outcome["error"]
    # The object stays usable on its own thread.
    assert getattr(obj, attr) is not None


def test_objects_created_on_a_thread_are_bound_to_it():
    made = {}

    def body():
        r = detailed()
        made["r"] = r
        made["minimum"] = r.minimum

    t = threading.Thread(target=body)
    t.start()
    t.join()
    assert isinstance(made["minimum"], float)
    with internal_failure("velmar_backend::FinalResults is unsendable, but sent to another thread!$"):
        _ = made["r"].minimum


def _memory_in_use():
    """Bytes the allocator holds. Under AddressSanitizer freed blocks wait in quarantine and
    still count as resident, so ask the sanitizer for its live bytes instead."""
    live = getattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes", None)
    if live is not None:
        live.restype = ctypes.c_size_t
        return live()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def drop_on_other_thread(box):
    """Empties `box` on a new thread, so that the last reference to its items goes there."""
    t = threading.Thread(target=box.clear)
    t.start()
    t.join()
    assert box == []


def test_objects_dropped_on_another_thread_are_released_quietly(capfd):
    # A long history: each Convergence copy holds three lists of some 15,000 floats.
    r = vb.simple_optimisation(
        np.array([[20000.0]]), np.array([[1.0], [0.5], [0.9]]), "H", "1Y",
        convergence_details=True, step=1.0, starting_point=np.zeros(2),
    )
    assert r.convergence.costs.size > 10000
    reports = []
    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        capfd.readouterr()
        for _ in range(20):  # warm the allocator
            drop_on_other_thread([r.convergence])
        before = _memory_in_use()
        for _ in range(300):  # about 100 MB if the records were kept
            drop_on_other_thread([r.convergence])
        grown = _memory_in_use() - before
        box = [r]
        del r
        drop_on_other_thread(box)
        gc.collect()
    finally:
        sys.unraisablehook = hook
    _, err = capfd.readouterr()
    assert reports == []
    assert err == ""
    assert grown < 30 * 2**20, f"memory in use grew by {grown / 2**20:.0f} MiB"
