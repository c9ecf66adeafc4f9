"""The least-cost single plan for one history: `simple_optimisation`."""

import math
import signal

import numpy as np
import pytest
import reference
from conftest import internal_failure, same_float
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import velmar_backend as vb

NAN = float("nan")
INF = float("inf")
HOURS = {"H": 1.0, "D": 24.0}
KEYS = {"1Y": "one_year_commitments", "3Y": "three_years_commitments"}


def arr(x):
    return np.array(x, dtype=np.float64)


def plan_of(r):
    (key,) = r.commitments
    return r.commitments[key]


def scaled(plan, period):
    """A plan as the cost model prices it per row: reserved units times hours per row."""
    v = np.asarray(plan, dtype=np.float64).copy()
    v[1:] *= HOURS[period]
    return v


def assert_measures_agree(r, usage, prices, period):
    """minimum, coverage and underutilisation are those of the returned plan."""
    v = scaled(plan_of(r), period)
    assert same_float(r.minimum, vb.cost(usage, prices, v))
    assert same_float(r.coverage, vb.coverage(usage, prices, v))
    assert same_float(r.underutilization_cost, reference.single_plan(usage, prices, v).idle)


# --- a plain formulation of the search, priced by the module's own `cost` ----------
# Inputs are small integers and powers of two, so every sum is exact and ties are real.


def make_plan_cost(usage, prices, hours):
    def plan_cost(x):
        v = np.array(x, dtype=np.float64)
        v[1:] *= hours
        return vb.cost(usage, prices, v)

    return plan_cost


def first_argmin(values):
    best = None
    for i, v in enumerate(values):
        if math.isnan(v):
            continue
        if best is None or v < values[best]:
            best = i
    return 0 if best is None else best


def variations(plan_cost, x, steps, current):
    out = []
    for i in range(len(x)):
        trial = list(x)
        trial[i] += steps[i]
        out.append(plan_cost(trial) - current)
    return out


def ref_rounding(plan_cost, x):
    base = plan_cost(x)
    gains = []
    for i in range(len(x)):
        y = list(x)
        y[i] += 1.0
        gains.append(plan_cost(y) - base)
    assert not any(math.isnan(g) for g in gains)
    order = sorted(range(len(x)), key=lambda i: gains[i])[::-1]
    y = list(x)
    for k in order:
        y[k] = math.floor(y[k])
        lo = plan_cost(y)
        y[k] += 1.0
        hi = plan_cost(y)
        if lo < hi:
            y[k] -= 1.0
    return [int(v) if v > 0 else 0 for v in y]


def ref_search(plan_cost, steps, start):
    current = plan_cost(start)
    x = list(start)
    it = 0
    while True:
        it += 1
        var = variations(plan_cost, x, steps, current)
        k = first_argmin(var)
        if not var[k] < 0:
            break
        x[k] += steps[k]
        current += var[k]
    return ref_rounding(plan_cost, x), it


def ref_search_details(plan_cost, steps, start):
    current = plan_cost(start)
    x, saved = list(start), list(start)
    improving, failed, limit = 0, 0, 1
    costs, points = [], []
    while failed < limit:
        var = variations(plan_cost, x, steps, current)
        k = first_argmin(var)
        if var[k] < 0:
            improving += 1
        elif failed == 0:
            saved, limit, failed = list(x), improving // 2, 1
        else:
            failed += 1
        x[k] += steps[k]
        current += var[k]
        costs.append(current)
        points.append(list(x))
    return ref_rounding(plan_cost, saved), improving, costs, points


def search_inputs():
    kinds = st.integers(1, 3)
    return kinds.flatmap(
        lambda n: st.tuples(
            st.lists(st.lists(st.integers(0, 12).map(float), min_size=n, max_size=n), min_size=1, max_size=5),
            st.tuples(
                st.lists(st.sampled_from([0.5, 1.0, 2.0]), min_size=n, max_size=n),
                st.lists(st.sampled_from([0.25, 0.5, 1.0, 2.0]), min_size=n, max_size=n),
                st.lists(st.sampled_from([0.25, 0.5, 1.0]), min_size=n, max_size=n),
            ),
            st.sampled_from([0.25, 0.5, 1.0, 2.0]),
            st.one_of(
                st.none(), st.lists(st.integers(-8, 48).map(lambda q: q / 4), min_size=n + 1, max_size=n + 1)
            ),
        )
    )


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(search_inputs())
def test_search_follows_the_greedy_moves_and_rounding(case):
    usage, price_rows, step, start = case
    usage, prices = arr(usage), arr(list(price_rows))
    n = usage.shape[1]
    default_start = start is None
    if default_start:
        start = [0.0] + list(usage.min(axis=0))
    steps = [step] + [step / p for p in prices[2]]
    plan_cost = make_plan_cost(usage, prices, 1.0)
    sp = None if default_start else arr(start)

    plan, n_iter = ref_search(plan_cost, steps, start)
    r = vb.simple_optimisation(usage, prices, "H", "1Y", step=step, starting_point=sp)
    assert plan_of(r).tolist() == plan
    assert r.n_iter == n_iter
    assert r.minimum == plan_cost(plan)
    assert r.step_size == step
    assert same_float(r.coverage, vb.coverage(usage, prices, arr(plan)))
    assert same_float(r.underutilization_cost, reference.single_plan(usage, prices, arr(plan)).idle)

    d_plan, improving, costs, points = ref_search_details(plan_cost, steps, start)
    d = vb.simple_optimisation(usage, prices, "H", "1Y", True, step, sp)
    assert d_plan == plan  # the history only extends past the local optimum
    assert plan_of(d).tolist() == plan
    assert d.n_iter == improving
    assert d.minimum == r.minimum
    c = d.convergence
    assert c.costs.tolist() == costs
    assert np.array_equal(c.coverages, [vb.coverage(usage, prices, arr(p)) for p in points], equal_nan=True)
    assert np.allclose(c.underutilisation_cost, [reference.single_plan(usage, prices, arr(p)).idle for p in points])
    assert len(plan) == n + 1


@settings(max_examples=40, deadline=None)
@given(
    st.integers(1, 3).flatmap(
        lambda n: st.tuples(
            st.lists(
                st.lists(st.floats(0.0, 50.0, allow_subnormal=False), min_size=n, max_size=n), min_size=1, max_size=6
            ),
            st.lists(
                st.lists(st.floats(0.05, 3.0, allow_subnormal=False), min_size=n, max_size=n), min_size=3, max_size=3
            ),
        )
    ),
    st.sampled_from(["H", "D"]),
    st.booleans(),
)
def test_returned_measures_are_those_of_the_returned_plan(case, period, details):
    usage, prices = arr(case[0]), arr(case[1])
    assume(usage.sum() > 0)
    r = vb.simple_optimisation(usage, prices, period, "3Y", details)
    assert list(r.commitments) == ["three_years_commitments"]
    assert plan_of(r).shape == (usage.shape[1] + 1,)
    assert_measures_agree(r, usage, prices, period)
    expected_step = math.sqrt(usage.shape[1]) * float((usage * prices[0]).sum()) / usage.shape[0] / 1000
    assert same_float(r.step_size, expected_step)


# --- hand-made histories ------------------------------------------------------------

# One kind used 10 units an hour. Savings plan without discount; a reservation at half the
# on-demand price, so the best plan reserves exactly the usage.
STEADY = arr([[10.0]] * 4)
RESERVE = arr([[1.0], [1.0], [0.5]])
# Savings plan at half price beats a reservation at 0.8.
COMMIT = arr([[1.0], [0.5], [0.8]])


@pytest.mark.parametrize(
    "usage, prices, period, step, expected",
    [
        # RI step = 0.5 / 0.5 = 1 unit an hour.
        (STEADY, RESERVE, "H", 0.5, [0, 10]),
        # Days: 240 units a row; RI step = 12 / (0.5 * 24) = 1 unit an hour.
        (STEADY * 24, RESERVE, "D", 12.0, [0, 10]),
        # 5 money an hour buys all 10 units at the savings-plan rate.
        (STEADY, COMMIT, "H", 1.0, [5, 0]),
        # The commitment is per row, unscaled: 120 a day.
        (STEADY * 24, COMMIT, "D", 24.0, [120, 0]),
        # Kind 0 steady (reserve it), kind 1 used in one period of four (leave it on demand).
        (arr([[4.0, 8.0], [4.0, 0.0], [4.0, 0.0], [4.0, 0.0]]), arr([[1.0, 1.0], [1.0, 1.0], [0.5, 0.5]]), "H", 0.5,
         [0, 4, 0]),
    ],
)
def test_worked_optimum(usage, prices, period, step, expected):
    start = np.zeros(usage.shape[1] + 1)
    for details in (False, True):
        r = vb.simple_optimisation(usage, prices, period, "1Y", details, step, start)
        assert plan_of(r).tolist() == expected
        assert_measures_agree(r, usage, prices, period)


def test_daily_minimum_prices_reserved_units_per_hour():
    r = vb.simple_optimisation(STEADY * 24, RESERVE, "D", "1Y", step=12.0, starting_point=np.zeros(2))
    # 10 units an hour reserved: 240 unit-periods a day at 0.5, four days.
    assert r.minimum == 4 * 240 * 0.5 == vb.cost(STEADY * 24, RESERVE, arr([0.0, 240.0]))
    assert r.coverage == 1.0
    assert r.underutilization_cost == 0.0


@pytest.mark.parametrize("start_units", [10, 9, 8, 7, 6, 5, 4, 2, 0])
def test_iteration_counts_and_history_length(start_units):
    # Every move toward 10 reserved units gains 0.5 an hour; every other move loses 0.5.
    improving = 10 - start_units
    start = arr([0.0, start_units])
    r = vb.simple_optimisation(STEADY, RESERVE, "H", "1Y", None, 0.5, start)
    d = vb.simple_optimisation(STEADY, RESERVE, "H", "1Y", True, 0.5, start)
    assert r.n_iter == improving + 1
    assert d.n_iter == improving
    history = improving + max(improving // 2, 1)
    c = d.convergence
    for attr in ("costs", "coverages", "underutilisation_cost"):
        assert getattr(c, attr).shape == (history,)
    for attr in ("discounts", "choices", "speeds"):
        assert getattr(c, attr).shape == (0,)
    # Costs fall by 2 per improving move (0.5 over 4 hours), then rise by 2 per failed one.
    cost_at_start = 4 * (0.5 * start_units + (10 - start_units))
    expected = [cost_at_start - 2 * (i + 1) for i in range(improving)]
    expected += [20.0 + 2 * (i + 1) for i in range(history - improving)]
    assert c.costs.tolist() == expected
    assert plan_of(r).tolist() == plan_of(d).tolist() == [0, 10]
    assert r.minimum == d.minimum == 20.0


def test_default_start_is_the_low_end_of_the_ranges():
    # Constant usage: the reservation starts at the usage, already the optimum.
    r = vb.simple_optimisation(STEADY * 24, RESERVE, "D", "1Y")
    d = vb.simple_optimisation(STEADY * 24, RESERVE, "D", "1Y", True)
    assert plan_of(r).tolist() == [0, 10]
    assert (r.n_iter, d.n_iter, d.convergence.costs.size) == (1, 0, 1)


# --- rounding (a zero step makes the search stop where it starts) -------------------

ALL_ONE = arr([[1.0], [1.0], [1.0]])


@pytest.mark.parametrize(
    "usage, prices, start, expected",
    [
        # Reservation and savings plan both cost what they save: every decision is a tie,
        # and a tie keeps the upper value.
        ([[10.0]], ALL_ONE, [0.0, 2.5], [1, 3]),
        ([[10.0]], ALL_ONE, [0.25, 0.0], [1, 1]),
        # Whole units stay; the tie still lifts the savings plan (visited after the dearer unit).
        ([[10.0]], ALL_ONE, [2.0, 3.0], [3, 4]),
        # Above the usage a reserved unit only costs: round down.
        ([[2.25]], arr([[1.0], [1.0], [0.5]]), [0.0, 2.75], [0, 2]),
        # Below it the unit pays for itself: round up (a dear savings plan stays at 0).
        ([[4.0]], arr([[1.0], [2.0], [0.5]]), [0.0, 2.25], [0, 3]),
        # Negative entries are decided on their floors and returned as 0.
        ([[4.0]], arr([[1.0], [1.0], [0.5]]), [-1.5, -0.5], [0, 0]),
    ],
)
def test_rounding(usage, prices, start, expected):
    r = vb.simple_optimisation(arr(usage), prices, "H", "1Y", step=0.0, starting_point=arr(start))
    assert r.n_iter == 1
    assert r.step_size == 0.0
    assert plan_of(r).tolist() == expected
    assert r.minimum == vb.cost(arr(usage), prices, arr(expected))


def test_rounding_decides_the_dearest_unit_first():
    # One kind, 10 units an hour; on demand 4, savings-plan rate 2, reserved 2.4. At
    # (14.5, 2.5) one more reserved unit adds 1.4 and one more unit of commitment adds
    # nothing, so the reservation is decided first: 2.5 -> 3 (cost 21.7 against 22.3),
    # then the commitment 14.5 -> 14 (21.2 against 22.2). Deciding the commitment first
    # would give (15, 2) at 21.8.
    usage, prices = arr([[10.0]]), arr([[4.0], [2.0], [2.4]])
    r = vb.simple_optimisation(usage, prices, "H", "1Y", step=0.0, starting_point=arr([14.5, 2.5]))
    assert plan_of(r).tolist() == [14, 3]
    assert same_float(r.minimum, 21.2)


# --- searches that end at once ------------------------------------------------------


@pytest.mark.parametrize("step", [0.0, NAN, INF])
def test_degenerate_steps_end_after_one_pass(step):
    usage = arr([[1.0, 5.0], [2.0, 3.0]])
    prices = arr([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]])
    r = vb.simple_optimisation(usage, prices, "H", "1Y", step=step)
    assert r.n_iter == 1
    assert same_float(r.step_size, step)
    # The default start (no commitment, the least usage of each kind reserved), rounded.
    assert plan_of(r).tolist() == ref_rounding(make_plan_cost(usage, prices, 1.0), [0.0, 1.0, 3.0])


def test_zero_usage_gives_a_zero_default_step():
    r = vb.simple_optimisation(np.zeros((3, 2)), arr([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]]), "D", "3Y")
    assert r.step_size == 0.0
    assert r.n_iter == 1
    assert plan_of(r).tolist() == [0, 0, 0]


def test_details_false_is_the_same_as_none():
    usage = arr([[10.0, 5.0], [2.0, 0.0], [8.0, 4.0]])
    prices = arr([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]])
    a = vb.simple_optimisation(usage, prices, "H", "1Y", None)
    b = vb.simple_optimisation(usage, prices, "H", "1Y", False)
    for attr in ("n_iter", "minimum", "coverage", "underutilization_cost", "step_size"):
        assert getattr(a, attr) == getattr(b, attr)
    assert plan_of(a).tolist() == plan_of(b).tolist()
    assert b.convergence.costs is None and b.convergence.choices is None


@pytest.mark.parametrize("horizon", ["1Y", "3Y"])
def test_horizon_names_the_only_key(horizon):
    r = vb.simple_optimisation(STEADY, RESERVE, "H", horizon)
    assert list(r.commitments) == [KEYS[horizon]]


# --- failures -----------------------------------------------------------------------

PERIOD_MESSAGE = "^provide a valid period string : either D or H$"
HORIZON_MESSAGE = "^Not a valid period, provide 3Y or 1Y$"
STEP_MESSAGE = "^step must not be negative$"
RESERVED_MESSAGE = "^reserved prices must not be negative$"
PRICES_MESSAGE = "^prices must not be negative$"
OK = dict(usage=STEADY, prices=RESERVE, period="H", horizon="1Y")


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"period": "d"}, PERIOD_MESSAGE),
        ({"period": "h"}, PERIOD_MESSAGE),
        ({"period": "DD"}, PERIOD_MESSAGE),
        ({"period": ""}, PERIOD_MESSAGE),
        ({"period": "Day"}, PERIOD_MESSAGE),
        ({"horizon": "2Y"}, HORIZON_MESSAGE),
        ({"horizon": "1y"}, HORIZON_MESSAGE),
        ({"horizon": "1Y "}, HORIZON_MESSAGE),
        ({"horizon": ""}, HORIZON_MESSAGE),
        ({"horizon": "2Y", "convergence_details": True}, HORIZON_MESSAGE),
        ({"step": -1.0}, STEP_MESSAGE),
        ({"step": -1e-300}, STEP_MESSAGE),
        ({"step": -INF}, STEP_MESSAGE),
        ({"step": -1.0, "convergence_details": True}, STEP_MESSAGE),
        # A default step below zero: negative usage.
        ({"usage": -STEADY}, STEP_MESSAGE),
        # Negative on-demand or savings-plan prices would let the search gain without end.
        ({"prices": arr([[-1.0], [1.0], [0.5]])}, PRICES_MESSAGE),
        ({"prices": arr([[-2.0], [-1.0], [1.0]]), "step": 1.0}, PRICES_MESSAGE),
        ({"prices": arr([[1.0], [-INF], [0.5]])}, PRICES_MESSAGE),
        ({"prices": arr([[-1.0], [1.0], [-0.5]])}, RESERVED_MESSAGE),
        ({"prices": arr([[1.0], [1.0], [-0.5]])}, RESERVED_MESSAGE),
        ({"prices": arr([[1.0, 1.0], [1.0, 1.0], [0.5, -0.0001]]), "usage": arr([[1.0, 1.0]])}, RESERVED_MESSAGE),
        # Reported in order: period, then the step, then the horizon after the search.
        ({"period": "X", "horizon": "2Y"}, PERIOD_MESSAGE),
        ({"period": "X", "step": -1.0}, PERIOD_MESSAGE),
        ({"step": -1.0, "horizon": "2Y"}, STEP_MESSAGE),
        ({"prices": arr([[1.0], [1.0], [-0.5]]), "horizon": "2Y"}, RESERVED_MESSAGE),
        ({"starting_point": np.zeros(3), "horizon": "2Y"}, "starting_point"),
        # A failure inside the search (NaN cost sensitivities in rounding) comes first.
        ({"usage": arr([[1.0, NAN], [2.0, 3.0]]), "prices": arr([[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]]),
          "horizon": "2Y"}, "^never empty$"),
    ],
)
def test_failure_messages(changes, message):
    with internal_failure(message):
        vb.simple_optimisation(**{**OK, **changes})


@pytest.mark.parametrize("length", [0, 1, 3])
def test_starting_point_of_the_wrong_length(length):
    with internal_failure("starting_point"):
        vb.simple_optimisation(STEADY, RESERVE, "H", "1Y", starting_point=np.zeros(length))


@pytest.mark.parametrize(
    "prices",
    [arr([[1.0], [1.0]]), arr([[1.0, 1.0], [1.0, 1.0], [0.5, 0.5]])],
    ids=["two rows", "extra column"],
)
def test_price_table_of_the_wrong_shape(prices):
    with internal_failure("prices"):
        vb.simple_optimisation(STEADY, prices, "H", "1Y")


FREE_RESERVATION = arr([[1.0], [1.0], [0.0]])


@pytest.mark.parametrize(
    "prices, step",
    [(RESERVE, -0.0), (FREE_RESERVATION, 0.0), (FREE_RESERVATION, 1.0), (np.zeros((3, 1)), 1.0)],
)
def test_zero_steps_and_prices_are_accepted_and_end(prices, step):
    # A free reservation has an infinite (or 0/0) step: its move prices to NaN, never chosen.
    r = vb.simple_optimisation(STEADY, prices, "H", "1Y", step=step, starting_point=np.zeros(2))
    assert r.n_iter == 1
    assert r.step_size == step


# --- keyboard interrupt ---------------------------------------------------------------


def long_search():
    """Thousands of passes over a year of hours: seconds of work if nothing stops it."""
    rng = np.random.default_rng(0)
    usage = rng.uniform(10.0, 20.0, size=(8760, 8))
    prices = np.vstack([np.ones(8), np.full(8, 0.6), np.full(8, 0.7)])
    return usage, prices


@pytest.mark.parametrize("details", [None, True])
def test_interrupt_ends_the_search_with_an_internal_failure(details):
    # The call holds the interpreter lock throughout, so no Python thread can run during
    # it; an interval timer delivers the signal instead, handled like Ctrl-C.
    usage, prices = long_search()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with internal_failure("^Keyboard interupt$") as info:
            vb.simple_optimisation(usage, prices, "H", "1Y", details, 0.01)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    assert info.exception.__context__ is None
    assert info.exception.__cause__ is None
    # Nothing is left pending, and the module carries on.
    r = vb.simple_optimisation(STEADY, RESERVE, "H", "1Y")
    assert plan_of(r).tolist() == [0, 10]
