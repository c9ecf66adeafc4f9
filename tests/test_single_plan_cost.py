"""Pricing one plan over a usage history: `cost` and `coverage`."""

import math

import numpy as np
import pytest
import reference
from conftest import internal_failure, same_float
from hypothesis import given, settings
from hypothesis import strategies as st

import velmar_backend as vb

NAN = float("nan")
INF = float("inf")

# Rows: on-demand price, savings-plan rate, reserved price per unit and period.
PRICES = [[1.0, 2.0], [0.5, 1.0], [0.25, 0.5]]


def arr(x):
    return np.array(x, dtype=np.float64)


# --- hand-made cases -----------------------------------------------------------------

# (id, usage, prices, levels, cost, coverage)
CASES = [
    # Reservation leaves (6, 5), (0, 0); period 0's budget of 4 covers 6 units of kind 0
    # (spending 3) and 1 unit of kind 1; period 1's budget finds no usage.
    ("worked example", [[10, 5], [2, 0]], PRICES, [4, 4, 0], 18.0, 20 / 22),
    ("no plan", [[3, 1], [2, 4]], PRICES, [0, 0, 0], 15.0, 0.0),
    ("reservation equals usage", [[3, 1], [2, 1]], PRICES, [[0, 3, 1], [0, 2, 1]], 2.25, 1.0),
    # Three units reserved against one used: the full reservation counts as covered.
    ("excess reservation", [[1, 0]], PRICES, [0, 3, 0], 0.75, 3.0),
    # Period 0 has no usage: its 5 is charged and counted unspent; period 1 spends 1 of 5.
    ("unspent savings money", [[0, 0], [2, 0]], PRICES, [5, 0, 0], 10.0, 5.5),
    # The budget buys kind 0 first whatever the prices: swapping the columns changes the cost.
    ("column order", [[4, 4]], [[1, 2], [0.5, 0.5], [0, 0]], [2, 0, 0], 10.0, 1 / 3),
    ("column order swapped", [[4, 4]], [[2, 1], [0.5, 0.5], [0, 0]], [2, 0, 0], 6.0, 2 / 3),
    # A zero rate covers the whole kind without spending, even with no commitment.
    ("zero rate, no commitment", [[4, 3]], [[1, 2], [0, 0.5], [0.25, 0.5]], [0, 0, 0], 6.0, 0.4),
    ("zero rate, commitment", [[4, 3]], [[1, 2], [0, 0.5], [0.25, 0.5]], [1, 0, 0], 3.0, 0.8),
    ("all usage zero", [[0, 0], [0, 0]], PRICES, [1, 2, 3], 6.0, INF),
    ("all usage zero, no plan", [[0, 0], [0, 0]], PRICES, [0, 0, 0], 0.0, NAN),
    ("no periods", np.zeros((0, 2)), PRICES, [1, 2, 3], 0.0, NAN),
    ("no kinds", np.zeros((2, 0)), np.zeros((3, 0)), [5], 10.0, INF),
    ("extra price rows ignored", [[10, 5], [2, 0]], PRICES + [[NAN, NAN], [9, 9]], [4, 4, 0], 18.0, 20 / 22),
]


@pytest.mark.parametrize("usage, prices, levels, expected_cost, expected_coverage",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hand_made_plans(usage, prices, levels, expected_cost, expected_coverage):
    u, p, lv = arr(usage), arr(prices), arr(levels)
    got_cost = vb.cost(u, p, lv)
    got_coverage = vb.coverage(u, p, lv)
    assert type(got_cost) is float and type(got_coverage) is float
    assert same_float(got_cost, expected_cost), got_cost
    assert same_float(got_coverage, expected_coverage), got_coverage
    plain = reference.single_plan(u, p, lv)
    assert same_float(plain.cost, expected_cost) and same_float(plain.coverage, expected_coverage), plain


def test_remaining_budget_serves_the_next_kind():
    # Period budget 3 at rate 0.5 buys 6 units: all 4 of kind 0, then 2 of kind 1's 5.
    u, p = arr([[4, 5]]), arr([[1, 1], [0.5, 0.5], [0, 0]])
    assert vb.cost(u, p, arr([3, 0, 0])) == 3.0 + 3.0
    assert vb.coverage(u, p, arr([3, 0, 0])) == pytest.approx(6 / 9)


# --- the level argument: vector, matrix, other ranks ----------------------------------


@pytest.fixture
def history():
    rng = np.random.default_rng(7)
    usage = rng.uniform(0, 20, size=(6, 3))
    prices = np.array([[1.0, 1.5, 0.7], [0.6, 0.9, 0.45], [0.55, 0.85, 0.4]])
    return usage, prices


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
def test_level_vector_equals_repeated_matrix(fn, history):
    usage, prices = history
    vector = np.array([4.0, 3.0, 0.5, 7.0])
    matrix = np.tile(vector, (usage.shape[0], 1))
    assert fn(usage, prices, vector) == fn(usage, prices, matrix)


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
def test_length_one_vector_sets_every_level(fn, history):
    usage, prices = history
    assert fn(usage, prices, arr([2.5])) == fn(usage, prices, np.full((6, 4), 2.5))


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
@pytest.mark.parametrize("levels", [np.array(3.0), np.zeros((6, 4, 1)), np.zeros((1, 6, 4, 1))],
                         ids=["0-d", "3-d", "4-d"])
def test_levels_of_other_ranks_give_none(fn, levels, history):
    usage, prices = history
    assert fn(usage, prices, levels) is None


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
@pytest.mark.parametrize("length", [0, 2, 3, 5])
def test_level_vector_of_wrong_length(fn, length, history):
    usage, prices = history
    with internal_failure(r"incompatible shapes$"):
        fn(usage, prices, np.ones(length))


# --- shapes that do not fit: an internal failure naming the argument, never a read --


def _bad_shapes():
    usage = np.ones((4, 3))
    good_prices = np.ones((3, 3))
    good_levels = np.ones((4, 4))
    return [
        ("two price rows", usage, np.ones((2, 3)), good_levels, "prices", (2, 3)),
        ("no price rows", usage, np.ones((0, 3)), good_levels, "prices", (0, 3)),
        ("short price rows", usage, np.ones((3, 2)), good_levels, "prices", (3, 2)),
        ("level rows short", usage, good_prices, np.ones((3, 4)), "levels", (3, 4)),
        ("level rows long", usage, good_prices, np.ones((5, 4)), "levels", (5, 4)),
        ("single level row", usage, good_prices, np.ones((1, 4)), "levels", (1, 4)),
        ("level columns short", usage, good_prices, np.ones((4, 3)), "levels", (4, 3)),
        ("level columns long", usage, good_prices, np.ones((4, 5)), "levels", (4, 5)),
    ]


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
@pytest.mark.parametrize("usage, prices, levels, name, shape",
                         [c[1:] for c in _bad_shapes()], ids=[c[0] for c in _bad_shapes()])
def test_bad_shapes_are_internal_failures(fn, usage, prices, levels, name, shape):
    with internal_failure() as failure:
        fn(usage, prices, levels)
    assert name in failure.message
    assert str(shape) in failure.message


@pytest.mark.parametrize("fn", [vb.cost, vb.coverage])
def test_inputs_are_left_unchanged(fn, history):
    usage, prices = history
    usage = usage.copy()
    usage[0, 0] = NAN
    levels = np.array([5.0, 1.0, 30.0, 2.0])
    before = [a.copy() for a in (usage, prices, levels)]
    fn(usage, prices, levels)
    fn(usage, prices, np.tile(levels, (6, 1)))
    for a, b in zip((usage, prices, levels), before):
        np.testing.assert_array_equal(a, b)


# --- the model against its plain formulation on random small inputs -------------------

_amounts = st.integers(0, 24).map(lambda x: x / 2)
_prices = st.sampled_from([0.0, NAN, 0.1, 0.25, 0.3, 0.5, 0.7, 1.0, 2.0])


@st.composite
def _plans(draw):
    t = draw(st.integers(0, 4))
    n = draw(st.integers(0, 3))
    usage = [[draw(_amounts) for _ in range(n)] for _ in range(t)]
    prices = [[draw(_prices) for _ in range(n)] for _ in range(3)]
    if draw(st.booleans()):
        row = [draw(_amounts) for _ in range(n + 1)]
        levels = [row] * t
        given_levels = np.array(row, dtype=np.float64)
    else:
        levels = [[draw(_amounts) for _ in range(n + 1)] for _ in range(t)]
        given_levels = np.array(levels, dtype=np.float64).reshape(t, n + 1)
    usage_array = np.array(usage, dtype=np.float64).reshape(t, n)
    return usage, prices, levels, usage_array, np.array(prices, dtype=np.float64).reshape(3, n), given_levels


def _coverage_matches(got, numerator, denominator):
    if denominator != 0.0 or math.isnan(denominator):
        return same_float(got, reference.divide(numerator, denominator))
    # Over a zero value only the sign of the numerator decides, and a numerator that is
    # zero up to rounding may come out either side of zero.
    if math.isnan(numerator):
        return math.isnan(got)
    if abs(numerator) <= 1e-9:
        return math.isnan(got) or math.isinf(got)
    return got == math.copysign(INF, numerator)


@settings(max_examples=300, deadline=None)
@given(_plans())
def test_matches_plain_formulation(plan):
    usage, prices, levels, u, p, lv = plan
    expected = reference.single_plan(usage, prices, levels)
    assert same_float(vb.cost(u, p, lv), expected.cost)
    numerator, denominator = expected.covered, expected.value
    got = vb.coverage(u, p, lv)
    assert _coverage_matches(got, numerator, denominator), (got, numerator, denominator)
