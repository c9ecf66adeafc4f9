"""Polish and column order: judged by the module's price, they never return a dearer plan."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_planner_plan import MODELS, history_of, prices_of, random_case

from velmar.backend import portfolio_figure
from velmar.column_order import cheaper_order, reordered, reordered_levels
from velmar.polish import polish, whole_units
from velmar.portfolio import Pricer, build_portfolio
from velmar.records import ExistingSavingsPlan


@settings(max_examples=8, deadline=None)
@given(seed=st.integers(0, 10_000), hourly=st.booleans(), budget=st.sampled_from([5, 60]))
def test_polish_and_column_order_never_return_a_dearer_plan(seed, hourly, budget):
    rng = np.random.default_rng(seed)
    history, prices, existing = random_case(rng, 48, 3, "H" if hourly else "D", existing=seed % 2 == 0)
    portfolio = build_portfolio(history, prices, MODELS, existing)
    pricer = Pricer(portfolio)
    peak = np.r_[np.tile(portfolio.usage.max(axis=0) / portfolio.hours, 2), [portfolio.usage.sum(axis=1).max()] * 2]
    start = whole_units(portfolio, rng.uniform(0, 1.2, peak.size) * peak)
    start_cost = pricer.cost(start)
    polished = polish(portfolio, pricer, start, max_pricings=budget)
    assert pricer.cost(polished) <= start_cost
    found, levels, cost = cheaper_order(portfolio, start, start_cost, lambda p, pr, lv, most: lv, budget, 0.0)
    assert cost <= start_cost and cost == Pricer(found).cost(levels)


@pytest.mark.parametrize(
    "paid_days", [None, (-5, 40), (3, 12)], ids=["no existing plan", "in force throughout", "dated"]
)
def test_a_reordered_pricer_prices_like_a_level_matrix_in_that_order(paid_days):
    rng = np.random.default_rng(1)
    history = history_of(rng.integers(0, 50, (30, 3)), "D")
    dates = () if paid_days is None else [history.timestamps[0] + np.timedelta64(d, "D") for d in paid_days]
    existing = (ExistingSavingsPlan(0.4, *dates, "3Y"),) if dates else ()
    portfolio = build_portfolio(history, prices_of(history.kinds, rng), MODELS, existing)
    levels = np.r_[rng.integers(0, 3, 6), 20.0, 9.0].astype(float)
    pricer = Pricer(portfolio)
    for order in (np.array([2, 0, 1]), np.array([0, 2, 1])):
        pricer.reorder(order)
        moved, moved_levels = reordered(portfolio, order), reordered_levels(portfolio, levels, order)
        tiled = np.tile(moved_levels, (30, 1))
        matrix = np.c_[tiled[:, :6], moved.existing_money, tiled[:, 6:]]  # reserved, existing, savings plans
        for what in ("cost", "coverage"):
            expected = portfolio_figure(moved.usage, moved.pricing_prices(), matrix, moved.pricing_models(), "D", what)
            assert pricer.figure(moved_levels, what) == expected
