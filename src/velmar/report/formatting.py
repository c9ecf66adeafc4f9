"""Figures of a recommendation as the table and the report show them."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

from velmar.records import HOURS_PER_PERIOD, ModelPlan, OutsidePlan, Recommendation, SeenCommitment

#: Headers of the table of commitments an export shows (terminal and report).
SEEN_COMMITMENT_HEADERS = ("Commitment", "Type", "Category", "First", "Last", "Money/h", "Used", "Unused", "Kinds")
#: Columns a narrow terminal leaves out of that table.
NARROW_LEFT_OUT = frozenset({"Category", "First", "Last", "Kinds"})
#: Kinds a commitment's line names before it counts the rest.
NAMED_KINDS = 3


def commitment_rows(plan: ModelPlan, period: str, currency: str | None = None) -> list[tuple[str, str]]:
    """(kind, commitment) lines of one model: reserved units per kind (by name), or the savings plan per hour."""
    if plan.model.startswith("RI"):
        return [(kind, f"{units:g} units/h") for kind, units in sorted(plan.reserved.items()) if units > 0] or [
            ("-", "none")
        ]
    amount = savings_plan_per_hour(plan, period)
    return [("all kinds", per_hour(amount, currency) if amount > 0 else "none")]


def commitment_table_rows(
    plans: Sequence[ModelPlan], period: str, currency: str | None = None
) -> list[tuple[str, str, str, str]]:
    """(model, kind, commitment, break-even) lines, model and break-even on a model's first line only."""
    rows = []
    for plan in plans:
        bought = any(v > 0 for v in plan.reserved.values()) or plan.amount_per_period > 0
        for line, (kind, amount) in enumerate(commitment_rows(plan, period, currency)):
            first = line == 0
            rows.append((plan.model if first else "", kind, amount,
                         (months(plan.break_even_months) if bought else "-") if first else ""))  # fmt: skip
    return rows


def summary_rows(rec: Recommendation) -> list[tuple[str, str]]:
    """The totals a person reads first, formatted; the hourly pricing and the spend left out when known."""
    currency = rec.currency
    rows = [
        ("Cost of the plan", money(rec.cost, currency)),
        ("All on demand", money(rec.on_demand_cost, currency)),
        ("Savings", f"{money(rec.savings, currency)} ({share(rec.savings_rate)})"),
    ]
    if rec.hourly_cost is not None:
        rows.append(("Cost priced on the hourly rows", money(rec.hourly_cost, currency)))
    if rec.hourly_on_demand_cost is not None:
        rows.append(("All on demand, hourly rows", money(rec.hourly_on_demand_cost, currency)))
    rows += [
        ("Coverage", share(rec.coverage)),
        ("Unused commitment", money(rec.unused_commitment, currency)),
        (f"Proven lower bound{bound_scope(rec)}", money(rec.lower_bound, currency)),
        ("Gap to the bound", "-" if not math.isfinite(rec.gap_percent) else f"{rec.gap_percent:.2f}%"),
        ("Method", rec.method),
    ]
    if rec.method != "given":
        not_run = "not run: the plan was at the proven bound" if rec.forecast is None else "not run (--n-starts)"
        searched = money(rec.search_cost, currency) if rec.searches else not_run
        rows.append(("Module's own search", searched))
    if rec.depends_on_random_draws:
        rows.append(("Random draws", "the module's random starts took part: a rerun may differ"))
    if rec.outside_plan is not None:
        rows.append(("Spend outside the plan", money(rec.outside_plan.spend, currency)))
    return rows


def bound_scope(rec: Recommendation) -> str:
    """ "" or " (N of S scenarios)" when a forecast's bound is proven on part of its scenarios: it may then
    exceed the expected cost over all of them."""
    forecast = rec.forecast
    if forecast is None or forecast.bound_scenarios >= forecast.scenarios:
        return ""
    return f" ({forecast.bound_scenarios} of {forecast.scenarios} scenarios)"


def outside_plan_text(outside: OutsidePlan | None, currency: str | None) -> str | None:
    """One sentence on the export's spend the plan leaves out and where it goes, None when not known."""
    if outside is None:
        return None
    if outside.spend == 0 and not outside.top_services:
        return "The plan takes in every kind with usage in the export: no usage spend is left out."
    text = f"The export's usage spend of kinds the plan leaves out: {money(outside.spend, currency)}"
    if not outside.top_services:
        return text + "."
    services = ", ".join(f"{name} {money(spend, currency)}" for name, spend in outside.top_services)
    return f"{text}; largest services: {services}."


def seen_commitment_rows(commitments: Sequence[SeenCommitment], currency: str | None) -> list[tuple[str, ...]]:
    """Lines of the commitments an export shows, the most unused money first (unknown use last)."""
    rows: list[tuple[str, ...]] = []
    for seen in sorted(commitments, key=lambda c: (-unused_money(c) if c.used_share is not None else math.inf)):
        kinds = ", ".join(seen.kinds[:NAMED_KINDS]) + (
            f" and {len(seen.kinds) - NAMED_KINDS} more" if len(seen.kinds) > NAMED_KINDS else ""
        )
        rows.append(
            (
                seen.name or seen.id,
                seen.type,
                seen.category,
                hour(seen.first),
                hour(seen.last),
                per_hour(seen.money_per_hour, currency),
                "-" if seen.used_share is None else share(seen.used_share),
                "-" if seen.used_share is None else money(unused_money(seen), currency),
                kinds or "-",
            )
        )
    return rows


def unused_money(seen: SeenCommitment) -> float:
    """Money of a commitment's hours from its first to its last row that nothing used (0 when unknown)."""
    hours = (seen.last - seen.first) / np.timedelta64(1, "h") + 1
    return seen.money_per_hour * hours * (1.0 - (seen.used_share if seen.used_share is not None else 1.0))


def savings_plan_per_hour(plan: ModelPlan, period: str) -> float:
    return plan.amount_per_period / HOURS_PER_PERIOD[period]


def money(value: float, currency: str | None = None) -> str:
    """Two decimals with thousands separators, then the currency code when known; "-" for a figure not
    computed (NaN)."""
    if not math.isfinite(value):
        return "-"
    return f"{value:,.2f} {currency}" if currency else f"{value:,.2f}"


def per_hour(value: float, currency: str | None = None) -> str:
    """Money per hour: "4.20 USD/h", or "4.20/h" without a currency."""
    return money(value, currency) + "/h" if math.isfinite(value) else "-"


def share(value: float) -> str:
    return f"{value:.1%}" if math.isfinite(value) else "-"


def months(value: float | None) -> str:
    return "never" if value is None or not math.isfinite(value) else f"{value:.1f} months"


def hour(timestamp: np.datetime64) -> str:
    return str(np.datetime_as_string(timestamp, unit="m")).replace("T", " ")


def decimals_for(values: Sequence[float], significant: int = 4) -> int:
    """Decimals that give the smallest non-zero value `significant` digits: one count for a whole column."""
    smallest = min((abs(v) for v in values if math.isfinite(v) and v != 0), default=1.0)
    return max(0, significant - 1 - math.floor(math.log10(smallest)))
