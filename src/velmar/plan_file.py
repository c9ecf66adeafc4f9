"""Reading a plan from JSON in the layout `velmar recommend --json` writes.

Its "plan" maps each reserved-instance model to {kind: units per hour} and each
savings-plan model to its amount per period. An optional "period" says which period
the amounts are per; they are converted when it differs from the history's. An optional
"kinds" gives the column order the plan was priced in (the module spends savings plans
on the kinds in column order), so the plan is priced as it was recommended.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

from velmar.errors import UserError
from velmar.records import COMMITMENT_MODELS, HOURS_PER_PERIOD, ModelPlan, UsageHistory


@dataclass(frozen=True)
class PlanFile:
    plans: tuple[ModelPlan, ...]
    #: The column order to price the plan in, None when the file gives none.
    kinds: tuple[str, ...] | None


def read_plan(path: str, history: UsageHistory) -> PlanFile:
    """The plans of a JSON plan file (and its column order), checked against the history's kinds."""
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
    except OSError as error:
        raise UserError(f"{path}: cannot read the plan file ({error.strerror})") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise UserError(f"{path}: not a JSON file ({error})") from None
    plan = document.get("plan") if isinstance(document, dict) else None
    if not isinstance(plan, dict):
        raise UserError(f'{path}: no "plan" object (model -> commitments)')
    period = document.get("period", history.period)
    if period not in HOURS_PER_PERIOD:
        raise UserError(f'{path}: "period" is {period!r}, expected "H" or "D"')
    scale = HOURS_PER_PERIOD[history.period] / HOURS_PER_PERIOD[period]
    plans = tuple(_model_plan(path, model, value, history, scale) for model, value in plan.items())
    return PlanFile(plans, _kind_order(path, document.get("kinds"), history))


def _kind_order(path: str, kinds: Any, history: UsageHistory) -> tuple[str, ...] | None:
    if kinds is None:
        return None
    if not isinstance(kinds, list) or sorted(map(str, kinds)) != sorted(history.kinds):
        raise UserError(f'{path}: "kinds" must list every kind of the usage once (the column order), or be left out')
    return tuple(map(str, kinds))


def _model_plan(path: str, model: str, value: Any, history: UsageHistory, scale: float) -> ModelPlan:
    where = f'{path}: "plan" -> "{model}"'
    if model not in COMMITMENT_MODELS:
        raise UserError(f"{where}: unknown model; expected one of {', '.join(COMMITMENT_MODELS)}")
    if model.startswith("RI"):
        if not isinstance(value, dict):
            raise UserError(f"{where}: expected an object of kind -> units per hour")
        unknown = sorted(set(value) - set(history.kinds))
        if unknown:
            raise UserError(f"{where}: kind {unknown[0]!r} is not in the usage")
        return ModelPlan(
            model=model, reserved={kind: _amount(f"{where} -> {kind!r}", units) for kind, units in value.items()}
        )
    amount = _amount(where, value) * scale
    return ModelPlan(model=model, amount_per_period=amount, amount_per_hour=amount / HOURS_PER_PERIOD[history.period])


def _amount(where: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise UserError(f"{where}: {value!r} is not a non-negative number")
    return float(value)
