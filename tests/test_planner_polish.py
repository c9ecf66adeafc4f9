"""Polish and column order: judged by the module's price, they never return a dearer plan."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st
from test_planner_plan import MODELS, random_case

from velmar.column_order import cheaper_order
from velmar.polish import polish, whole_units
from velmar.portfolio import Pricer, build_portfolio


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
