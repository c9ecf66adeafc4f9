"""Commitment search over predicted usage (`optimise_predictions`).

The oracle throughout is `final_cost_coverage_underutilization`: a new commitment that
starts at period 0 costs what the same amount already in force costs, so the mean of its
figures over the samples is what the search itself measures.
"""

import math

import numpy as np
import pytest
from conftest import internal_failure, same_float

import velmar_backend as vb

# Order in which the search lays out its parameters (stable on equal keys).
_ORDER = {"RI3Y": 1, "RI1Y": 2, "SP3Y": 4, "SP1Y": 5, "OD": 6}
_KEY = {"1Y": "one_year_commitments", "3Y": "three_years_commitments"}
HISTORY = ("costs", "coverages", "discounts", "choices", "underutilisation_cost", "speeds")


def search(pred, prices, names, period="H", n_starts=2, details=None, current=None):
    T = pred.shape[1]
    current = np.zeros((T, 0)) if current is None else current
    return vb.optimise_predictions(pred, prices, current, list(names), period, n_starts, details)


def offsets(names, n):
    """Position in the parameter vector of each name's first entry."""
    out, at = {}, 0
    for i in sorted(range(len(names)), key=lambda i: _ORDER[names[i]]):
        out[i] = at
        at += n if names[i].startswith("RI") else 1 if names[i].startswith("SP") else 0
    return out, at


def level_matrix(names, x, n, T):
    """Levels of parameter vector x as `final_cost_coverage_underutilization` takes them."""
    off, _ = offsets(names, n)
    row = []
    for i, name in enumerate(names):
        if name.startswith("RI"):
            row.extend(x[off[i] : off[i] + n])
        elif name.startswith("SP"):
            row.append(x[off[i]])
    return np.tile(np.asarray(row, dtype=np.float64).reshape(1, -1), (T, 1))


def committed_levels(result, names, n):
    """The returned commitments back in parameter layout."""
    off, P = offsets(names, n)
    x = [0.0] * P
    for i, name in enumerate(names):
        if name == "OD":
            continue
        vec = result.commitments[_KEY[name[2:]]]
        assert vec.dtype == np.uint64 and vec.shape == (n + 1,)
        if name.startswith("RI"):
            x[off[i] : off[i] + n] = [float(v) for v in vec[1:]]
        else:
            x[off[i]] = float(vec[0])
    return x


def mean_figure(pred, prices, names, period, x, figure):
    levels = level_matrix(names, x, pred.shape[2], pred.shape[1])
    total = 0.0
    for sample in pred:
        total += vb.final_cost_coverage_underutilization(sample, prices, levels, list(names), period, figure)
    return total / pred.shape[0]


def predictions(seed, S=3, T=40, n=2, low=2.0, high=12.0):
    return np.random.default_rng(seed).uniform(low, high, (S, T, n))


# prices rows follow the names; reserved prices are per unit-hour.
PORTFOLIOS = [
    (["RI1Y", "SP1Y", "OD"], [[0.4, 0.5], [0.6, 0.7], [1.0, 1.1]]),
    (["OD", "SP3Y", "RI3Y"], [[1.0, 0.9], [0.5, 0.45], [0.35, 0.3]]),
    (["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"], [[0.3, 0.35], [0.45, 0.5], [0.5, 0.55], [0.65, 0.7], [1.0, 1.0]]),
    (["SP1Y", "RI1Y"], [[0.6, 0.7], [0.4, 0.5]]),  # no on-demand model
]


@pytest.mark.parametrize("names, prices", PORTFOLIOS)
@pytest.mark.parametrize("period", ["H", "D"])
@pytest.mark.parametrize("n_starts", [0, 3])
def test_figures_are_the_means_over_samples_at_the_returned_levels(names, prices, period, n_starts):
    pred = predictions(len(names))
    prices = np.asarray(prices)
    r = search(pred, prices, names, period, n_starts)
    x = committed_levels(r, names, pred.shape[2])
    assert sorted(r.commitments) == sorted({_KEY[m[2:]] for m in names if m != "OD"})
    for attr, figure in (("minimum", "cost"), ("coverage", "coverage"), ("underutilization_cost", "underutilization")):
        got = getattr(r, attr)
        assert same_float(got, mean_figure(pred, prices, names, period, x, figure), rel=1e-9), attr
    assert 1 <= r.n_iter <= 500
    assert isinstance(r.step_size, float) and r.step_size == 1.0


@pytest.mark.parametrize(
    "names, prices, key, expected",
    [
        # Constant usage of 10: reserving exactly 10 units beats 9 and 11.
        (["RI1Y", "OD"], [[0.3], [1.0]], "one_year_commitments", [0, 10]),
        # A plan of 6 per hour at rate 0.6 covers exactly the 10 units.
        (["SP3Y", "OD"], [[0.6], [1.0]], "three_years_commitments", [6, 0]),
    ],
)
@pytest.mark.parametrize("n_starts", [0, 4])
def test_rounding_lands_on_the_whole_optimum(names, prices, key, expected, n_starts):
    pred = np.full((2, 48, 1), 10.0)
    r = search(pred, np.asarray(prices), names, "H", n_starts)
    assert r.commitments[key].tolist() == expected
    x = committed_levels(r, names, 1)
    assert r.minimum == pytest.approx(mean_figure(pred, np.asarray(prices), names, "H", x, "cost"), rel=1e-12)


def scale(pred, prices, names):
    """Per-parameter finite-difference step, in parameter order."""
    S, T, _ = pred.shape
    mean_od = 1000.0
    steps = []
    for i in sorted(range(len(names)), key=lambda i: _ORDER[names[i]]):
        if names[i] == "OD":
            mean_od = float((pred * prices[i]).sum()) / T / S
        elif names[i].startswith("SP"):
            steps.append(1.0)
        else:
            steps.extend(1.0 / prices[i])
    return np.asarray(steps) * (mean_od / 5000.0)


def first_updates(pred, prices, names, period, count):
    """The first `count` updates of the momentum search from zero, recorded as the
    search records them: (cost, coverage, under-utilisation, speed)."""
    h = scale(pred, prices, names)

    def call(x):
        return mean_figure(pred, prices, names, period, x, "cost")

    x = np.zeros(len(h))
    velocity = np.zeros(len(h))
    rows = []
    for _ in range(count):
        base = call(x)
        g = np.empty(len(h))
        for k in range(len(h)):
            stepped = x.copy()
            stepped[k] += h[k]
            d = call(stepped) - base
            g[k] = min(d, x[k]) / h[k]  # clamped, then per unit of step
        velocity = 0.98 * velocity - g
        x = x + 0.1 * velocity
        rows.append((call(x), mean_figure(pred, prices, names, period, x, "coverage"),
                     mean_figure(pred, prices, names, period, x, "underutilization"),
                     math.sqrt(float(velocity @ velocity))))
    return rows


@pytest.mark.parametrize("names, prices", PORTFOLIOS[:3])
@pytest.mark.parametrize("period", ["H", "D"])
def test_without_random_starts_one_run_starts_from_zero(names, prices, period):
    pred = predictions(7, S=2, T=30)
    prices = np.asarray(prices)
    r = search(pred, prices, names, period, n_starts=0, details=True)
    assert r.n_iter >= 3, "the run should move for a few updates"
    c = r.convergence
    for i, (cost, coverage, under, speed) in enumerate(first_updates(pred, prices, names, period, 3)):
        assert c.costs[i] == pytest.approx(cost, rel=1e-9)
        assert c.coverages[i] == pytest.approx(coverage, rel=1e-9)
        assert c.underutilisation_cost[i] == pytest.approx(under, rel=1e-9, abs=1e-9)
        assert c.speeds[i] == pytest.approx(speed, rel=1e-9)
    # One run from a fixed point: the whole answer repeats, and reads strided input alike.
    again = search(np.asfortranarray(pred), prices, names, period, n_starts=0, details=True)
    assert again.minimum == r.minimum and again.n_iter == r.n_iter
    assert {k: v.tolist() for k, v in again.commitments.items()} == {k: v.tolist() for k, v in r.commitments.items()}
    np.testing.assert_array_equal(again.convergence.costs, c.costs)


def test_a_kind_that_never_runs_is_searched_and_gets_nothing():
    pred = predictions(9, S=2, T=24)
    pred[:, :, 1] = 0.0
    prices = np.array([[0.4, 0.4], [1.0, 1.0]])
    r = search(pred, prices, ["RI1Y", "OD"], n_starts=6)
    assert r.commitments["one_year_commitments"][2] == 0


def test_a_step_up_that_only_costs_leaves_zero_at_once():
    # Reservations dearer than on demand: the gradient at zero is clamped to zero, the
    # search stops after one update and commits nothing.
    pred = predictions(3, S=2, T=24)
    prices = np.array([[2.0, 2.5], [1.0, 1.0]])
    r = search(pred, prices, ["RI1Y", "OD"], n_starts=0, details=True)
    assert r.n_iter == 1
    assert r.commitments["one_year_commitments"].tolist() == [0, 0, 0]
    assert r.convergence.speeds.tolist() == [0.0]
    assert same_float(r.minimum, float((pred * prices[1]).sum()) / 2, rel=1e-12)


def assert_history(r, details):
    c = r.convergence
    if not details:
        assert all(getattr(c, name) is None for name in HISTORY)
        return
    lists = {name: getattr(c, name) for name in HISTORY}
    for name, values in lists.items():
        assert values.shape == (r.n_iter,), name  # this run's rows only
        assert values.dtype == (np.uint64 if name == "choices" else np.float64), name
    assert (lists["choices"] == 5).all() and (lists["discounts"] == 5.0).all()
    # The search goes on only while it is fast.
    assert (lists["speeds"][:-1] > 1.0).all()
    assert lists["speeds"][-1] <= 1.0 or r.n_iter == 500


@pytest.mark.parametrize("details", [None, False, True])
@pytest.mark.parametrize("names, prices", PORTFOLIOS)
def test_history_only_on_request_and_each_run_its_own(names, prices, details):
    pred = predictions(11, S=2, T=30)
    r = search(pred, np.asarray(prices), names, "D", n_starts=5, details=details)
    assert_history(r, details)


def test_history_of_a_later_run_of_a_batch_is_its_own():
    # Without samples every figure is NaN, and a NaN minimum hands the choice to the
    # later run: the all-zero start, last of the last batch, is the one returned.
    T = 6
    r = search(np.zeros((0, T, 2)), np.ones((2, 2)), ["payed_plan", "OD"], n_starts=9, details=True,
               current=np.ones((T, 1)))
    assert math.isnan(r.minimum) and math.isnan(r.coverage) and math.isnan(r.underutilization_cost)
    assert r.n_iter == 1 and r.commitments == {}
    assert_history(r, True)


@pytest.mark.parametrize(
    "names, paid_columns",
    [
        (["OD", "payed_2023"], 1),
        (["already_payed_a", "OD", "payed_b"], 2),
        (["payed_a"], 1),  # no on-demand model: only the plan's money is charged
        ([], 0),
    ],
)
@pytest.mark.parametrize("details", [False, True])
def test_nothing_to_search_prices_the_existing_plans(names, paid_columns, details):
    pred = predictions(5, S=3, T=30)
    T = pred.shape[1]
    current = np.random.default_rng(1).uniform(0.0, 6.0, (T, paid_columns))
    prices = np.array([[0.5, 0.6], [1.0, 1.2], [0.55, 0.5]])[: max(len(names), 1)]
    r = search(pred, prices, names, "D", n_starts=3, details=details, current=current)
    assert r.commitments == {} and r.n_iter == 1 and r.step_size == 1.0
    # An already-paid plan is priced like a three-year plan of the same money.
    priced = ["SP3Y" if "payed_" in m else m for m in names]
    total = {f: 0.0 for f in ("cost", "coverage", "underutilization")}
    for sample in pred:
        for f in total:
            total[f] += vb.final_cost_coverage_underutilization(sample, prices, current, priced, "D", f)
    assert same_float(r.minimum, total["cost"] / 3, rel=1e-12)
    assert same_float(r.coverage, total["coverage"] / 3, rel=1e-12)
    assert same_float(r.underutilization_cost, total["underutilization"] / 3, rel=1e-12)
    assert_history(r, details)


T_F = 8
GOOD = dict(pred=np.ones((2, T_F, 2)), prices=np.ones((3, 2)), names=["RI1Y", "SP1Y", "OD"], period="H",
            n_starts=1, current=np.zeros((T_F, 0)))


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(period="d"), "^provide a valid period string : either D or H$"),
        (dict(period=""), "^provide a valid period string : either D or H$"),
        (dict(period="H "), "^provide a valid period string : either D or H$"),
        (dict(period="Day", names=["bogus"]), "^provide a valid period string : either D or H$"),
        (dict(names=["ri1y", "OD"]), "^Not a known pricing model$"),
        (dict(names=["RI2Y", "OD"]), "^Not a known pricing model$"),
        (dict(names=["SP1Y", "OD "]), "^Not a known pricing model$"),
        (dict(names=[""]), "^Not a known pricing model$"),
        # A savings plan with nothing to spend on has an empty search range.
        (dict(pred=np.zeros((2, T_F, 2))), "^Uniform::new called with `low >= high`$"),
        (dict(pred=np.zeros((2, T_F, 2)), n_starts=0), "^Uniform::new called with `low >= high`$"),
        (dict(prices=np.array([[1.0, 1.0], [0.0, 0.0], [1.0, 1.0]]), n_starts=0),
         "^Uniform::new called with `low >= high`$"),
        (dict(pred=np.zeros((0, T_F, 2))), "^Uniform::new called with `low >= high`$"),
        (dict(pred=np.full((2, T_F, 2), math.inf), names=["RI1Y", "OD"], prices=np.ones((2, 2))),
         "^Uniform::new: range overflow$"),
        # Shapes that do not fit name the argument.
        (dict(prices=np.ones((2, 2))), "prices"),
        (dict(prices=np.ones((3, 3))), "prices"),
        (dict(prices=np.ones((3, 1))), "prices"),
        (dict(names=["payed_a", "payed_b", "OD"], current=np.zeros((T_F, 1))), "current_sp_commitments"),
        (dict(names=["payed_a", "OD"], prices=np.ones((2, 2))), "current_sp_commitments"),
        (dict(names=["payed_a", "OD"], prices=np.ones((2, 2)), current=np.zeros((T_F + 1, 1))),
         "current_sp_commitments"),
    ],
)
def test_failures(change, message):
    a = {**GOOD, **change}
    with internal_failure(message):
        vb.optimise_predictions(a["pred"], a["prices"], a["current"], a["names"], a["period"], a["n_starts"])
