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

from velmar.backend import portfolio_search, predictions_search, single_plan_search
from velmar.bound import Bound, portfolio_bound, portfolio_bounds, upper_levels
from velmar.budget import BudgetJudge, UpfrontBudget
from velmar.column_order import cheaper_order, spends_two_rate_sets
from velmar.errors import UserError
from velmar.payment import upfront_per_level
from velmar.polish import Judge, polish_with_passes, pricing_budget, whole_units
from velmar.portfolio import RESERVED, TERM_DAYS, Levels, Portfolio, Pricer, build_portfolio
from velmar.records import (
    COMMITMENT_MODELS,
    HOURS_PER_MONTH,
    ExistingSavingsPlan,
    ModelPlan,
    PaymentChoice,
    PriceTable,
    Recommendation,
    UsageHistory,
)

Progress = Callable[[str], None]
#: Names of the module's searches in `Recommendation.searches` (with the term, or the optimiser and starts).
SINGLE_PLAN_SEARCH = "simple_optimisation"
PORTFOLIO_SEARCH = "general_optimisation"
#: Restarts of the polish from the best plan found, shaken by the seeded generator.
RESTARTS = 3
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
    n_starts: int | None = None,
    existing: Sequence[ExistingSavingsPlan] = (),
    polish: bool = True,
    milp_time_limit: float | None = None,
    load_factor: float = 1.0,
    target_coverage: float | None = None,
    progress: Progress | None = None,
    seed: int = 0,
    payment: Sequence[PaymentChoice] = (),
    upfront_budget: float | None = None,
) -> Recommendation:
    """The cheapest plan found for `models` over `history` (usage scaled by `load_factor`).

    Candidates, cheapest first in the order they are tried: the whole-unit optimum of the
    LP cost model (`velmar.bound.portfolio_bounds`; without reserved models the LP
    optimum) polished with the module's price as the judge ("milp"); then, unless that
    plan is at the proven bound already, the module's single-plan searches
    (`simple_optimisation` per term from zero) and its result polished the same way
    ("search", "polish"), both polishes sharing one budget of module calls
    (`velmar.polish.pricing_budget`). With `n_starts`, the module's portfolio search
    (`general_optimisation` with `optimiser` from `n_starts` random starting points drawn
    by the module from the operating system) is a candidate too, whatever the bound says,
    and the recommendation says that it depends on random draws. The module prices each
    candidate; the cheapest wins and `method` names it; `searches` names the module's
    searches that ran. While the polish budget lasts and the winner is above the bound,
    the polish restarts from it with some reserved units moved (RESTARTS times at most,
    drawn from NumPy's generator seeded with `seed`).

    Every limit that can decide the outcome counts work (module calls, cutting-plane
    rounds, branch-and-bound nodes), so the same inputs give the same plan, bit for bit,
    unless `milp_time_limit` is given: the whole-unit optimum then stops at that many
    seconds, where the machine's speed decides (`lower_bound` is then the whole-unit
    bound when higher; 0 skips the whole-unit optimum and polishes the rounded LP optimum).
    A note says whether the plan is proven within 0.1% of the cheapest whole-unit plan.
    When two savings-plan rate sets take part, the winner's kind column order is then
    searched too (`velmar.column_order`); the returned `kinds` is the order priced.
    With `target_coverage`, the plan is then scaled up until the module's coverage
    reaches it (see `_reach_coverage`).
    With `upfront_budget`, the upfront payments of the `payment` options chosen sum to at most that
    much in the bounds, the whole-unit optimum and every polish (`velmar.budget`); the kind column
    order is then not searched, and a target coverage cannot be asked for as well.
    """
    if upfront_budget is not None and target_coverage is not None:
        raise UserError("--upfront-budget and --target-coverage: give one of them, not both")
    say = progress or (lambda _: None)
    say("translating")
    portfolio = build_portfolio(history, prices, models, existing, load_factor)
    pricer = Pricer(portfolio)
    cap = None if upfront_budget is None else UpfrontBudget(upfront_per_level(portfolio, payment), upfront_budget)
    judge: Judge = pricer if cap is None else BudgetJudge(pricer, cap)

    def within_cap(levels: Levels) -> Levels:
        return levels if cap is None else cap.fitted(portfolio, levels)

    notes = list(portfolio.notes)
    say("lower bound")
    bound, whole = portfolio_bounds(portfolio, milp_time_limit, WHOLE_UNIT_TOLERANCE, say, cap)
    at_bound = max(bound.value, whole.value) * (1 + AT_BOUND)
    budget = pricing_budget(portfolio) if polish else 0

    def polished(levels: Levels) -> tuple[Levels, float]:
        nonlocal budget
        levels = within_cap(levels)
        cost = pricer.cost(levels)
        if cost > at_bound and budget > 0:
            used = pricer.pricings
            levels = polish_with_passes(portfolio, judge, levels, say, at_bound, budget)
            cost = pricer.cost(levels)
            budget -= pricer.pricings - used
        return levels, cost

    # The whole-unit optimum stands in for the rounded LP optimum.
    first = ("milp", whole.levels) if whole.method == "milp" else ("polish", bound.levels)
    candidates = []
    if polish or whole.method == "milp":
        say("polish")
        candidates.append((first[0], *polished(whole_units(portfolio, first[1]))))
    searches: tuple[str, ...] = ()
    search_cost = float("nan")
    if n_starts is not None or min((c[2] for c in candidates), default=np.inf) > at_bound:
        # The module's searches may find a plan nearer the cheapest of its own spending order.
        say("module search")
        search_levels, search_cost, searches = _module_search(portfolio, pricer, optimiser, n_starts, notes)
        fitted = within_cap(search_levels)
        candidates.append(("search", fitted, search_cost if fitted is search_levels else pricer.cost(fitted)))
        if polish:
            candidates.append(("polish", *polished(whole_units(portfolio, search_levels))))
    if milp_time_limit is not None:
        notes.append(
            f"the whole-unit optimum had a time limit of {milp_time_limit:g} s: where it stopped depends on the "
            "machine and its load, and so may the plan"
        )
        if not whole.proven_optimal:
            notes.append(f"MILP stopped at its time limit of {milp_time_limit:g} s; the bound is its proven dual bound")
        bound = whole if whole.value > bound.value else bound
    method, levels, cost = min(candidates, key=lambda c: c[2])
    rng = np.random.default_rng(seed)
    for _ in range(RESTARTS):
        if budget <= 0 or cost <= at_bound:
            break
        restarted, restarted_cost = polished(whole_units(portfolio, _shaken(portfolio, levels, rng)))
        if restarted_cost < cost:
            method, levels, cost = "polish", restarted, restarted_cost
    if polish and target_coverage is None and cap is None and cost > at_bound and spends_two_rate_sets(portfolio):
        say("column order")
        discount_order_cost = cost
        portfolio, levels, cost = cheaper_order(
            portfolio,
            levels,
            cost,
            lambda p, pr, lv, most: polish_with_passes(p, pr, lv, say, at_bound, most),
            pricing_budget(portfolio),
            at_bound,
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
    rec = replace(
        rec,
        searches=searches,
        depends_on_random_draws=any(s.startswith(PORTFOLIO_SEARCH) for s in searches),
        upfront_budget=upfront_budget,
    )
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
    searched = _searchable(portfolio, predictions.max(axis=0), notes)
    if searched:
        levels, mean_cost = predictions_search(portfolio, predictions, n_starts)
    notes.append(f"planned for the mean cost over {n_scenarios} bootstrapped histories (seed {seed})")
    fingerprint = _fingerprint(history, prices, portfolio.models, existing, 1.0, f"scenarios {n_scenarios} {seed}")
    bound = portfolio_bound(portfolio)
    rec = _recommendation(portfolio, pricer, levels, bound, "scenarios", mean_cost, fingerprint, notes)
    searched_as = (f"optimise_predictions {n_starts}",) if searched else ()
    return replace(rec, searches=searched_as, depends_on_random_draws=searched)


def _module_search(
    portfolio: Portfolio, pricer: Pricer, optimiser: str, n_starts: int | None, notes: list[str]
) -> tuple[Levels, float, tuple[str, ...]]:
    """The cheapest of the module's single-plan searches (one per term planned), of its portfolio
    search when `n_starts` is given, and of no new commitment; with the names of the searches run."""
    best = np.zeros(portfolio.level_count)
    best_cost = pricer.cost(best)
    if not _searchable(portfolio, portfolio.usage, notes):
        return best, best_cost, ()
    terms = [term for term in ("3Y", "1Y") if f"RI{term}" in portfolio.models or f"SP{term}" in portfolio.models]
    tried = [(f"{SINGLE_PLAN_SEARCH} {term}", single_plan_search(portfolio, term)) for term in terms]
    if n_starts is not None:
        tried.append((f"{PORTFOLIO_SEARCH} {optimiser} {n_starts}", portfolio_search(portfolio, optimiser, n_starts)))
    for _, levels in tried:
        cost = pricer.cost(levels)
        if cost < best_cost:
            best, best_cost = levels, cost
    return best, best_cost, tuple(name for name, _ in tried)


def _shaken(portfolio: Portfolio, levels: Levels, rng: np.random.Generator) -> Levels:
    """`levels` with about a quarter of its reserved entries one unit up or down, amounts within 5%."""
    shaken = np.array(levels, dtype=np.float64)
    for model in portfolio.models:
        entries = shaken[portfolio.slot(model)]
        if model in RESERVED:
            entries += rng.choice([-1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0], entries.size)
        else:
            entries *= rng.uniform(0.95, 1.05, entries.size)
    return np.maximum(shaken, 0.0)


def _searchable(portfolio: Portfolio, peak_usage: np.ndarray, notes: list[str]) -> bool:
    """Whether the module's searches can run: each savings plan needs usage to buy."""
    for model in portfolio.savings_models:
        if not np.any(peak_usage @ portfolio.rates[model] > 0):
            notes.append("no usage a savings plan could buy: the module's search was not run")
            return False
    return bool(portfolio.models)


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
        replace(plan, break_even_months=break_even_months(portfolio, pricer, levels, plan.model, cost))
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


def break_even_months(portfolio: Portfolio, pricer: Judge, levels: Levels, model: str, cost: float) -> float | None:
    """See the module doc: term price over average gross savings per period, in months."""
    entries = portfolio.slot(model)
    if not np.any(levels[entries] > 0):
        return None
    per_period = portfolio.charge_per_period(model, levels)
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
