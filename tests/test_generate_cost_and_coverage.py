"""Cost and coverage of randomly drawn plans (`generate_cost_and_coverage`).

The plans themselves are not returned, so the checks are what every drawn plan must
satisfy: its cost and coverage lie inside what the search bounds allow, and on a
one-period, one-kind history the plan can be recovered from its two figures.
"""

import math

import numpy as np
import pytest
from conftest import internal_failure
from hypothesis import given, settings
from hypothesis import strategies as st

import velmar_backend as vb

RELATIVE = 1e-9


def sample(usage, prices, n_sample, n_threads=4, period="H"):
    out = vb.generate_cost_and_coverage(np.asarray(usage, dtype=np.float64), np.asarray(prices, dtype=np.float64),
                                        n_sample, n_threads, period)
    assert type(out) is np.ndarray
    assert out.shape == (n_sample, 2) and out.dtype == np.float64
    assert out.flags.c_contiguous and out.flags.writeable
    return out


def figure_limits(usage, prices):
    """(lowest cost, highest cost, highest coverage) of any plan within the bounds, for
    positive usage and prices. Reserved units reach the column's peak (+1e-7), the
    savings plan the peak savings-plan-priced demand of one period."""
    usage, prices = np.asarray(usage), np.asarray(prices)
    T = usage.shape[0]
    od, rate, reserved = prices[0], prices[1], prices[2]
    ri_high = usage.max(axis=0) + 1e-7
    sp_high = float((usage * rate).sum(axis=1).max())
    value = float((usage * od).sum())
    # Every unit of usage is paid at least at its cheapest price.
    lowest = float((usage * np.minimum(np.minimum(od, rate), reserved)).sum())
    highest = T * (sp_high + float(ri_high @ reserved)) + value
    covered = T * float(ri_high @ od) + T * sp_high * max(1.0, float((od / rate).max()))
    return lowest, highest, covered / value


def assert_within_limits(out, usage, prices):
    lowest, highest, coverage_high = figure_limits(usage, prices)
    cost, coverage = out[:, 0], out[:, 1]
    slack = RELATIVE * highest
    bad = np.flatnonzero((cost < lowest - slack) | (cost > highest + slack))
    assert bad.size == 0, f"rows {bad[:5]} cost {cost[bad[:5]]} outside [{lowest}, {highest}]"
    bad = np.flatnonzero((coverage < 0.0) | (coverage > coverage_high * (1 + RELATIVE)))
    assert bad.size == 0, f"rows {bad[:5]} coverage {coverage[bad[:5]]} outside [0, {coverage_high}]"


# One period, one kind: usage 10, on-demand price 1, savings-plan rate 0.5, reserved 0.8.
# Plans: savings plan s in [0, 5), reserved units r in [0, 10 + 1e-7).
U1, A, B, C = 10.0, 1.0, 0.5, 0.8


def recover_plan(cost, coverage):
    """The (r, s) that gives this pair, or None when no plan within the bounds does."""
    value = A * U1
    branches = [
        # The plan's money is all spent: it covers s / B units.
        (np.array([[1.0, 1.0 / B], [C - A, 1.0 - A / B]]), np.array([coverage * U1, cost - value]),
         lambda r, s: s / B <= U1 - r + 1e-7),
        # The money covers every unit the reservation leaves; the rest is unspent.
        (np.array([[B, 1.0], [C, 1.0]]), np.array([value * coverage - value + B * U1, cost]),
         lambda r, s: s / B >= U1 - r - 1e-7),
    ]
    for matrix, rhs, holds in branches:
        r, s = np.linalg.solve(matrix, rhs)
        if holds(r, s) and -1e-7 <= r < U1 + 2e-7 and -1e-7 <= s < U1 * B + 1e-7:
            return r, s
    return None


@pytest.mark.parametrize("period", ["H", "D", "", "weekly"])  # the period is never read
@pytest.mark.parametrize("n_threads", [1, 3, 5000])
def test_every_pair_comes_from_one_plan_drawn_within_the_bounds(period, n_threads):
    out = sample([[U1]], [[A], [B], [C]], 2000, n_threads, period)
    plans = [recover_plan(cost, coverage) for cost, coverage in out]
    bad = [i for i, p in enumerate(plans) if p is None]
    assert not bad, f"rows {bad[:5]}: {out[bad[:5]]}"
    r, s = np.array(plans).T
    # Uniform over the whole box, each entry drawn on its own.
    assert r.mean() == pytest.approx(U1 / 2, abs=0.5) and s.mean() == pytest.approx(U1 * B / 2, abs=0.25)
    assert r.max() > 0.95 * U1 and s.max() > 0.95 * U1 * B
    assert abs(np.corrcoef(r, s)[0, 1]) < 0.2
    assert len(np.unique(out[:, 0])) == len(out)


@pytest.mark.parametrize(
    "usage, reserved",
    [
        # The last kind never runs, so its reservation bound is 1e-7, and each of its
        # units costs 1000: one plan with a level drawn for another kind would cost far
        # more than any plan within the bounds.
        ([[30.0, 0.0], [5.0, 0.0], [50.0, 0.0]], [0.5, 1000.0]),
        ([[30.0, 8.0, 0.0], [5.0, 40.0, 0.0], [50.0, 1.0, 0.0]], [0.5, 0.6, 1000.0]),
    ],
)
@pytest.mark.parametrize("n_sample", [2, 3, 50])
def test_each_level_is_drawn_from_its_own_interval(usage, reserved, n_sample):
    n = len(reserved)
    prices = [[1.0] * n, [0.7] * n, reserved]
    for _ in range(5):
        assert_within_limits(sample(usage, prices, n_sample, n_sample), usage, prices)


@given(
    data=st.data(),
    T=st.integers(1, 5),
    n=st.integers(1, 3),
    n_sample=st.integers(0, 40),
    n_threads=st.integers(1, 60),
)
@settings(max_examples=80, deadline=None)
def test_drawn_plans_stay_within_the_bounds(data, T, n, n_sample, n_threads):
    positive = st.floats(0.05, 20.0)
    usage = np.array(data.draw(st.lists(positive, min_size=T * n, max_size=T * n))).reshape(T, n)
    prices = np.array(data.draw(st.lists(st.floats(0.05, 3.0), min_size=3 * n, max_size=3 * n))).reshape(3, n)
    # Any layout of the same numbers is read alike.
    layout = data.draw(st.sampled_from(["C", "F", "reversed"]))
    given_usage = {"C": usage, "F": np.asfortranarray(usage), "reversed": usage[::-1].copy()[::-1]}[layout]
    assert_within_limits(sample(given_usage, prices, n_sample, n_threads), usage, prices)


USAGE = [[3.0, 1.0], [2.0, 4.0]]
PRICES = [[1.0, 1.0], [0.5, 0.5], [0.4, 0.4]]


@pytest.mark.parametrize(
    "usage, prices, n_sample, n_threads, message",
    [
        (USAGE, PRICES, 5, 0, "^attempt to divide by zero$"),
        (USAGE, PRICES, 0, 0, "^attempt to divide by zero$"),
        # An empty interval fails when drawing, before anything else and for any count.
        (np.zeros((0, 2)), PRICES, 5, 1, "^Uniform::new called with `low >= high`$"),
        (np.zeros((0, 2)), PRICES, 0, 0, "^Uniform::new called with `low >= high`$"),
        (np.zeros((2, 2)), PRICES, 0, 1, "^Uniform::new called with `low >= high`$"),
        (USAGE, [[1.0, 1.0], [0.0, 0.0], [0.4, 0.4]], 3, 1, "^Uniform::new called with `low >= high`$"),
        ([[math.nan, 1.0], [math.nan, 2.0]], PRICES, 3, 1, "^Uniform::new called with `low >= high`$"),
        ([[3.0, math.inf], [2.0, 4.0]], PRICES, 3, 1, "^Uniform::new: range overflow$"),
        (USAGE, [[1.0, 1.0], [0.5, math.inf], [0.4, 0.4]], 0, 1, "^Uniform::new: range overflow$"),
        (USAGE, PRICES[:2], 3, 1, "prices"),
        (USAGE, [row + [1.0] for row in PRICES], 3, 1, "prices"),
    ],
)
def test_failures(usage, prices, n_sample, n_threads, message):
    with internal_failure(message):
        vb.generate_cost_and_coverage(np.asarray(usage, dtype=np.float64), np.asarray(prices, dtype=np.float64),
                                      n_sample, n_threads, "H")


def test_counts_at_the_edges():
    assert sample(USAGE, PRICES, 0, 1).shape == (0, 2)
    assert_within_limits(sample(USAGE, PRICES, 1, 2**64 - 1), USAGE, PRICES)
    assert_within_limits(sample(USAGE, PRICES, 9, 1), USAGE, PRICES)


@pytest.mark.parametrize("n_sample", [2**62, 2**64 - 1])
def test_sample_count_beyond_memory_is_a_memory_error(n_sample):
    with pytest.raises(MemoryError):
        vb.generate_cost_and_coverage(np.ones((3, 2)), np.ones((3, 2)), n_sample, 1, "H")
