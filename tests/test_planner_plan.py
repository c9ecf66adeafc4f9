"""The planner's bound and recommendation against the module's own pricing and a full LP."""

import highspy
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar.bound import lower_bound, portfolio_bound, quiet_highs
from velmar.plan import price_plan, recommend, scenarios
from velmar.portfolio import RESERVED, Pricer, build_portfolio
from velmar.records import ExistingSavingsPlan, ModelPlan, PriceTable, UsageHistory

MODELS = ("RI3Y", "RI1Y", "SP3Y", "SP1Y")


def history_of(usage, period="D", kinds=None):
    usage = np.asarray(usage, dtype=float)
    step = np.timedelta64(1, "D" if period == "D" else "h")
    start = np.datetime64("2024-01-01T00", "h")
    kinds = tuple(kinds or (f"k{k}" for k in range(usage.shape[1])))
    return UsageHistory(start + step * np.arange(usage.shape[0]), kinds, usage, period)


def prices_of(kinds, rng, models=MODELS):
    on_demand = rng.uniform(0.2, 2.0, len(kinds))
    discount = {"RI3Y": (0.5, 0.7), "RI1Y": (0.3, 0.45), "SP3Y": (0.4, 0.62), "SP1Y": (0.2, 0.4)}
    rates = {m: on_demand * (1 - rng.uniform(*discount[m], len(kinds))) for m in models}
    return PriceTable(tuple(kinds), on_demand, rates)


def random_case(rng, periods, kinds, period="D", existing=False):
    base = rng.uniform(1, 20, kinds)
    trend = 1 + rng.uniform(-0.6, 0.6) * np.arange(periods)[:, None] / periods
    usage = np.round(np.maximum(base * trend * (1 + 0.3 * rng.standard_normal((periods, kinds))), 0))
    usage[rng.random(periods) < 0.1] = 0.0
    history = history_of(usage, period)
    plans = ()
    if existing:
        start = history.timestamps[0]
        plans = (ExistingSavingsPlan(rng.uniform(0.1, 3.0), start, start + np.timedelta64(periods // 2, "D"), "1Y"),)
    return history, prices_of(history.kinds, rng), plans


def full_lp(portfolio, integer=False):
    """The LP over every period and kind, written out plainly: the reference of the fast bound."""
    usage, hours = portfolio.usage, portfolio.hours
    periods, n = usage.shape
    inf = highspy.kHighsInf
    costs, uppers, rows, entries = [], [], [], []

    def column(cost, upper=inf):
        costs.append(cost)
        uppers.append(upper)
        return len(costs) - 1

    levels = []
    for model in portfolio.models:
        charge = hours * portfolio.rates[model] if model in RESERVED else np.ones(1)
        levels.append([column(c * portfolio.active_periods(model)) for c in charge])
    in_force3 = min(1095 * 24 // hours, periods)
    constant = float((portfolio.on_demand * usage).sum() + portfolio.existing_money[:in_force3].sum())
    for t in range(periods):
        pools = [(rates, money[t] if t < in_force3 else 0.0, None) for rates, money in zip(portfolio.existing_rates, portfolio.existing_money.T)]
        pools += [(portfolio.rates[m], 0.0, levels[i][0]) for i, m in enumerate(portfolio.models) if m not in RESERVED and t < portfolio.active_periods(m)]
        spent = [[] for _ in pools]
        for k in range(n):
            cover = column(-portfolio.on_demand[k])
            reserved = [(levels[i][k], -hours) for i, m in enumerate(portfolio.models) if m in RESERVED and t < portfolio.active_periods(m)]
            rows.append((-inf, 0.0))
            entries.append([(cover, 1.0), *reserved])
            bought = [column(-portfolio.on_demand[k]) for _ in pools]
            for j, b in enumerate(bought):
                spent[j].append((b, pools[j][0][k]))
            rows.append((-inf, usage[t, k]))
            entries.append([(cover, 1.0)] + [(b, 1.0) for b in bought])
        for j, (_, money, new) in enumerate(pools):
            rows.append((-inf, money))
            entries.append(spent[j] + ([(new, -1.0)] if new is not None else []))
    solver = quiet_highs()
    none = np.array([], dtype=np.int32)
    solver.addCols(len(costs), np.array(costs), np.zeros(len(costs)), np.array(uppers), 0, none, none, np.array([]))
    for (low, high), row in zip(rows, entries):
        solver.addRow(low, high, len(row), np.array([c for c, _ in row], dtype=np.int32), np.array([v for _, v in row]))
    if integer:
        whole = [c for i, m in enumerate(portfolio.models) if m in RESERVED for c in levels[i]]
        solver.changeColsIntegrality(len(whole), np.array(whole, dtype=np.int32), np.full(len(whole), highspy.HighsVarType.kInteger))
        solver.setOptionValue("mip_rel_gap", 1e-9)
    solver.run()
    return solver.getInfo().objective_function_value + constant


@pytest.mark.parametrize("seed", range(8))
def test_fast_bound_equals_the_full_lp(seed):
    rng = np.random.default_rng(seed)
    periods = int(rng.choice([40, 200, 400]))
    models = tuple(m for m in MODELS if rng.random() < 0.7) or ("SP1Y",)
    history, prices, existing = random_case(rng, periods, int(rng.integers(1, 5)), existing=seed % 3 == 0)
    portfolio = build_portfolio(history, prices, models, existing)
    bound = portfolio_bound(portfolio)
    assert bound.proven_optimal
    assert bound.value == pytest.approx(full_lp(portfolio), rel=1e-6)
