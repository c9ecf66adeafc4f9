"""Cost, coverage and under-utilisation of a commitment portfolio
(`final_cost_coverage_underutilization`)."""

import math

import numpy as np
import pytest
import reference
from conftest import internal_failure, same_float
from hypothesis import given, settings
from hypothesis import strategies as st

import velmar_backend as vb

FIGURES = ("cost", "coverage", "underutilization")
NAMES = ("OD", "RI1Y", "RI3Y", "SP1Y", "SP3Y")
NAN, INF = math.nan, math.inf


def final(usage, prices, levels, names, period, figure):
    return vb.final_cost_coverage_underutilization(usage, prices, levels, names, period, figure)


def figures(usage, prices, levels, names, period="H"):
    usage, prices, levels = (np.asarray(a, dtype=np.float64) for a in (usage, prices, levels))
    return tuple(final(usage, prices, levels, list(names), period, f) for f in FIGURES)


def assert_figures(actual, expected):
    for name, a, e in zip(FIGURES, actual, expected):
        assert isinstance(a, float), (name, a)
        assert same_float(a, e, rel=1e-12, abs_=1e-12), (name, a, e)


def block_columns(names, n):
    return sum(n if name.startswith("RI") else 1 if name.startswith("SP") else 0 for name in names)


# --- Hand-worked portfolios ----------------------------------------------------------------


def test_worked_example():
    # Hourly, two periods, one kind: 6 reserved units at 0.5, a savings plan of 3 at rate
    # 0.75, on demand at 1.
    usage = [[10.0], [4.0]]
    prices = [[0.5], [0.75], [1.0]]
    levels = [[6.0, 3.0], [6.0, 3.0]]
    assert_figures(figures(usage, prices, levels, ["RI1Y", "SP1Y", "OD"]), (12.0, 19.0 / 14.0, 4.0))
    # Listed in the opposite order, with the price rows and column blocks following.
    reordered = figures(usage, prices[::-1], [row[::-1] for row in levels], ["OD", "SP1Y", "RI1Y"])
    assert_figures(reordered, (12.0, 19.0 / 14.0, 4.0))


@pytest.mark.parametrize(
    "names, usage, prices, levels, expected",
    [
        pytest.param(
            # The reservation is listed second, takes price row 1 and levels columns 0..1,
            # and is applied before on-demand pricing.
            ["OD", "RI1Y"], [[5, 3]], [[1, 2], [0.25, 0.5]], [[2, 4, 99]],
            (2.5 + 3.0, 10.0 / 11.0, 0.5), id="od-then-ri",
        ),
        pytest.param(
            # One-year block: columns 0..1; three-year block: columns 2..3, applied first.
            # With no on-demand model uncovered usage is free and coverage is unpriced.
            ["RI1Y", "RI3Y"], [[5, 5]], [[1, 2], [10, 20]], [[3, 5, 4, 1]],
            (13.0 + 60.0, 13.0, 4.0), id="ri1y-then-ri3y",
        ),
        pytest.param(
            # The savings plan takes column 0 but sees only what the reservation left.
            ["SP1Y", "RI3Y", "OD"], [[4, 6]], [[0.5, 0.5], [0.25, 0.25], [1, 1]], [[4, 4, 2]],
            (1.5 + 4.0, 12.0 / 10.0, 2.0), id="sp-listed-before-ri",
        ),
        pytest.param(
            ["SP1Y", "SP3Y"], [[4]], [[0.5], [0.25]], [[2, 0.5]],
            (2.5, 5.0, 1.0), id="sp1y-then-sp3y",
        ),
        pytest.param(
            # Equal names keep the caller's order.
            ["SP1Y", "SP1Y"], [[4]], [[0.5], [0.25]], [[2, 0.5]],
            (2.5, 4.5, 0.5), id="two-sp1y-stable",
        ),
        pytest.param(
            ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"], [[10, 1]],
            [[0.5, 0.5], [0.25, 0.25], [0.5, 0.5], [1, 1], [2, 2]], [[2, 0, 4, 3, 1, 1]],
            # RI3Y [2,0], RI1Y [4,3] -> remaining [4,0], idle 2 x 0.25; SP3Y 1 at 0.5 covers
            # 2 of kind 0; SP1Y 1 at 1 covers 1 more; 1 unit left at 2.
            (1.0 + 1.75 + 1.0 + 1.0 + 2.0, (9.0 * 2 + 3.0 * 2) / 22.0, 0.5),
            id="all-five",
        ),
    ],
)
def test_order_and_column_blocks(names, usage, prices, levels, expected):
    assert_figures(figures(usage, prices, levels, names), expected)


def test_on_demand_only():
    usage = np.array([[1.0, 2.0], [3.0, 0.5], [0.0, 4.0]])
    prices = np.array([[0.5, 2.0]])
    levels = np.full((3, 2), 7.0)  # ignored: on demand takes no column
    assert_figures(figures(usage, prices, levels, ["OD"]), (0.5 * 4.0 + 2.0 * 6.5, 0.0, 0.0))


@pytest.mark.parametrize("names", [["OD", "OD"], ["OD", "SP1Y", "OD"]])
def test_a_second_on_demand_model_is_refused(names):
    # It would price the uncovered usage twice.
    for figure in ("cost", "coverage", "underutilization"):
        with internal_failure("^pricing model listed twice: OD$"):
            final(np.array([[3.0]]), np.array([[2.0], [0.5], [5.0]]), np.zeros((1, 1)), names, "H", figure)


@pytest.mark.parametrize("price_rows", [0, 2])
@pytest.mark.parametrize("level_cols", [0, 3])
def test_empty_portfolio(price_rows, level_cols):
    usage = np.array([[1.0, 2.0], [3.0, 4.0]])
    prices = np.full((price_rows, 2), NAN)
    levels = np.full((2, level_cols), NAN)
    assert figures(usage, prices, levels, []) == (0.0, 0.0, 0.0)


def test_columns_and_rows_beyond_the_portfolio_are_ignored():
    usage = [[10.0], [4.0]]
    base = figures(usage, [[0.5], [0.75], [1.0]], [[6.0, 3.0], [6.0, 3.0]], ["RI1Y", "SP1Y", "OD"])
    wider = figures(
        usage,
        [[0.5, NAN], [0.75, NAN], [1.0, NAN], [NAN, NAN]],
        [[6.0, 3.0, NAN, INF], [6.0, 3.0, NAN, INF]],
        ["RI1Y", "SP1Y", "OD"],
    )
    assert_figures(wider, base)


def test_no_rows():
    # Nothing to pay, nothing idle; coverage divides by an on-demand value of 0.
    cost, coverage, idle = figures(np.zeros((0, 2)), [[1.0, 1.0], [1.0, 1.0]], np.zeros((0, 3)), ["SP1Y", "RI3Y"])
    assert (cost, coverage, idle) == (0.0, 0.0, 0.0)
    cost, coverage, idle = figures(np.zeros((0, 1)), [[1.0], [2.0]], np.zeros((0, 1)), ["RI1Y", "OD"])
    assert (cost, idle) == (0.0, 0.0) and math.isnan(coverage)


# --- Periods: scaling and expiry ----------------------------------------------------------


@pytest.mark.parametrize(
    "period, daily",
    [("D", True), ("H", False), ("d", False), ("", False), ("DD", False), ("D ", False), (" D", False), ("Day", False)],
)
def test_only_exactly_d_means_daily(period, daily):
    # 2 reserved units per hour: 48 per day. Money of a savings plan is never scaled.
    usage, prices = [[60.0, 30.0]], [[0.5, 0.5], [1.0, 1.0]]
    reserved = figures(usage, prices, [[2.0, 2.0]], ["RI1Y", "OD"], period)
    if daily:
        expected = (48 * 0.5 * 2 + 12.0, (48.0 + 48.0) / 90.0, 18 * 0.5)
    else:
        expected = (2 * 0.5 * 2 + 58.0 + 28.0, 4.0 / 90.0, 0.0)
    assert_figures(reserved, expected)
    savings = figures(usage, prices, [[10.0]], ["SP3Y", "OD"], period)
    assert_figures(savings, (10.0 + 40.0 + 30.0, 20.0 / 90.0, 0.0))


@pytest.mark.parametrize(
    "name, period, duration",
    [
        ("RI1Y", "D", 365),
        ("RI3Y", "D", 1095),
        ("SP1Y", "D", 365),
        ("SP3Y", "D", 1095),
        ("RI1Y", "H", 8760),
        ("RI3Y", "H", 26280),
        ("SP1Y", "H", 8760),
        ("SP3Y", "H", 26280),
    ],
)
@pytest.mark.parametrize("offset", [-1, 0, 1])
def test_commitments_expire_after_their_term(name, period, duration, offset):
    T = duration + offset
    active = min(T, duration)
    od, rp = 1.0, 0.5
    if name.startswith("RI"):
        # 4 units per hour reserved, one unit per period left idle while active.
        r = 4.0 * (24.0 if period == "D" else 1.0)
        u = r - 1.0
        level = 4.0
        expected = (
            active * r * rp + (T - active) * u * od,
            active * r * od / (T * u * od),
            active * rp * 1.0,
        )
    else:
        # 3 money per period at rate 0.5 covers all 4 units and leaves 1 unspent.
        u, level = 4.0, 3.0
        expected = (active * 3.0 + (T - active) * u * od, active * (1.0 + u * od) / (T * u * od), active * 1.0)
    usage = np.full((T, 1), u)
    levels = np.full((T, 1), level)
    prices = np.array([[rp if name.startswith("RI") else 0.5], [od]])
    assert_figures(figures(usage, prices, levels, [name, "OD"], period), expected)


@pytest.mark.parametrize("figure", FIGURES)
def test_levels_beyond_the_term_are_multiplied_by_zero(figure):
    T = 366
    usage = np.full((T, 1), 100.0)
    prices = np.array([[0.5], [1.0]])
    levels = np.full((T, 1), 1.0)
    base = final(usage, prices, levels, ["RI1Y", "OD"], "D", figure)
    levels[365] = 1e6  # after the one-year term: no effect
    assert final(usage, prices, levels, ["RI1Y", "OD"], "D", figure) == base
    # ...but the expired amount is multiplied by 0, not skipped, so an infinite one
    # becomes NaN.
    levels[365] = INF
    result = final(usage, prices, levels, ["RI1Y", "OD"], "D", figure)
    if figure == "underutilization":
        assert result == base  # a NaN cell counts as no idle reservation
    else:
        assert math.isnan(result)


# --- Array layouts --------------------------------------------------------------------------


def _strided(a):
    big = np.full((2 * a.shape[0] + 1, 3 * a.shape[1] + 1), NAN)
    big[1::2, 1::3] = a
    return big[1::2, 1::3]


@pytest.mark.parametrize(
    "layout",
    [np.asfortranarray, lambda a: a[::-1, ::-1].copy()[::-1, ::-1], _strided],
    ids=["fortran", "reversed", "strided"],
)
def test_any_array_layout(layout):
    rng = np.random.default_rng(7)
    names = ["SP1Y", "OD", "RI3Y", "SP3Y", "RI1Y"]
    usage = rng.integers(0, 20, (5, 3)).astype(np.float64)
    prices = rng.integers(1, 5, (5, 3)) / 4.0
    levels = rng.integers(0, 8, (5, 8)) / 2.0
    expected = figures(usage, prices, levels, names)
    assert_figures(figures(layout(usage), layout(prices), layout(levels), names), expected)


@pytest.mark.parametrize("T", [8760 + 77, 4099, 77, 21])
def test_row_and_column_major_usage_cost_the_same_bits(T):
    # Awkward blocks: a term that ends inside the history, tails shorter than eight periods,
    # a width that is not a multiple of eight, zero and negative-zero usage over a wide range
    # (so a term summed in another order shows), a savings plan that has run out, levels
    # tiled and broadcast.
    rng = np.random.default_rng(T)
    n = 13
    usage = rng.lognormal(0.0, 4.0, (T, n))
    usage[rng.random((T, n)) < 0.1] = 0.0
    usage[rng.random((T, n)) < 0.1] = -0.0
    names = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
    prices = rng.uniform(0.2, 1.0, (5, n))
    base = np.median(usage, axis=0)
    row = np.concatenate([np.floor(base / 3), np.floor(base / 6), [40.0, 25.0]])
    backwards = np.ascontiguousarray(usage[::-1])[::-1]  # the same rows, read with a negative stride
    plan_prices, plan = prices[[4, 2, 0]], np.concatenate([[60.0], row[:n]])
    for layout in (np.asfortranarray(usage), backwards):
        for levels in (np.tile(row, (T, 1)), np.broadcast_to(row, (T, row.size))):
            assert final(layout, prices, levels, names, "H", "cost") == final(usage, prices, levels, names, "H", "cost")
        assert vb.cost(layout, plan_prices, plan) == vb.cost(usage, plan_prices, plan)


@pytest.mark.parametrize("order", ["C", "F"])
def test_zero_budget_at_a_zero_rate_covers_everything_in_the_wide_passes(order):
    # Long enough for the eight-period vector loops: a savings plan's quota of 0 / 0 is
    # NaN, and the smaller of NaN and the usage is the usage (the plan covers it for free).
    rng = np.random.default_rng(11)
    T, n = 80, 11
    usage = rng.uniform(0.0, 6.0, (T, n))
    usage[rng.random((T, n)) < 0.1] = -0.0
    names = ["RI3Y", "SP3Y", "SP1Y", "OD"]
    prices = rng.uniform(0.2, 1.0, (4, n))
    prices[1:3, [2, 4, 7]] = 0.0
    levels = np.tile(np.concatenate([np.full(n, 1.0), [9.0, 4.0]]), (T, 1))
    levels[rng.random(T) < 0.3, n] = 0.0
    levels[rng.random(T) < 0.3, n + 1] = 0.0
    f = reference.portfolio(usage, prices, levels, names, False)
    expected = (f.cost, f.coverage, f.idle)
    assert all(map(math.isfinite, expected))
    assert_figures(figures(np.asarray(usage, order=order), prices, levels, names), expected)


@pytest.mark.parametrize("row, column", [(1, 0), (700, 13), (1023, 26), (1100, 27), (512, 28)])
def test_one_changed_level_in_tiled_levels_is_seen(row, column):
    # Tiled levels are read as one row per block when every row repeats; a single cell that
    # differs, in any model's columns or in a column no model reads, must count as it does
    # when the levels are read period by period.
    rng = np.random.default_rng(row)
    n, T = 13, 1200
    usage = rng.uniform(0.0, 9.0, (T, n))
    names = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
    prices = rng.uniform(0.2, 1.0, (5, n))
    levels = np.tile(np.concatenate([np.full(2 * n, 2.0), [30.0, 20.0, 7.0]]), (T, 1))
    levels[row, column] += 1.5
    assert figures(usage, prices, levels, names) == figures(usage, prices, np.asfortranarray(levels), names)


# --- Failures -------------------------------------------------------------------------------

BAD_NAMES = ["od", "ri1y", "Sp1Y", "OD ", " OD", "", "RI2Y", "SP3Y ", "payed_SP1Y", "SP1Y_payed_1", "payed_"]


@pytest.mark.parametrize("bad", BAD_NAMES)
@pytest.mark.parametrize("figure", ["cost", "underutilisation"])
def test_unknown_name_is_reported_before_the_figure(bad, figure):
    usage, prices, levels = np.ones((2, 1)), np.ones((3, 1)), np.ones((2, 3))
    with internal_failure() as info:
        final(usage, prices, levels, ["RI1Y", bad, "OD"], "H", figure)
    assert info.message == "Not a known pricing model"


@pytest.mark.parametrize("figure", ["underutilisation", "Cost", "COVERAGE", "", "cost ", "coverage\n"])
@pytest.mark.parametrize("names", [[], ["OD"], ["RI3Y", "SP1Y", "OD"]])
def test_unknown_figure(figure, names):
    usage, prices, levels = np.ones((2, 1)), np.ones((3, 1)), np.ones((2, 2))
    with internal_failure() as info:
        final(usage, prices, levels, names, "D", figure)
    assert info.message == "not a valid operation"


# T = 3 periods, n = 2 kinds.
@pytest.mark.parametrize(
    "names, prices_shape, levels_shape, argument",
    [
        (["RI1Y", "OD"], (1, 2), (3, 2), "prices"),
        (["OD"], (0, 2), (3, 0), "prices"),
        (["SP1Y", "SP3Y", "OD"], (2, 2), (3, 2), "prices"),
        (["RI3Y", "OD"], (2, 1), (3, 2), "prices"),
        (["OD"], (1, 1), (3, 0), "prices"),
        (["RI1Y"], (1, 2), (4, 2), "levels"),
        (["RI1Y"], (1, 2), (2, 2), "levels"),
        (["SP1Y", "OD"], (2, 2), (0, 1), "levels"),
        (["RI1Y"], (1, 2), (3, 1), "levels"),
        (["RI1Y", "SP1Y"], (2, 2), (3, 2), "levels"),
        (["SP3Y"], (1, 2), (3, 0), "levels"),
        (["OD", "RI3Y", "RI1Y"], (3, 2), (3, 3), "levels"),
    ],
)
@pytest.mark.parametrize("figure", FIGURES)
def test_shapes_that_do_not_fit(names, prices_shape, levels_shape, argument, figure):
    usage = np.ones((3, 2))
    with internal_failure() as info:
        final(usage, np.ones(prices_shape), np.ones(levels_shape), names, "H", figure)
    assert argument in info.message


# --- Against the plain formulation ----------------------------------------------------------

_quarters = st.integers(0, 40).map(lambda x: x / 4.0)
_halves = st.integers(0, 20).map(lambda x: x / 2.0)
_prices = st.sampled_from([0.25, 0.5, 1.0, 2.0, 4.0])
# In about a quarter of the arrays some cells are NaN or infinite, or a price is zero.
_exotic_usage = st.one_of(_quarters, _quarters, _quarters, _quarters, st.just(NAN))
_exotic_prices = st.sampled_from([0.25, 0.5, 1.0, 2.0, 4.0] * 2 + [0.0, NAN, INF])
_exotic_levels = st.one_of(_halves, _halves, _halves, _halves, _halves, st.sampled_from([NAN, INF]))


def _matrix(draw, values, rows, cols):
    flat = draw(st.lists(values, min_size=rows * cols, max_size=rows * cols))
    return np.array(flat, dtype=np.float64).reshape(rows, cols)


@st.composite
def portfolios(draw):
    # Powers of two and quarters keep every step exact, so any summation order agrees;
    # the histories are far shorter than a term, so nothing expires (tested above).
    n = draw(st.integers(1, 3))
    T = draw(st.integers(1, 5))
    names = draw(st.lists(st.sampled_from(NAMES), max_size=5))
    if names.count("OD") > 1:  # refused: it would price the uncovered usage twice
        names = [name for name in names if name != "OD"] + ["OD"]

    def values(plain, exotic):
        return exotic if draw(st.integers(0, 3)) == 0 else plain

    usage = _matrix(draw, values(_quarters, _exotic_usage), T, n)
    prices = _matrix(
        draw, values(_prices, _exotic_prices), len(names) + draw(st.integers(0, 1)), n + draw(st.integers(0, 1))
    )
    levels = _matrix(draw, values(_halves, _exotic_levels), T, block_columns(names, n) + draw(st.integers(0, 1)))
    period = draw(st.sampled_from(["D", "H", "d", ""]))
    return usage, prices, levels, names, period


@settings(max_examples=400, deadline=None)
@given(portfolios())
def test_matches_plain_formulation(portfolio):
    usage, prices, levels, names, period = portfolio
    copies = [a.copy() for a in (usage, prices, levels)]
    f = reference.portfolio(usage, prices, levels, names, period == "D")
    expected = (f.cost, f.coverage, f.idle)
    actual = tuple(final(usage, prices, levels, names, period, f) for f in FIGURES)
    assert_figures(actual, expected)
    for before, after in zip(copies, (usage, prices, levels)):
        np.testing.assert_array_equal(before, after)  # inputs are never written
