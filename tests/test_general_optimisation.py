"""Portfolio optimisation over a usage history (`general_optimisation`)."""

import multiprocessing
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest
from conftest import internal_failure, same_float
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmar_backend as vb

KEYS = {"1Y": "one_year_commitments", "3Y": "three_years_commitments"}
HISTORY_LISTS = ("costs", "coverages", "choices", "discounts", "speeds", "underutilisation_cost")
VARIATION_EMPTY = "^expect the costs variations to be non empty$"
VARIATION_DETAILS_EMPTY = "^expect the costs varuations to be non empty$"
LOW_NOT_BELOW_HIGH = "^Uniform::new called with `low >= high`$"


def optimise(usage, prices, names, *, current=None, period="H", n_starts=0, optimiser="variation", details=None,
             step=None):
    usage = np.asarray(usage, dtype=np.float64)
    prices = np.asarray(prices, dtype=np.float64)
    if current is None:
        current = np.zeros((usage.shape[0], 0))
    return vb.general_optimisation(usage, prices, current, list(names), period, n_starts, optimiser, details, step)


def level_matrix(result, names, periods):
    """The returned commitments laid out as `final_cost_coverage_underutilization` reads
    them: per name in the caller's order, n reserved units or one savings-plan amount,
    the same in every period."""
    row = []
    for name in names:
        if name == "OD":
            continue
        vector = result.commitments[KEYS[name[2:]]]
        row.extend(vector[1:].astype(np.float64) if name.startswith("RI") else [float(vector[0])])
    return np.tile(np.asarray(row, dtype=np.float64), (periods, 1)) if row else np.zeros((periods, 0))


def portfolio_figures(usage, prices, levels, names, period):
    return tuple(
        vb.final_cost_coverage_underutilization(usage, prices, levels, list(names), period, figure)
        for figure in ("cost", "coverage", "underutilization")
    )


def assert_measured_like_final_cost(result, usage, prices, names, period):
    usage, prices = np.asarray(usage, dtype=np.float64), np.asarray(prices, dtype=np.float64)
    expected = portfolio_figures(usage, prices, level_matrix(result, names, usage.shape[0]), names, period)
    actual = (result.minimum, result.coverage, result.underutilization_cost)
    for what, a, e in zip(("minimum", "coverage", "underutilization_cost"), actual, expected):
        assert same_float(a, e, rel=1e-9, abs_=1e-9), (what, a, e)


def history_lengths(convergence):
    return {name: None if getattr(convergence, name) is None else len(getattr(convergence, name))
            for name in HISTORY_LISTS}


def one_reservation(units, periods=6):
    """One kind used at `units` per hour; reserving costs half the on-demand price, so
    with step 1.0 (spend per hour) the cost falls by `periods` per move until the
    reservation reaches the usage: cost(x) = periods * (units - x) below it and
    periods * x above."""
    return np.full((periods, 1), float(units)), np.array([[0.5], [1.0]]), ["RI1Y", "OD"]


def useless_commitments(periods=5, kinds=2):
    """Reservations and a savings-plan rate dearer than on demand: no step up
    from zero lowers the cost."""
    usage = np.arange(1.0, 1.0 + periods * kinds).reshape(periods, kinds)
    od = np.linspace(1.0, 2.0, kinds)
    return usage, np.vstack([2.0 * od, 1.25 * od, od]), ["RI1Y", "SP3Y", "OD"]


# --- Stopping rules and iteration counts --------------------------------------------------


@pytest.mark.parametrize(
    "units, plain, detailed",
    [
        (0, 1, 1),  # no move helps
        (2, 2, 2),  # one improving move, then limit 0
        (4, 3, 3),
        (10, 6, 7),
        (12, 7, 9),  # after 6 improving moves, 3 failed ones are tolerated
        (14, 8, 10),
    ],
)
def test_variation_optimisers_count_moves(units, plain, detailed):
    usage, prices, names = one_reservation(units)
    best = [0, units]  # the reservation that matches the usage, no savings plan
    r = optimise(usage, prices, names, step=1.0)
    assert (r.n_iter, r.commitments["one_year_commitments"].tolist(), r.minimum) == (plain, best, 6.0 * units / 2)
    assert set(history_lengths(r.convergence).values()) == {None}
    d = optimise(usage, prices, names, step=1.0, details=True)
    assert (d.n_iter, d.commitments["one_year_commitments"].tolist(), d.minimum) == (detailed, best, 6.0 * units / 2)
    assert set(history_lengths(d.convergence).values()) == {detailed}


def test_variation_details_record_the_point_before_each_move():
    usage, prices, names = one_reservation(10)
    c = optimise(usage, prices, names, step=1.0, details=True).convergence
    spend = np.arange(7.0)  # 5 improving moves, then 2 failed ones
    np.testing.assert_array_equal(c.costs, 6.0 * np.where(spend <= 5, 10.0 - spend, spend))
    np.testing.assert_allclose(c.coverages, spend / 5.0, rtol=1e-12)
    np.testing.assert_array_equal(c.underutilisation_cost, [0, 0, 0, 0, 0, 0, 6.0])
    np.testing.assert_array_equal(c.choices, np.full(7, 5, dtype=np.uint64))
    np.testing.assert_array_equal(c.discounts, np.full(7, 5.0))
    np.testing.assert_array_equal(c.speeds, np.zeros(7))


@pytest.mark.parametrize("name", ["", "variation", "Inertial", "inertia", "inertial ", "gradient", "Gradient_Descent"])
def test_other_optimiser_names_run_the_variation_search(name):
    usage, prices, names = one_reservation(10)
    plain = optimise(usage, prices, names, optimiser=name, step=1.0)
    assert (plain.n_iter, plain.step_size) == (6, 1.0)
    detailed = optimise(usage, prices, names, optimiser=name, step=1.0, details=True)
    assert detailed.n_iter == 7 and detailed.convergence.costs is not None


def test_gradient_descent_with_details_runs_the_variation_details_search():
    usage, prices, names = one_reservation(10)
    r = optimise(usage, prices, names, optimiser="gradient_descent", step=1.0, details=True)
    assert (r.n_iter, r.commitments["one_year_commitments"].tolist(), r.step_size) == (7, [0, 10], 1.0)
    assert set(history_lengths(r.convergence).values()) == {7}


@pytest.mark.parametrize(
    "units, step, n_iter, reserved",
    [
        # Five moves down the slope; the sixth crosses the optimum, is kept and rounded.
        (10, 1.0, 6, 9),
        (10, 3.0, 3, 7),  # 0 -> 3 -> 6 (still lower) -> 3 (higher): stop
        (100, 1e-3, 10_000, 20),  # the step budget ends a descent that still goes down
    ],
)
def test_gradient_descent_stops(units, step, n_iter, reserved):
    usage, prices, names = one_reservation(units, periods=3)
    r = optimise(usage, prices, names, optimiser="gradient_descent", step=step)
    assert (r.n_iter, r.commitments["one_year_commitments"].tolist()) == (n_iter, [0, reserved])
    assert r.step_size == step
    assert set(history_lengths(r.convergence).values()) == {None}
    assert_measured_like_final_cost(r, usage, prices, names, "H")


def test_gradient_descent_keeps_a_first_move_that_overshoots():
    # Reservation and savings plan each lower the cost alone by a step of 8, but the
    # diagonal move (8 / sqrt 2 along both) commits more than the usage: the search ends
    # there and rounds that point (11 units, 5 per hour), not the start.
    usage = np.full((3, 1), 10.0)
    prices = np.array([[0.5], [0.5], [1.0]])
    r = optimise(usage, prices, ["RI1Y", "SP1Y", "OD"], optimiser="gradient_descent", step=8.0)
    assert (r.n_iter, r.commitments["one_year_commitments"].tolist(), r.minimum) == (1, [5, 11], 31.5)


@pytest.mark.parametrize("kinds", [1, 2, 3])
def test_gradient_descent_from_a_flat_start_ends_at_zero(kinds):
    # Every gradient entry is clamped to 0 at the zero start: no direction, no move.
    usage, prices, names = useless_commitments(kinds=kinds)
    r = optimise(usage, prices, names, optimiser="gradient_descent")
    assert r.n_iter == 1
    assert r.commitments["one_year_commitments"].tolist() == [0] * (kinds + 1)
    assert r.commitments["three_years_commitments"].tolist() == [0] * (kinds + 1)
    assert r.minimum == float((usage * prices[2]).sum())
    assert (r.coverage, r.underutilization_cost) == (0.0, 0.0)


@pytest.mark.parametrize(
    "usage, prices, n_iter, reserved",
    [
        # Zero gradient at the start: speed 0 after one update, the start comes back.
        (np.full((4, 2), 3.0), [[2.0, 2.0], [1.0, 1.0]], 1, [0, 0]),
        # One update of speed exactly 1.0 ends the run; the point it reached is best.
        (np.full((6, 1), 10.0), [[0.5], [1.0]], 1, [1]),
        # A slope of -3 per unit of spend on each kind keeps the speed above 1.0.
        (np.full((3, 2), 1e5), [[0.25, 0.25], [1.0, 1.0]], 500, None),
    ],
)
def test_inertial_single_run(usage, prices, n_iter, reserved):
    # The inertial search differentiates with its own step of 1.0, not the caller's.
    r = optimise(usage, prices, ["RI1Y", "OD"], optimiser="inertial", n_starts=0, step=7.0)
    assert r.n_iter == n_iter
    assert r.step_size is None
    levels = r.commitments["one_year_commitments"]
    assert levels[0] == 0
    if reserved is not None:
        assert levels[1:].tolist() == reserved
    else:
        assert all(0 < u < 1e5 for u in levels[1:])
    assert_measured_like_final_cost(r, usage, prices, ["RI1Y", "OD"], "H")


def test_each_inertial_run_reports_its_own_history():
    # Every random start costs more than the zero start, which is last in its chunk of
    # runs, so it is chosen and must not report the rows of the runs before it.
    periods = 5
    usage = np.full((periods, 1), 1000.0)
    prices = np.array([[2.0], [1.0]])
    workers = len(os.sched_getaffinity(0))
    for _ in range(3):
        r = optimise(usage, prices, ["RI1Y", "OD"], optimiser="inertial", n_starts=4 * workers + 3, details=True)
        assert r.n_iter <= 500
        assert set(history_lengths(r.convergence).values()) == {r.n_iter}
        np.testing.assert_array_equal(r.convergence.choices, np.full(r.n_iter, 5, dtype=np.uint64))
    assert r.commitments["one_year_commitments"].tolist() == [0, 0]
    assert r.minimum == 5000.0


def test_inertial_multi_start_with_details_keeps_lengths_consistent():
    usage = np.array([[12.0, 3.0], [9.0, 6.0], [15.0, 1.0], [11.0, 4.0]])
    prices = np.array([[0.6, 1.5], [0.8, 2.0], [1.0, 2.5]])
    for _ in range(3):
        r = optimise(usage, prices, ["RI3Y", "SP1Y", "OD"], optimiser="inertial", n_starts=9, details=True)
        assert 1 <= r.n_iter <= 500
        assert set(history_lengths(r.convergence).values()) == {r.n_iter}
        assert_measured_like_final_cost(r, usage, prices, ["RI3Y", "SP1Y", "OD"], "H")


# --- Step size ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "names, prices, expected",
    [
        (["RI1Y", "OD"], [[0.5, 0.5, 0.5, 0.5], [1.0, 2.0, 0.5, 0.5]], 2.0 * (10.0 + 20.0 + 5.0 + 5.0) / 1000.0),
        (["OD", "SP3Y"], [[1.0, 1.0, 1.0, 1.0], [0.7, 0.7, 0.7, 0.7]], 2.0 * 40.0 / 1000.0),
        (["RI1Y", "SP1Y"], [[0.5, 0.5, 0.5, 0.5], [0.7, 0.7, 0.7, 0.7]], 2.0),  # sqrt(4) without on demand
    ],
)
def test_default_step(names, prices, expected):
    usage = np.full((3, 4), 10.0)
    for optimiser in ("variation", "gradient_descent"):
        assert same_float(optimise(usage, prices, names, optimiser=optimiser).step_size, expected, rel=1e-12)
    assert optimise(usage, prices, names, optimiser="inertial").step_size is None
    assert optimise(usage, prices, names, optimiser="inertial", step=3.0).step_size is None


# --- Portfolios without free parameters ---------------------------------------------------


@pytest.mark.parametrize(
    "names, paid_columns",
    [(["OD"], 0), (["payed_a", "OD"], 1), (["OD", "x_payed_y", "payed_"], 2), (["sp_payed_2023"], 1), ([], 0)],
)
def test_portfolios_without_parameters(names, paid_columns):
    periods, kinds = 7, 2
    usage = np.arange(1.0, 1.0 + periods * kinds).reshape(periods, kinds)
    prices = np.array([[1.0, 3.0], [0.5, 0.75], [0.4, 2.0]])[: max(len(names), 1)]
    current = np.column_stack([np.full(periods, 4.0 + c) for c in range(paid_columns)]) if paid_columns else (
        np.zeros((periods, 0)))

    with internal_failure(VARIATION_EMPTY):
        optimise(usage, prices, names, current=current, n_starts=2)
    for optimiser in ("variation", "gradient_descent"):
        with internal_failure(VARIATION_DETAILS_EMPTY):
            optimise(usage, prices, names, current=current, optimiser=optimiser, details=True, n_starts=2)

    # Already-paid plans last three years; priced like three-year plans of the same money.
    as_final = ["SP3Y" if "payed_" in name else name for name in names]
    expected = portfolio_figures(usage, prices, current, as_final, "H")
    for optimiser, details in (("gradient_descent", None), ("inertial", None), ("inertial", True)):
        r = optimise(usage, prices, names, current=current, optimiser=optimiser, details=details, n_starts=3)
        assert r.commitments == {}
        assert r.n_iter == 1
        assert set(history_lengths(r.convergence).values()) == {1 if details else None}
        assert (r.minimum, r.coverage, r.underutilization_cost) == pytest.approx(expected, rel=1e-12)


# --- Commitments by term, and the caller's order ------------------------------------------

ALTERNATING = np.column_stack([5.0 + 10.0 * (np.arange(24) % 2 == 0), 4.0 + 10.0 * (np.arange(24) % 2 == 1)])
PRICE_OF = {"RI1Y": [0.5, 0.5], "RI3Y": [0.4, 0.4], "SP1Y": [0.8, 0.8], "SP3Y": [0.7, 0.7], "OD": [1.0, 1.0]}


def priced(names):
    return np.array([PRICE_OF[name] for name in names])


@pytest.mark.parametrize(
    "names",
    [
        ["RI1Y", "SP1Y", "OD"],
        ["SP1Y", "RI1Y", "OD"],
        ["RI3Y", "SP1Y", "OD"],
        ["SP3Y", "OD"],
        ["OD", "RI1Y"],
        ["SP3Y", "RI3Y", "OD"],
        ["SP1Y", "RI3Y", "OD", "SP3Y", "RI1Y"],
    ],
)
@pytest.mark.parametrize("optimiser", ["variation", "gradient_descent", "inertial"])
def test_commitments_by_term(names, optimiser):
    r = optimise(ALTERNATING, priced(names), names, optimiser=optimiser, n_starts=3, step=0.5)
    assert set(r.commitments) == {KEYS[name[2:]] for name in names if name != "OD"}
    for term, key in KEYS.items():
        if key not in r.commitments:
            continue
        vector = r.commitments[key]
        assert vector.dtype == np.uint64 and vector.shape == (3,)
        if "SP" + term not in names:
            assert vector[0] == 0
        if "RI" + term not in names:
            assert vector[1:].tolist() == [0, 0]
    assert_measured_like_final_cost(r, ALTERNATING, priced(names), names, "H")


def test_savings_plan_and_reservation_of_one_term_share_a_vector():
    for names in (["RI1Y", "SP1Y", "OD"], ["SP1Y", "RI1Y", "OD"], ["OD", "SP1Y", "RI1Y"]):
        r = optimise(ALTERNATING, priced(names), names, step=0.5)
        # Reservations take the base load of each kind, the plan the alternating peaks.
        assert list(r.commitments) == ["one_year_commitments"]
        assert r.commitments["one_year_commitments"].tolist() == [8, 5, 4]


@pytest.mark.parametrize("optimiser, details", [("variation", None), ("variation", True), ("gradient_descent", None)])
def test_caller_order_does_not_change_a_deterministic_search(optimiser, details):
    rng = np.random.default_rng(7)
    usage = ALTERNATING + rng.uniform(0.0, 3.0, ALTERNATING.shape)
    sorted_names = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
    reference = optimise(usage, priced(sorted_names), sorted_names, optimiser=optimiser, details=details, step=0.5)
    for _ in range(4):
        names = list(rng.permutation(sorted_names))
        r = optimise(usage, priced(names), names, optimiser=optimiser, details=details, step=0.5)
        assert r.n_iter == reference.n_iter
        assert {k: v.tolist() for k, v in r.commitments.items()} == {
            k: v.tolist() for k, v in reference.commitments.items()}
        assert (r.minimum, r.coverage, r.underutilization_cost) == pytest.approx(
            (reference.minimum, reference.coverage, reference.underutilization_cost), rel=1e-12)
        assert_measured_like_final_cost(r, usage, priced(names), names, "H")


@pytest.mark.parametrize("names", [["SP1Y", "RI1Y", "OD"], ["RI1Y", "SP1Y", "OD"], ["OD", "SP1Y", "RI1Y"]])
def test_search_ranges_stay_with_their_model(names):
    # One kind used at 10 per hour; the reservation (price 8 > on demand 4) only adds
    # cost, and the plan (rate 4) costs exactly what it saves. Every run therefore stops
    # after one small update, and the first run without a reservation wins the tie: its
    # plan level is its random start, drawn from the plan's range (0, 40). The
    # reservation's range is (0, 10 + 1e-7), so a plan above 11 shows the plan's own range.
    usage = np.full((4, 1), 10.0)
    prices = np.array([{"SP1Y": [4.0], "RI1Y": [8.0], "OD": [4.0]}[name] for name in names])
    plan_levels = []
    for _ in range(20):
        r = optimise(usage, prices, names, optimiser="inertial", n_starts=3)
        assert r.minimum == 160.0
        assert r.commitments["one_year_commitments"][1] == 0
        plan_levels.append(int(r.commitments["one_year_commitments"][0]))
    assert max(plan_levels) > 12, plan_levels
    assert max(plan_levels) <= 41, plan_levels


# --- Failures -----------------------------------------------------------------------------


@pytest.mark.parametrize("period", ["d", "h", "", "DD", "Day", "D ", "HOUR"])
def test_bad_period_fails_before_anything_else(period):
    usage, prices, names = one_reservation(10)
    with internal_failure("^provide a valid period string : either D or H$"):
        optimise(usage, prices, ["nonsense", "OD"], period=period)
    for optimiser in ("variation", "gradient_descent", "inertial"):
        with internal_failure("^provide a valid period string : either D or H$"):
            optimise(usage, prices, names, period=period, optimiser=optimiser)


@pytest.mark.parametrize("bad", ["od", "OD ", "", "ri1y", "RI2Y", "SP1y", "SP5Y", "RI1YY", "payed"])
def test_unknown_pricing_model(bad):
    usage, prices, _ = one_reservation(10)
    for names in (["RI1Y", bad], [bad, "OD"]):
        with internal_failure("^Not a known pricing model$"):
            optimise(usage, prices, names, optimiser="inertial")


@pytest.mark.parametrize("optimiser", ["variation", "gradient_descent", "inertial"])
@pytest.mark.parametrize("details", [None, True])
def test_sampler_failures_happen_even_without_random_starts(optimiser, details):
    # A plan with nothing to spend on: the range (0, 0) is empty.
    with internal_failure(LOW_NOT_BELOW_HIGH):
        optimise(np.zeros((5, 2)), np.ones((3, 2)), ["RI1Y", "SP1Y", "OD"], optimiser=optimiser, details=details)
    # No periods: every range is empty.
    with internal_failure(LOW_NOT_BELOW_HIGH):
        optimise(np.zeros((0, 2)), np.ones((2, 2)), ["RI1Y", "OD"], optimiser=optimiser, details=details)
    # A plan range too wide to draw from.
    with internal_failure("^Uniform::new: range overflow$"):
        optimise(np.ones((5, 2)), np.full((2, 2), 1e308), ["SP1Y", "OD"], optimiser=optimiser, details=details)


@pytest.mark.parametrize(
    "optimiser, details, refused",
    [
        ("variation", None, True),
        ("variation", True, True),
        ("gradient_descent", True, True),
        ("gradient_descent", None, False),
        ("inertial", None, False),
        ("inertial", True, False),
    ],
)
def test_negative_step(optimiser, details, refused):
    usage, prices, names = one_reservation(10)
    if refused:
        with internal_failure("^step must not be negative$"):
            optimise(usage, prices, names, optimiser=optimiser, details=details, step=-1.0)
    else:
        r = optimise(usage, prices, names, optimiser=optimiser, details=details, step=-1.0)
        assert 1 <= r.n_iter <= 10_000
    # A negative price (which also made the default step negative) is refused before any work.
    with internal_failure("^prices must not be negative$"):
        optimise(usage, np.array([[0.5], [-1.0]]), names, optimiser=optimiser, details=details)


# --- Measured like the portfolio's own figures --------------------------------------------

COMMITMENT_NAMES = ("RI1Y", "RI3Y", "SP1Y", "SP3Y")


@st.composite
def portfolios(draw):
    kinds = draw(st.integers(1, 3))
    daily = draw(st.booleans())
    periods = draw(st.sampled_from([370, 400]) if daily else st.integers(2, 24))
    base = np.array(draw(st.lists(st.floats(1.0, 40.0), min_size=kinds, max_size=kinds)))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    usage = base * rng.uniform(0.0, 2.0, (periods, kinds))
    commitments = draw(st.lists(st.sampled_from(COMMITMENT_NAMES), min_size=1, max_size=4, unique=True))
    names = draw(st.permutations(commitments + (["OD"] if draw(st.booleans()) else [])))
    od = rng.uniform(0.5, 4.0, kinds)
    factor = {"RI1Y": (0.35, 1.2), "RI3Y": (0.3, 1.2), "SP1Y": (0.4, 1.2), "SP3Y": (0.35, 1.2), "OD": (1.0, 1.0)}
    prices = np.array([od * rng.uniform(*factor[name], kinds) for name in names])
    return usage, prices, names, "D" if daily else "H"


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    portfolio=portfolios(),
    optimiser=st.sampled_from(["variation", "gradient_descent", "inertial"]),
    details=st.sampled_from([None, False, True]),
    n_starts=st.integers(0, 3),
    step=st.one_of(st.none(), st.floats(0.05, 5.0)),
)
def test_results_are_measured_like_the_portfolio(portfolio, optimiser, details, n_starts, step):
    usage, prices, names, period = portfolio
    r = optimise(usage, prices, names, period=period, optimiser=optimiser, details=details, n_starts=n_starts,
                 step=step)
    assert_measured_like_final_cost(r, usage, prices, names, period)
    assert set(r.commitments) == {KEYS[name[2:]] for name in names if name != "OD"}
    assert all(v.dtype == np.uint64 and v.shape == (usage.shape[1] + 1,) for v in r.commitments.values())
    assert (r.step_size is None) == (optimiser == "inertial")
    if step is not None and optimiser != "inertial":
        assert r.step_size == step
    assert r.n_iter >= 1
    if optimiser == "inertial":
        assert r.n_iter <= 500
    if details:
        # The inertial run records once per update, the variation details search once per move.
        assert set(history_lengths(r.convergence).values()) == {r.n_iter}
    else:
        assert set(history_lengths(r.convergence).values()) == {None}


# --- Threads, interrupts and forked children ----------------------------------------------


def long_multi_start():
    """Fifty runs per worker, each of up to 500 updates over 20,000 x 8 cells (a slope of
    -3 per unit of spend keeps the speed above 1.0): many seconds of work."""
    periods, kinds = 20_000, 8
    usage = np.full((periods, kinds), 1e5)
    prices = np.vstack([np.full(kinds, 0.25), np.ones(kinds)])
    n_starts = 50 * len(os.sched_getaffinity(0))
    return lambda: optimise(usage, prices, ["RI1Y", "OD"], optimiser="inertial", n_starts=n_starts)


def flat_multi_start(n_starts=7):
    """A portfolio where the zero start wins: returns its exact result."""
    usage = np.full((5, 1), 1000.0)
    prices = np.array([[2.0], [1.0]])
    r = optimise(usage, prices, ["RI1Y", "OD"], optimiser="inertial", n_starts=n_starts, details=True)
    return r.n_iter, r.minimum, r.commitments["one_year_commitments"].tolist(), len(r.convergence.costs)


FLAT_RESULT = (1, 5000.0, [0, 0], 1)


def test_interrupt_ends_a_parallel_multi_start():
    # The call holds the interpreter lock throughout, so a Python timer thread could not
    # run before it returns; the kernel's interval timer delivers the signal instead, and
    # its handler raises KeyboardInterrupt exactly as the host's SIGINT handler does.
    run = long_multi_start()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        sent = time.monotonic() + 0.3
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            with internal_failure("^Keyboard interupt$"):
                run()
        except KeyboardInterrupt:
            pytest.fail("the interrupt reached the host instead of ending the search")
        stopped = time.monotonic()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert stopped - sent < 5.0
    # The cancellation does not outlive the call.
    assert flat_multi_start() == FLAT_RESULT


def test_calls_from_several_threads_in_turn():
    usage, prices, names = one_reservation(10)
    failures, variation_results, multi_start_results = [], [], []

    def work():
        try:
            for _ in range(5):
                r = optimise(usage, prices, names, step=1.0, details=True)
                variation_results.append((r.n_iter, r.minimum, r.commitments["one_year_commitments"].tolist()))
                multi_start_results.append(flat_multi_start())
                s = optimise(usage, prices, names, optimiser="inertial", n_starts=4)
                assert_measured_like_final_cost(s, usage, prices, names, "H")
        except BaseException as e:  # the internal failure is a BaseException
            failures.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    assert variation_results == [(7, 30.0, [0, 10])] * 20
    assert multi_start_results == [FLAT_RESULT] * 20


def _child_multi_start(queue):
    queue.put(flat_multi_start(n_starts=4 * len(os.sched_getaffinity(0)) + 1))


def test_forked_child_runs_a_multi_start():
    assert flat_multi_start() == FLAT_RESULT  # the pool is running in this process
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        child = context.Process(target=_child_multi_start, args=(queue,))
        child.start()
    child.join(timeout=30)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail("the forked child did not finish its multi-start")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == FLAT_RESULT
    assert flat_multi_start() == FLAT_RESULT  # and the parent's pool still works


@pytest.mark.parametrize(
    "search",
    [
        lambda u, p: vb.general_optimisation(u, p, np.zeros((3, 0)), ["RI1Y", "OD"], "H", 2**64 - 1, "inertial"),
        lambda u, p: vb.general_optimisation(u, p, np.zeros((3, 0)), ["OD"], "H", 2**64 - 1, "inertial"),
        lambda u, p: vb.optimise_predictions(u[None], p, np.zeros((3, 0)), ["RI1Y", "OD"], "H", 2**64 - 1),
    ],
    ids=["with parameters", "without parameters", "predictions"],
)
def test_start_count_beyond_memory_is_a_memory_error(search):
    # One column per start plus the zero start: a count whose matrix cannot exist must not
    # wrap around to a small allocation.
    with pytest.raises(MemoryError):
        search(np.ones((3, 2)), np.ones((2, 2)))
