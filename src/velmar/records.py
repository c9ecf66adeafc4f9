"""Plain records that travel between the planner's stages.

Every record is a frozen dataclass of plain data (NumPy arrays, numbers, strings,
tuples and mappings): never one of the module's thread-bound result objects, so a
record can cross threads, processes and Dask workers. Kind names travel with every
matrix: the column order of an array is a detail of the record that holds it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Literal

import numpy as np
import numpy.typing as npt

Period = Literal["H", "D"]
Term = Literal["1Y", "3Y"]

#: Commitment models the planner can buy, in the module's names.
COMMITMENT_MODELS: tuple[str, ...] = ("RI3Y", "RI1Y", "SP3Y", "SP1Y")
#: Hours in one period of each period code.
HOURS_PER_PERIOD: Mapping[str, int] = {"H": 1, "D": 24}
#: A month: a twelfth of 365 days.
HOURS_PER_MONTH = 730

Floats = npt.NDArray[np.float64]


@dataclass(frozen=True)
class UsageHistory:
    """Usage per period and kind, in unit-hours per period.

    `usage` has shape (len(timestamps), len(kinds)); row t starts at `timestamps[t]`
    (datetime64, truncated to the hour or the day) and periods follow one another
    without gaps (missing periods hold zeros).
    """

    timestamps: npt.NDArray[np.datetime64]
    kinds: tuple[str, ...]
    usage: Floats
    period: Period
    #: What the history was read from (files, filters), for the report and fingerprint.
    source: str = ""
    #: The currency of the export's rows (`BillingCurrency`), None when the input names none.
    currency: str | None = None
    #: The export's usage spend that the plan leaves out (kinds not planned), None for a long table.
    outside_plan: OutsidePlan | None = None
    #: Remarks of the loader (rows spread over several periods, hourly rows planned by day).
    notes: tuple[str, ...] = ()
    #: True when the history is daily ("D") but the rows it was made of are hourly.
    hourly_rows: bool = False

    def rows(self, first: int | None = None, last: int | None = None) -> UsageHistory:
        """The history of rows [first, last) only (the rest of it alike)."""
        return replace(self, timestamps=self.timestamps[first:last], usage=self.usage[first:last])


@dataclass(frozen=True)
class OutsidePlan:
    """Usage rows of an export whose kinds are not planned: what they cost, and where."""

    #: Sum of `EffectiveCost` (`BilledCost` where that is absent) of those rows.
    spend: float
    #: The largest `ServiceName`s by that spend, largest first, at most five.
    top_services: tuple[tuple[str, float], ...] = ()


@dataclass(frozen=True)
class PriceTable:
    """Per-kind rates, all per unit and hour.

    `commitment` maps a model of COMMITMENT_MODELS to its per-kind rate: the reserved
    price of one reserved unit per hour for "RI1Y"/"RI3Y", the savings-plan rate
    (money spent per unit-hour covered) for "SP1Y"/"SP3Y". A model absent from the
    price file is absent from the mapping and cannot be planned.
    """

    kinds: tuple[str, ...]
    on_demand: Floats
    commitment: Mapping[str, Floats] = field(default_factory=dict)
    source: str = ""
    #: The price file's `currency`, None when it names none.
    currency: str | None = None
    #: Models whose rates were assumed (`--discounts`) -> the fraction off on demand.
    assumed: Mapping[str, float] = field(default_factory=dict)
    #: The kinds those assumed rates were given to (those the price file does not rate).
    assumed_kinds: tuple[str, ...] = ()
    #: Payment options of each model the file offers (upfront columns, `<model>:<option>` columns), in
    #: file order; empty when it has neither (the rates are then paid by the hour only).
    options: Mapping[str, tuple[PaymentOption, ...]] = field(default_factory=dict)


@dataclass(frozen=True)
class PaymentOption:
    """One way to pay for a model: per-kind rates by the hour and amounts at purchase.

    For a reservation, `upfront` is money per reserved unit; for a savings plan, money per
    unit of commitment (one money per hour), which prepays that much of the commitment: the
    rest of it is paid by the hour. A kind the option is not offered for holds NaN in both.
    """

    #: The `<option>` of the column names, "" for the plain `<model>` column.
    name: str
    hourly: Floats
    upfront: Floats


@dataclass(frozen=True)
class PaymentChoice:
    """The payment option a plan is made on for one model, chosen kind by kind (one for a savings plan).

    `hourly` and `upfront` are the chosen option's figures per kind, `equivalent` the hourly rate with
    the same present value at the cost of capital that the planner planned on. `flip_below` and
    `flip_above` are the yearly rates of capital below and above which another option would be chosen
    (None: no other option is ever cheaper on that side).
    """

    model: str
    kinds: tuple[str, ...]
    options: tuple[str, ...]
    hourly: Floats
    upfront: Floats
    equivalent: Floats
    flip_below: tuple[float | None, ...]
    flip_above: tuple[float | None, ...]
    #: Savings plans: the module's money per unit of commitment bought (1 at a cost of capital of 0).
    money_factor: float = 1.0


@dataclass(frozen=True)
class ExistingSavingsPlan:
    """A savings plan already bought: money per hour over [start, end)."""

    amount_per_hour: float
    start: np.datetime64
    end: np.datetime64
    term: Term = "3Y"
    name: str = ""


@dataclass(frozen=True)
class ExistingReservation:
    """Reserved units of one kind already bought, in force over [start, end): already paid."""

    kind: str
    units: float
    start: np.datetime64
    end: np.datetime64
    term: Term = "3Y"
    name: str = ""


@dataclass(frozen=True)
class SeenCommitment:
    """A commitment that an export shows (one `CommitmentDiscountId`), as its rows tell it."""

    id: str
    type: str
    category: str
    #: First and last periods (hours) with a row of it.
    first: np.datetime64
    last: np.datetime64
    #: Its money (`EffectiveCost` of its Used and Unused rows) per hour between first and last.
    money_per_hour: float
    #: Used against Used plus Unused money, None when the rows do not say.
    used_share: float | None
    #: Kinds whose usage it paid for, sorted.
    kinds: tuple[str, ...] = ()
    name: str = ""


@dataclass(frozen=True)
class Purchase:
    """New commitments of one model bought at `start`, in force for the model's whole term."""

    model: str
    start: np.datetime64
    #: Reserved units per hour by kind (reservation models).
    reserved: Mapping[str, float] = field(default_factory=dict)
    #: Money per hour (savings-plan models).
    amount_per_hour: float = 0.0


@dataclass(frozen=True)
class Scenarios:
    """Sample paths of future usage: `paths[s, t, k]` unit-hours of kind k in period t of path s."""

    timestamps: npt.NDArray[np.datetime64]
    kinds: tuple[str, ...]
    paths: npt.NDArray[np.float64]
    period: Period
    #: How the paths were made, in words (model, seasons, residual resampling, seed).
    method: str = ""


@dataclass(frozen=True)
class ModelPlan:
    """The new commitments of one model of a recommendation.

    Reserved-instance models fill `reserved` (kind name -> whole units in force per
    hour); savings-plan models fill `amount_per_period` (money per period of the
    history, as the module takes it) and `amount_per_hour`.
    """

    model: str
    reserved: Mapping[str, float] = field(default_factory=dict)
    amount_per_period: float = 0.0
    amount_per_hour: float = 0.0
    #: Months until the commitment's savings repay what it costs, or None if it never does.
    break_even_months: float | None = None


@dataclass(frozen=True)
class Recommendation:
    """A recommended portfolio with the module's figures and its proven bound.

    Money figures are the module's own pricing of `plans` over the history, with on
    demand for the rest and the existing savings plans included; `lower_bound` is a
    proven lower bound on the cost of any plan with the same models (LP or MILP).
    """

    kinds: tuple[str, ...]
    period: Period
    models: tuple[str, ...]
    plans: tuple[ModelPlan, ...]
    cost: float
    on_demand_cost: float
    savings: float
    savings_rate: float
    coverage: float
    unused_commitment: float
    lower_bound: float
    gap_percent: float
    #: Which method produced the plan: "search" (the module's own), "polish" or "milp".
    method: str
    #: The module's search result's cost, for comparison with the chosen plan.
    search_cost: float
    #: Levels exactly as priced by the module, in the order of `models` (one column per
    #: reserved kind of each RI model, one per SP model).
    levels: Floats
    fingerprint: str = ""
    notes: tuple[str, ...] = ()
    #: A proven lower bound on the cost of any plan of whole reserved units (the whole-unit
    #: optimum of the LP cost model, or a bound on it), None when not computed.
    whole_unit_bound: float | None = None
    #: The currency of every money figure, None when the inputs name none.
    currency: str | None = None
    #: The export's usage spend that the plan leaves out, None when not known.
    outside_plan: OutsidePlan | None = None
    #: A daily plan's cost priced by the module on the hourly rows it was made of, None otherwise.
    hourly_cost: float | None = None
    #: The same usage all on demand, priced on the hourly rows, None otherwise.
    hourly_on_demand_cost: float | None = None
    #: The module's searches that ran, e.g. "simple_optimisation 3Y" (none when the plan was proven at the
    #: bound without them); `search_cost` is NaN when none ran.
    searches: tuple[str, ...] = ()
    #: True when a search that draws its starting points from the operating system took part: the same
    #: inputs may then give another plan.
    depends_on_random_draws: bool = False
    #: The forecast a forward plan was judged on (its figures are then expected values), None otherwise.
    forecast: ForecastSummary | None = None
    #: Families planned as one kind each (`kinds` then names the family), with their purchases.
    families: tuple[FamilyPlan, ...] = ()
    #: The payment option planned on, per model; empty when the prices offer no upfront payment.
    payment: tuple[PaymentChoice, ...] = ()
    #: Yearly cost of capital the payment options were compared at.
    cost_of_capital: float = 0.0
    #: The cap on the sum of upfront payments the plan was made within, None when uncapped.
    upfront_budget: float | None = None


@dataclass(frozen=True)
class FamilyPlan:
    """A family's reservations in normalised units, as whole instances to buy, and whom they covered."""

    family: str
    #: Kind -> normalised units per unit of the kind.
    factors: Mapping[str, float]
    #: Reserved model -> normalised units reserved.
    normalised_units: Mapping[str, float]
    #: Reserved model -> kind -> whole instances to buy.
    instances: Mapping[str, Mapping[str, int]]
    #: Kind -> its usage over the history, in its own unit-hours.
    usage: Mapping[str, float]
    #: Kind -> unit-hours of it the family's reservations covered.
    covered: Mapping[str, float]


@dataclass(frozen=True)
class PlanOutcome:
    """One plan's module-priced cost over forecast scenarios: the mean and the mean of its worst share."""

    label: str
    expected_cost: float
    tail_cost: float


@dataclass(frozen=True)
class ForecastSummary:
    """What a forward plan's figures are: expected values and percentiles over forecast scenarios."""

    horizon_months: int
    #: Scenarios every figure is priced over (the plan may be made on a representative part of them).
    scenarios: int
    #: Scenarios the bound was computed on, and those the polish priced.
    bound_scenarios: int
    polish_scenarios: int
    #: The first period of the horizon (the period after the history).
    start: np.datetime64
    expected_cost: float
    expected_on_demand_cost: float
    #: 10th and 90th percentiles of the plan's cost over the scenarios.
    cost_p10: float
    cost_p90: float
    #: The mean cost of the worst (1 - tail_level) share of the scenarios (CVaR at tail_level).
    tail_level: float
    tail_cost: float
    #: How the scenarios were made, in words.
    method: str
    #: The risk measure minimised ("cvar:0.9"), None for the expected cost.
    risk: str | None = None
    #: With a risk measure: the plan of least expected cost and the risk plan, side by side.
    outcomes: tuple[PlanOutcome, ...] = ()
    #: Months ahead of every tranche (0 first: the purchase decided now).
    schedule_months: tuple[int, ...] = (0,)
    #: The date of every tranche (the first: `start`).
    schedule_dates: tuple[np.datetime64, ...] = ()
    #: Every purchase of every tranche, with its date.
    purchases: tuple[Purchase, ...] = ()
    #: Month starts of the fan, and the 10th, 50th and 90th percentiles of the usage's on-demand value per month.
    fan_months: npt.NDArray[np.datetime64] = field(default_factory=lambda: np.array([], dtype="datetime64[h]"))
    fan_low: Floats = field(default_factory=lambda: np.zeros(0))
    fan_median: Floats = field(default_factory=lambda: np.zeros(0))
    fan_high: Floats = field(default_factory=lambda: np.zeros(0))
    #: On-demand value per month that the commitments in force (new and owned) can pay for.
    commitment_value: Floats = field(default_factory=lambda: np.zeros(0))
