"""Recommending commitments: the module's searches, an LP-seeded polish, and the proven bound.

Every money figure of a returned `Recommendation` is the module's own price
(`final_cost_coverage_underutilization`) of the returned levels over the history, with
the existing savings plans included and on demand for the rest; `lower_bound` is the
LP (or MILP) bound of `velmar.bound` for the same models. "All on demand" means no
new commitment: existing plans are already paid and stay in every figure.

Break-even of a commitment (one model's new commitments): the months until the gross
savings it brings pay its price over its whole term. Gross savings are the drop in the
rest of the bill when it is added to the plan (module-priced, over the history); the
average per period while it is in force is extrapolated over time:
    months = (charge per period x periods of its term) / (gross savings per period in force)
             x hours per period / 730.
None when it saves nothing (or is empty). Above its term's 12 or 36 months it never pays back.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Sequence
from dataclasses import replace

import numpy as np

import velmar_backend
from velmar.bound import Bound, portfolio_bound, portfolio_bounds, upper_levels
from velmar.column_order import cheaper_order, spends_two_rate_sets
from velmar.polish import polish as polish_levels
from velmar.polish import pricing_budget, whole_units
from velmar.portfolio import RESERVED, TERM_DAYS, Levels, Portfolio, Pricer, build_portfolio
from velmar.records import (
    COMMITMENT_MODELS,
    ExistingSavingsPlan,
    ModelPlan,
    PriceTable,
    Recommendation,
    UsageHistory,
)

Progress = Callable[[str], None]
HOURS_PER_MONTH = 730.0
#: Seconds the whole-unit optimum may take when no MILP time limit is given.
WHOLE_UNIT_SECONDS = 5.0
#: Relative distance to its bound at which a whole-unit plan counts as optimal here.
WHOLE_UNIT_TOLERANCE = 1e-6
#: Relative distance to the proven bound at which a plan is not polished any further.
AT_BOUND = 1e-6
#: The share above the cheapest whole-unit plan within which a plan is called near-optimal.
PROVEN_WITHIN = 0.001


def recommend(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str] = COMMITMENT_MODELS,
    optimiser: str = "inertial",
    n_starts: int = 8,
    existing: Sequence[ExistingSavingsPlan] = (),
    polish: bool = True,
    milp_time_limit: float | None = None,
    load_factor: float = 1.0,
    target_coverage: float | None = None,
    progress: Progress | None = None,
) -> Recommendation:
    """The cheapest plan found for `models` over `history` (usage scaled by `load_factor`).

    Candidates: the module's searches (`simple_optimisation` per term from zero, and
    `general_optimisation` with `optimiser` and `n_starts`); the whole-unit optimum of
    the LP cost model (`velmar.bound.portfolio_bounds`, within `milp_time_limit` or
    WHOLE_UNIT_SECONDS; without reserved models the LP optimum) polished with the
    module's price as the judge ("milp"); then, unless a plan is at the proven bound
    already, the module's search result polished the same way ("polish"), both polishes
    sharing one budget of module calls (`velmar.polish.pricing_budget`). The module
    prices each one; the cheapest wins and `method` names it ("search", "polish" or
    "milp"). A note says whether the plan is proven within 0.1% of the cheapest
    whole-unit plan (`whole_unit_bound`). `lower_bound` is the LP bound, or with
    `milp_time_limit` the whole-unit bound when higher; `milp_time_limit=0` skips the
    whole-unit optimum (the rounded LP optimum is polished instead).
    When two savings-plan rate sets take part, the winner's kind column order is then
    searched too (`velmar.column_order`); the returned `kinds` is the order priced.
    With `target_coverage`, the plan is then scaled up until the module's coverage
    reaches it (see `_reach_coverage`).
    """
    say = progress or (lambda _: None)
    say("translating")
    portfolio = build_portfolio(history, prices, models, existing, load_factor)
    pricer = Pricer(portfolio)
    notes = list(portfolio.notes)
    say("module search")
    search_levels, search_cost = _module_search(portfolio, pricer, optimiser, n_starts, notes)
    say("lower bound")
    time_limit = WHOLE_UNIT_SECONDS if milp_time_limit is None else milp_time_limit
    bound, whole = portfolio_bounds(portfolio, time_limit, WHOLE_UNIT_TOLERANCE, say)
    proven = max(bound.value, whole.value)
    candidates = [("search", search_levels, search_cost)]
    if polish:
        say("polish")
        # The whole-unit optimum stands in for the rounded LP optimum; the module's search
        # result may lie nearer the cheapest plan of the module's own spending order.
        first = ("milp", whole.levels) if whole.method == "milp" else ("polish", bound.levels)
        budget = pricing_budget(portfolio)
        for name, start in (first, ("polish", search_levels)):
            levels = whole_units(portfolio, start)
            cost = pricer.cost(levels)
            if cost > proven * (1 + AT_BOUND) and budget > 0:
                used = pricer.pricings
                levels = _polished(portfolio, pricer, levels, say, proven * (1 + AT_BOUND), budget)
                cost = pricer.cost(levels)
                budget -= pricer.pricings - used
            candidates.append((name, levels, cost))
            if cost <= proven * (1 + AT_BOUND):
                break  # at the bound already: nothing left to gain
    elif whole.method == "milp":
        levels = whole_units(portfolio, whole.levels)
        candidates.append(("milp", levels, pricer.cost(levels)))
    if milp_time_limit is not None:
        if not whole.proven_optimal:
            notes.append(f"MILP stopped at its time limit of {milp_time_limit:g} s; the bound is its proven dual bound")
        bound = whole if whole.value > bound.value else bound
    method, levels, cost = min(candidates, key=lambda c: c[2])
    if polish and target_coverage is None and cost > proven * (1 + AT_BOUND) and spends_two_rate_sets(portfolio):
        say("column order")
        discount_order_cost = cost
        portfolio, levels, cost = cheaper_order(
            portfolio,
            levels,
            cost,
            lambda p, pr, lv, most: _polished(p, pr, lv, say, proven * (1 + AT_BOUND), most),
            pricing_budget(portfolio),
            proven * (1 + AT_BOUND),
        )
        pricer = Pricer(portfolio)
        if cost < discount_order_cost:
            saved = 100 * (discount_order_cost - cost) / discount_order_cost
            notes.append(
                f"kind columns reordered for the module's savings-plan spending: {saved:.3f}% cheaper than in "
                "discount order (the order is part of the plan: `kinds`)"
            )
    if target_coverage is not None:
        say("target coverage")
        levels = _reach_coverage(portfolio, pricer, levels, bound.levels, target_coverage, notes)
    say("pricing")
    fingerprint = _fingerprint(history, prices, portfolio.models, existing, load_factor)
    rec = _recommendation(portfolio, pricer, levels, bound, method, search_cost, fingerprint, notes)
    return _with_whole_unit_bound(rec, whole)


def _with_whole_unit_bound(rec: Recommendation, whole: Bound) -> Recommendation:
    """`rec` with the proven whole-unit bound and a note on how close the plan is to it."""
    value = max(whole.value, rec.lower_bound)
    gap = max(100.0 * (rec.cost - value) / value, 0.0) if value > 0 else 0.0  # float noise below the bound
    what = (
        "the whole-unit optimum (proven)" if whole.proven_optimal else "a proven bound on the cheapest whole-unit plan"
    )
    if rec.cost <= value * (1 + PROVEN_WITHIN):
        note = f"proven within {100 * PROVEN_WITHIN:g}% of the cheapest whole-unit plan: {gap:.3f}% above {what}"
    else:
        note = f"not proven within {100 * PROVEN_WITHIN:g}% of the cheapest whole-unit plan: {gap:.3f}% above {what}"
    return replace(rec, whole_unit_bound=value, notes=(*rec.notes, note))


def price_plan(
    history: UsageHistory,
    prices: PriceTable,
    plans: Sequence[ModelPlan],
    existing: Sequence[ExistingSavingsPlan] = (),
    kind_order: Sequence[str] | None = None,
) -> Recommendation:
    """The module's figures of a given plan, with the LP bound of its models beside them.

    The kinds are priced in `kind_order` when given (a recommendation's `kinds`), else in
    the savings-plan discount order.
    """
    models = tuple(m for m in COMMITMENT_MODELS if any(p.model == m for p in plans))
    portfolio = build_portfolio(history, prices, models, existing, kind_order=kind_order)
    pricer = Pricer(portfolio)
    levels = portfolio.levels_of_plans(plans)
    cost = pricer.cost(levels)
    fingerprint = _fingerprint(history, prices, portfolio.models, existing, 1.0)
    bound = portfolio_bound(portfolio)
    return _recommendation(portfolio, pricer, levels, bound, "given", cost, fingerprint, list(portfolio.notes))


def scenarios(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str] = COMMITMENT_MODELS,
    n_scenarios: int = 8,
    seed: int = 0,
    existing: Sequence[ExistingSavingsPlan] = (),
    n_starts: int = 8,
) -> Recommendation:
    """The plan of least mean cost over bootstrapped histories (`optimise_predictions`).

    Each scenario resamples whole days (hourly rows) or weeks (daily rows) of the
    history with replacement and scales every kind by its own factor (lognormal, 10%
    spread); draws come from NumPy's generator seeded with `seed`, so the scenarios are
    the same for the same seed. The returned figures price the plan over the history
    itself; `search_cost` is the module's mean cost over the scenarios.
    """
    portfolio = build_portfolio(history, prices, models, existing)
    pricer = Pricer(portfolio)
    notes = list(portfolio.notes)
    predictions = _bootstrap(portfolio, n_scenarios, np.random.default_rng(seed))
    levels, mean_cost = np.zeros(portfolio.level_count), float("nan")
    if _searchable(portfolio, predictions.max(axis=0), notes):
        result = velmar_backend.optimise_predictions(
            predictions,
            portfolio.pricing_prices(),  # its rows follow search_models() too
            portfolio.existing_money,
            portfolio.search_models(),
            portfolio.period,
            n_starts,
        )
        levels, mean_cost = portfolio.levels_of_commitments(result.commitments), float(result.minimum)
    notes.append(f"planned for the mean cost over {n_scenarios} bootstrapped histories (seed {seed})")
    fingerprint = _fingerprint(history, prices, portfolio.models, existing, 1.0, f"scenarios {n_scenarios} {seed}")
    bound = portfolio_bound(portfolio)
    return _recommendation(portfolio, pricer, levels, bound, "scenarios", mean_cost, fingerprint, notes)


def _module_search(
    portfolio: Portfolio, pricer: Pricer, optimiser: str, n_starts: int, notes: list[str]
) -> tuple[Levels, float]:
    """The cheaper of the module's single-plan searches (one per term) and its portfolio search."""
    best = np.zeros(portfolio.level_count)
    best_cost = pricer.cost(best)
    if not _searchable(portfolio, portfolio.usage, notes):
        return best, best_cost
    tried = [
        _simple_search(portfolio, term)
        for term in ("3Y", "1Y")
        if f"RI{term}" in portfolio.models or f"SP{term}" in portfolio.models
    ]
    result = velmar_backend.general_optimisation(
        portfolio.usage,
        portfolio.pricing_prices(),  # its rows follow search_models() too
        portfolio.existing_money,
        portfolio.search_models(),
        portfolio.period,
        n_starts,
        optimiser,
    )
    tried.append(portfolio.levels_of_commitments(result.commitments))
    for levels in tried:
        cost = pricer.cost(levels)
        if cost < best_cost:
            best, best_cost = levels, cost
    return best, best_cost


def _simple_search(portfolio: Portfolio, term: str) -> Levels:
    """`simple_optimisation` for one term from zero; a model not planned is priced out.

    A missing savings plan or reservation gets the on-demand price as its rate, so no
    step towards it pays; whatever the search keeps of it is dropped afterwards.
    """
    on_demand = portfolio.on_demand
    savings = portfolio.rates.get(f"SP{term}", on_demand)
    reserved = portfolio.rates.get(f"RI{term}", on_demand)
    result = velmar_backend.simple_optimisation(
        portfolio.usage,
        np.vstack([on_demand, savings, reserved]),
        portfolio.period,
        term,
        starting_point=np.zeros(len(portfolio.kinds) + 1),
    )
    return portfolio.levels_of_commitments(result.commitments)


def _searchable(portfolio: Portfolio, peak_usage: np.ndarray, notes: list[str]) -> bool:
    """Whether the module's searches can run: each savings plan needs usage to buy."""
    for model in portfolio.savings_models:
        if not np.any(peak_usage @ portfolio.rates[model] > 0):
            notes.append("no usage a savings plan could buy: the module's search was not run")
            return False
    return bool(portfolio.models)


def _polished(
    portfolio: Portfolio,
    pricer: Pricer,
    start: Levels,
    say: Progress,
    target: float = 0.0,
    max_pricings: int | None = None,
) -> Levels:
    passes = 0

    def tick() -> None:
        nonlocal passes
        passes += 1
        say(f"polish pass {passes}")

    return polish_levels(portfolio, pricer, start, tick, target, max_pricings)


def _reach_coverage(
    portfolio: Portfolio, pricer: Pricer, levels: Levels, lp_levels: Levels, target: float, notes: list[str]
) -> Levels:
    """The cheapest plan on the ray through `levels` whose module coverage reaches `target`.

    Coverage only grows with commitments, so the plan is scaled by the least factor
    (bisection, reserved units rounded up) that reaches the target. The ray runs through
    the recommended plan, or the LP optimum, or the largest useful commitments when both
    are empty: the cheapest plan on that ray, not a search over every plan of that coverage.
    """
    if pricer.figure(levels, "coverage") >= target:
        return levels
    direction = next((d for d in (levels, lp_levels) if np.any(d > 0)), None)
    if direction is None:
        direction = upper_levels(portfolio)
    reserved = np.zeros(portfolio.level_count, dtype=bool)
    for model in portfolio.reserved_models:
        reserved[portfolio.slot(model)] = True

    def scaled(factor: float) -> Levels:
        plan = direction * factor
        plan[reserved] = np.ceil(plan[reserved] - 1e-9)
        return plan

    low, high = 0.0, 1.0
    while pricer.figure(scaled(high), "coverage") < target:
        low, high = high, high * 2
        if high > 1e6:
            notes.append(f"target coverage {target:.0%} is out of reach")
            return levels
    for _ in range(40):
        middle = (low + high) / 2
        if pricer.figure(scaled(middle), "coverage") >= target:
            high = middle
        else:
            low = middle
    notes.append(f"scaled to reach a coverage of {target:.0%}")
    return scaled(high)


def _bootstrap(portfolio: Portfolio, count: int, rng: np.random.Generator) -> np.ndarray:
    """(count, T, n) resampled histories: blocks of a day (hourly) or a week (daily)."""
    usage = portfolio.usage
    periods, kinds = usage.shape
    block = 24 if portfolio.period == "H" else 7
    starts = np.arange(0, periods, block)
    result = np.empty((count, periods, kinds))
    for index in range(count):
        chosen = rng.choice(starts, size=starts.size)
        rows = (chosen[:, None] + np.arange(block)).ravel()
        rows = np.where(rows < periods, rows, rows % block)[:periods]
        result[index] = usage[rows] * rng.lognormal(0.0, 0.1, kinds)
    return result


def _recommendation(
    portfolio: Portfolio,
    pricer: Pricer,
    levels: Levels,
    bound: Bound,
    method: str,
    search_cost: float,
    fingerprint: str,
    notes: list[str],
) -> Recommendation:
    cost = pricer.cost(levels)
    on_demand = pricer.cost(np.zeros(portfolio.level_count))
    plans = tuple(
        replace(plan, break_even_months=_break_even_months(portfolio, pricer, levels, plan.model, cost))
        for plan in portfolio.plans(levels)
    )
    savings = on_demand - cost
    return Recommendation(
        kinds=portfolio.kinds,
        period=portfolio.period,
        models=portfolio.models,
        plans=plans,
        cost=cost,
        on_demand_cost=on_demand,
        savings=savings,
        savings_rate=savings / on_demand if on_demand > 0 else 0.0,
        coverage=pricer.figure(levels, "coverage"),
        unused_commitment=pricer.figure(levels, "underutilization"),
        lower_bound=bound.value,
        gap_percent=100.0 * (cost - bound.value) / bound.value if bound.value > 0 else 0.0,
        method=method,
        search_cost=search_cost,
        levels=np.array(levels, dtype=np.float64),
        fingerprint=fingerprint,
        notes=tuple(notes),
    )


def _break_even_months(portfolio: Portfolio, pricer: Pricer, levels: Levels, model: str, cost: float) -> float | None:
    """See the module doc: term price over average gross savings per period, in months."""
    entries = portfolio.slot(model)
    if not np.any(levels[entries] > 0):
        return None
    per_period = (
        levels[entries] @ (portfolio.hours * portfolio.rates[model]) if model in RESERVED else levels[entries][0]
    )
    active = portfolio.active_periods(model)
    without = levels.copy()
    without[entries] = 0.0
    gross = pricer.cost(without) - (cost - per_period * active)
    if gross <= 0:
        return None
    term_periods = TERM_DAYS[model] * 24 / portfolio.hours
    return float(per_period * term_periods / (gross / active) * portfolio.hours / HOURS_PER_MONTH)


def _fingerprint(
    history: UsageHistory,
    prices: PriceTable,
    models: Sequence[str],
    existing: Sequence[ExistingSavingsPlan],
    load_factor: float,
    extra: str = "",
) -> str:
    """sha256 of every input array and name that the plan depends on."""
    digest = hashlib.sha256()
    for text in (history.period, *history.kinds, *prices.kinds, *models, repr(load_factor), extra):
        digest.update(text.encode() + b"\0")
    digest.update(np.ascontiguousarray(history.timestamps.astype("datetime64[s]").astype(np.int64)).tobytes())
    digest.update(np.ascontiguousarray(history.usage, dtype=np.float64).tobytes())
    digest.update(np.ascontiguousarray(prices.on_demand, dtype=np.float64).tobytes())
    for model in sorted(prices.commitment):
        digest.update(model.encode() + np.ascontiguousarray(prices.commitment[model], dtype=np.float64).tobytes())
    for plan in existing:
        digest.update(repr((plan.amount_per_hour, str(plan.start), str(plan.end), plan.term)).encode())
    return digest.hexdigest()
