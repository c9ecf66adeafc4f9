"""The planner's bound and recommendation against the module's own pricing and a full LP."""

import highspy
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar.bound import lower_bound, portfolio_bound, quiet_highs
from velmar.column_order import cheaper_order, spends_two_rate_sets
from velmar.plan import price_plan, recommend, scenarios
from velmar.portfolio import RESERVED, Pricer, build_portfolio
from velmar.records import ExistingSavingsPlan, PriceTable, UsageHistory

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
        pools = [
            (rates, money[t] if t < in_force3 else 0.0, None)
            for rates, money in zip(portfolio.existing_rates, portfolio.existing_money.T)
        ]
        pools += [
            (portfolio.rates[m], 0.0, levels[i][0])
            for i, m in enumerate(portfolio.models)
            if m not in RESERVED and t < portfolio.active_periods(m)
        ]
        spent = [[] for _ in pools]
        for k in range(n):
            cover = column(-portfolio.on_demand[k])
            reserved = [
                (levels[i][k], -hours)
                for i, m in enumerate(portfolio.models)
                if m in RESERVED and t < portfolio.active_periods(m)
            ]
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
        solver.changeColsIntegrality(
            len(whole), np.array(whole, dtype=np.int32), np.full(len(whole), highspy.HighsVarType.kInteger)
        )
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


@settings(max_examples=15, deadline=None)
@given(seed=st.integers(0, 10_000), periods=st.integers(1, 60), kinds=st.integers(1, 3), hourly=st.booleans())
def test_bound_never_above_the_module_price_of_a_random_plan(seed, periods, kinds, hourly):
    rng = np.random.default_rng(seed)
    history, prices, existing = random_case(rng, periods, kinds, "H" if hourly else "D", existing=seed % 2 == 0)
    portfolio = build_portfolio(history, prices, MODELS, existing)
    bound = portfolio_bound(portfolio).value
    pricer = Pricer(portfolio)
    peak = np.r_[np.tile(portfolio.usage.max(axis=0) / portfolio.hours, 2), [portfolio.usage.sum(axis=1).max()] * 2]
    for _ in range(20):
        assert bound <= pricer.cost(rng.uniform(0, 1.2, peak.size) * peak) * (1 + 1e-9)


@pytest.mark.parametrize("models", [("RI3Y", "SP3Y"), ("RI1Y", "SP1Y"), ("SP3Y",)])
def test_lp_cost_of_fixed_levels_is_the_module_price_with_one_savings_plan(models):
    """With one savings plan and kinds in discount order the module's split is the LP's."""
    from velmar.bound import _charges
    from velmar.period_costs import UncoveredCost

    rng = np.random.default_rng(len(models))
    history, prices, _ = random_case(rng, 500, 3)
    portfolio = build_portfolio(history, prices, models)
    pricer, lp_cost = Pricer(portfolio), UncoveredCost(portfolio)
    for _ in range(10):
        levels = rng.uniform(0, 1, portfolio.level_count) * np.r_[[0.5] * (portfolio.level_count - 1), [20.0]]
        value = _charges(portfolio) @ levels + lp_cost(levels).values.sum()
        assert value == pytest.approx(pricer.cost(levels), rel=1e-12)


@settings(max_examples=10, deadline=None)
@given(seed=st.integers(0, 10_000))
def test_lp_costs_started_from_an_earlier_solve_match_a_fresh_solve(seed):
    """Two savings-plan pools: each solve starts from the last one's sectors, to the same bits."""
    from velmar.period_costs import UncoveredCost

    rng = np.random.default_rng(seed)
    history, prices, _ = random_case(rng, 40, 6)
    portfolio = build_portfolio(history, prices, ("SP3Y", "SP1Y"))
    warm = UncoveredCost(portfolio)
    peak = portfolio.usage.sum(axis=1).max()
    for levels in rng.uniform(0, peak, (6, 2)):
        started, fresh = warm(levels), UncoveredCost(portfolio)(levels)
        assert np.array_equal(started.values, fresh.values) and np.array_equal(started.money_values, fresh.money_values)


def test_one_kind_reserves_the_closed_form_optimum():
    rng = np.random.default_rng(7)
    usage = rng.integers(0, 12, (300, 1)).astype(float)
    on_demand, reserved = 1.0, 0.37
    history = history_of(usage, "H")
    prices = PriceTable(history.kinds, np.array([on_demand]), {"RI1Y": np.array([reserved])})
    best = max(k for k in range(0, 13) if np.mean(usage[:, 0] >= k) >= reserved / on_demand)
    rec = recommend(history, prices, models=("RI1Y",), n_starts=2)
    assert rec.plans[0].reserved.get("k0", 0.0) == best
    assert rec.cost == pytest.approx(rec.lower_bound, rel=1e-9)


@pytest.mark.parametrize("seed", range(3))
def test_recommendation_never_worse_than_the_module_search_and_above_the_bound(seed):
    rng = np.random.default_rng(100 + seed)
    history, prices, existing = random_case(rng, 120, 3, "H", existing=seed == 0)
    rec = recommend(history, prices, existing=existing, n_starts=2)
    assert rec.lower_bound <= rec.cost <= rec.search_cost <= rec.on_demand_cost * (1 + 1e-12)
    again = price_plan(history, prices, rec.plans, existing, kind_order=rec.kinds)
    assert rec.cost == pytest.approx(again.cost, rel=1e-12)
    assert rec.gap_percent == pytest.approx(100 * (rec.cost - rec.lower_bound) / rec.lower_bound)


def test_whole_unit_milp_matches_the_full_milp():
    rng = np.random.default_rng(11)
    history, prices, _ = random_case(rng, 60, 2)
    portfolio = build_portfolio(history, prices, ("RI3Y", "SP3Y"))
    exact = lower_bound(history, prices, ("RI3Y", "SP3Y"), integer=True, time_limit=60)
    assert exact.proven_optimal and exact.method == "milp"
    assert np.allclose(exact.levels[:2], np.round(exact.levels[:2]))
    assert exact.value == pytest.approx(full_lp(portfolio, integer=True), rel=1e-6)


def test_existing_plan_pays_until_it_ends_and_matches_the_module_search():
    """Half a history under an existing plan of 2 per hour: 4 of 10 units at half price."""
    history = history_of(np.full((48, 1), 10.0), "H")
    prices = PriceTable(history.kinds, np.array([1.0]), {"SP3Y": np.array([0.5])})
    start = history.timestamps[0]
    existing = (ExistingSavingsPlan(2.0, start, start + np.timedelta64(24, "h"), "3Y"),)
    assert price_plan(history, prices, [], existing).cost == pytest.approx(24 * 8.0 + 24 * 10.0)
    rec = recommend(history, prices, models=("SP3Y",), existing=existing, n_starts=2)
    assert rec.lower_bound == pytest.approx(full_lp(build_portfolio(history, prices, ("SP3Y",), existing)))
    assert rec.cost == pytest.approx(rec.lower_bound, rel=1e-6)


def test_scenario_plan_is_priced_over_the_history():
    rng = np.random.default_rng(5)
    history, prices, _ = random_case(rng, 96, 2, "H")
    rec = scenarios(history, prices, n_scenarios=3, seed=4, n_starts=2)
    assert rec.method == "scenarios" and rec.lower_bound <= rec.cost
    assert rec.cost == pytest.approx(price_plan(history, prices, rec.plans).cost, rel=1e-12)


def test_existing_plans_price_as_the_module_search_serves_already_paid_ones():
    """SP3Y columns listed before the new plans price what the search priced with "payed_" names."""
    import velmar_backend

    rng = np.random.default_rng(9)
    history, prices, existing = random_case(rng, 500, 3, existing=True)
    portfolio = build_portfolio(history, prices, MODELS, existing)
    result = velmar_backend.general_optimisation(
        portfolio.usage,
        portfolio.pricing_prices(),
        portfolio.existing_money,
        portfolio.search_models(),
        "D",
        2,
        "inertial",
    )
    levels = portfolio.levels_of_commitments(result.commitments)
    assert Pricer(portfolio).cost(levels) == pytest.approx(result.minimum, rel=1e-12)


@pytest.mark.parametrize("seed", range(6))
def test_whole_unit_master_proves_the_full_milp_optimum(seed):
    """Both reserved terms, expiry inside the history, existing plans, hourly and daily rows."""
    rng = np.random.default_rng(200 + seed)
    period = "H" if seed % 2 else "D"
    periods = int(rng.choice([30, 90])) if period == "H" else int(rng.choice([200, 500]))
    history, prices, existing = random_case(rng, periods, int(rng.integers(1, 4)), period, existing=seed % 3 == 0)
    models = MODELS if seed < 4 else ("RI1Y", "SP3Y")
    portfolio = build_portfolio(history, prices, models, existing)
    exact = portfolio_bound(portfolio, integer=True, time_limit=60)
    assert exact.proven_optimal
    reserved = np.concatenate([exact.levels[portfolio.slot(m)] for m in portfolio.reserved_models])
    assert np.array_equal(reserved, np.round(reserved))
    assert exact.value == pytest.approx(full_lp(portfolio, integer=True), rel=1e-7)


@pytest.mark.parametrize("seed, period", [(0, "D"), (1, "H"), (2, "D")])
def test_recommendation_proven_within_a_tenth_of_a_percent_of_the_whole_unit_optimum(seed, period):
    """One savings plan: the module's split is the LP's, so the proof reaches the plan."""
    rng = np.random.default_rng(300 + seed)
    history, prices, _ = random_case(rng, 300 if period == "D" else 200, 3, period)
    rec = recommend(history, prices, models=("RI3Y", "RI1Y", "SP3Y"), n_starts=2)
    assert rec.lower_bound <= rec.whole_unit_bound <= rec.cost <= rec.whole_unit_bound * 1.001
    assert any(note.startswith("proven within 0.1%") for note in rec.notes)


def test_whole_unit_master_reserves_above_the_peak_of_the_first_year():
    """Growth after the one-year term: the three-year units exceed the first year's peak."""
    rng = np.random.default_rng(21)
    usage = np.r_[np.full((365, 2), 2.0 * 24), np.full((235, 2), 10.0 * 24)] + rng.integers(0, 24, (600, 2))
    history = history_of(usage, "D")
    portfolio = build_portfolio(history, prices_of(history.kinds, rng), MODELS)
    exact = portfolio_bound(portfolio, integer=True, time_limit=60)
    assert exact.proven_optimal
    assert exact.value == pytest.approx(full_lp(portfolio, integer=True), rel=1e-7)


def test_column_order_search_finds_the_cheaper_spending_of_two_rate_sets():
    # SP3Y is deepest on k0, but SP1Y is far better on k0 than on k1: SP3Y should take k1.
    history = history_of(np.full((30, 2), 10.0))
    prices = PriceTable(("k0", "k1"), np.ones(2), {"SP3Y": np.array([0.5, 0.55]), "SP1Y": np.array([0.6, 0.99])})
    portfolio = build_portfolio(history, prices, ("SP3Y", "SP1Y"))
    assert spends_two_rate_sets(portfolio) and portfolio.kinds == ("k0", "k1")
    assert not spends_two_rate_sets(build_portfolio(history, prices, ("SP3Y",)))
    levels = np.array([5.0, 5.5])
    start = Pricer(portfolio).cost(levels)
    found, moved, cost = cheaper_order(portfolio, levels, start, lambda p, pr, lv, most: lv, 100, 0.0)
    assert found.kinds == ("k1", "k0") and cost < start - 30
    assert cost == Pricer(found).cost(moved)
    again = price_plan(history, prices, found.plans(moved), kind_order=found.kinds)
    assert again.cost == cost and again.kinds == found.kinds


def test_same_inputs_give_the_same_plan_bit_for_bit():
    """Two rate sets and an existing plan: the polish, restarts and column order all run."""
    rng = np.random.default_rng(41)
    history, prices, existing = random_case(rng, 200, 4, "H", existing=True)
    first, second = (recommend(history, prices, existing=existing, seed=3) for _ in range(2))
    assert first.kinds == second.kinds and first.levels.tobytes() == second.levels.tobytes()
    assert first.cost == second.cost and not first.depends_on_random_draws
    searched = recommend(history, prices, existing=existing, n_starts=2)
    assert searched.depends_on_random_draws and searched.searches[-1].startswith("general_optimisation")
