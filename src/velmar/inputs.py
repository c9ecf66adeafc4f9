"""Everything a command reads before it plans: usage, rates and the commitments already owned.

An export is resolved (globbed, deduplicated) once per command and every loader reads that
one set of files. The kinds to plan are those the price file names (or, without one, the
kinds metered in hours, rated by `--discounts`); the rest of the export is left out and its
spend reported.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace

import numpy as np

from velmar import data
from velmar.errors import UserError
from velmar.families import Pooling, family_plans, load_families, pool, pool_history
from velmar.payment import check_cost_of_capital, choose_payment
from velmar.portfolio import Pricer, build_portfolio
from velmar.progress import Steps
from velmar.records import (
    ExistingReservation,
    ExistingSavingsPlan,
    PaymentChoice,
    Period,
    PriceTable,
    Recommendation,
    SeenCommitment,
    UsageHistory,
)
from velmar.reservations import net_of_reservations


@dataclass(frozen=True)
class Request:
    """What the user asked to read (the command line's input options)."""

    usage: str | None = None
    export: str | None = None
    prices: str | None = None
    discounts: str | None = None
    existing: str | None = None
    existing_reservations: str | None = None
    existing_from_export: bool = False
    period: Period = "H"
    sub_account: str | None = None
    start: str | None = None
    end: str | None = None
    kind_columns: tuple[str, ...] = ()
    services: tuple[str, ...] = ()
    #: Also list the commitments the export shows (for the report).
    commitments: bool = False
    #: A families file (`kind, family, factor`): each family planned as one kind in normalised units.
    families: str | None = None
    #: Yearly cost of capital at which the price file's payment options are compared.
    cost_of_capital: float = 0.0


@dataclass(frozen=True)
class Inputs:
    """The usage to plan (net of reservations already owned), its rates and what is owned."""

    history: UsageHistory
    prices: PriceTable
    #: The usage before the reservations owned were taken off (a forecast nets them over its own dates).
    gross: UsageHistory
    existing: tuple[ExistingSavingsPlan, ...] = ()
    reservations: tuple[ExistingReservation, ...] = ()
    commitments: tuple[SeenCommitment, ...] = ()
    #: The hourly usage of a daily history made of hourly rows (net likewise), None otherwise.
    hourly: UsageHistory | None = None
    notes: tuple[str, ...] = field(default=())
    #: The payment option planned on, per model with options (kinds pooled like `history`'s).
    payment: tuple[PaymentChoice, ...] = ()
    cost_of_capital: float = 0.0
    #: How families were pooled into one kind each, None without a families file.
    pooling: Pooling | None = None

    @property
    def currency(self) -> str | None:
        return self.history.currency or self.prices.currency

    def annotate(self, rec: Recommendation) -> Recommendation:
        """`rec` with the inputs' currency, the spend left out of the plan, the readers' notes, the payment
        options planned on and each family's purchase."""
        return replace(
            rec,
            currency=self.currency,
            outside_plan=self.history.outside_plan,
            notes=(*self.history.notes, *self.notes, *rec.notes),
            payment=self.payment,
            cost_of_capital=self.cost_of_capital,
            families=()
            if self.pooling is None
            else family_plans(rec, self.pooling, self.history, self.prices, self.existing),
        )


def read_inputs(request: Request, steps: Steps) -> Inputs:
    """Reads and checks every input of `request`; a mistake is a UserError naming the file or option."""
    discounts = data.parse_discounts(request.discounts) if request.discounts else None
    check_cost_of_capital(request.cost_of_capital)
    if request.prices is None and discounts is None:
        raise UserError("--prices: give a price file, or --discounts to plan on assumed discounts")
    columns = {"kind_columns": request.kind_columns} if request.kind_columns else {}
    export = data.resolve_export(request.export) if request.export else None

    def focus_usage(period: Period) -> UsageHistory:
        assert export is not None
        return data.load_focus(
            export,
            period=period,
            sub_account=request.sub_account,
            start=request.start,
            end=request.end,
            kinds=data.price_kinds(request.prices) if request.prices else None,
            services=request.services or None,
            **columns,
        )

    with steps.step("Reading usage"):
        if export is None:
            assert request.usage is not None
            if request.sub_account or request.kind_columns or request.services or request.existing_from_export:
                raise UserError("--sub-account, --kind-columns, --service and --existing-from-export apply to --export")
            history = data.load_long_table(request.usage, period=request.period, start=request.start, end=request.end)
        else:
            history = focus_usage(request.period)
    with steps.step("Reading prices"):
        prices = data.load_prices(request.prices, history.kinds, focus_paths=export, discounts=discounts, **columns)
    if history.currency and prices.currency and history.currency != prices.currency:
        raise UserError(
            f"{request.prices}: column 'currency': {prices.currency}, but the usage is in {history.currency}"
        )
    existing: tuple[ExistingSavingsPlan, ...] = ()
    reservations: tuple[ExistingReservation, ...] = ()
    commitments: tuple[SeenCommitment, ...] = ()
    notes: list[str] = []
    with steps.step("Reading commitments already owned"):
        if request.existing:
            existing = tuple(data.load_existing(request.existing))
        if request.existing_reservations:
            reservations = tuple(data.load_existing_reservations(request.existing_reservations, history.kinds))
        if export is not None and request.existing_from_export:
            plans, owned, note = data.existing_from_export(export, history, **columns)
            existing, reservations = (*existing, *plans), (*reservations, *owned)
            notes.append(note)
        if export is not None and request.commitments:
            commitments = data.list_commitments(export, **columns)
    hourly = None
    if export is not None and history.hourly_rows:
        with steps.step("Reading the hourly rows"):
            hourly = focus_usage("H")
    gross = history
    history, netted = net_of_reservations(history, reservations)
    if netted:
        notes.append(netted)
        if hourly is not None:
            hourly, _ = net_of_reservations(hourly, reservations)
    payment: tuple[PaymentChoice, ...] = ()
    if prices.options:
        weights = np.nan_to_num(history.usage).sum(axis=0) * prices.on_demand
        prices, payment = choose_payment(prices, request.cost_of_capital, weights)
    pooling = None
    if request.families:
        history, prices, payment, pooling = pool(history, prices, payment, load_families(request.families))
        hourly = None if hourly is None else pool_history(hourly, pooling)
        gross = pool_history(gross, pooling)
    return Inputs(
        history, prices, gross, existing, reservations, commitments, hourly, tuple(notes),
        payment=payment, cost_of_capital=request.cost_of_capital, pooling=pooling,
    )  # fmt: skip


def split_list(text: str | None) -> tuple[str, ...]:
    """The items of a comma-separated option, stripped; empty items dropped."""
    return tuple(item.strip() for item in (text or "").split(",") if item.strip())


def with_hourly_cost(rec: Recommendation, inputs: Inputs, load_factor: float = 1.0) -> Recommendation:
    """A daily plan priced by the module on the hourly rows it was made of as well (when there are some).

    Planning by day sums each day's hours, so a day's peak hours borrow the commitments left idle
    in its quiet hours; priced by the hour, the same plan pays those peaks on demand.
    """
    if inputs.hourly is None:
        return rec
    hourly = inputs.hourly
    plans = tuple(replace(plan, amount_per_period=plan.amount_per_hour) for plan in rec.plans)
    portfolio = build_portfolio(hourly, inputs.prices, rec.models, inputs.existing, load_factor, kind_order=rec.kinds)
    pricer = Pricer(portfolio)
    cost = pricer.cost(portfolio.levels_of_plans(plans))
    on_demand = pricer.cost(np.zeros(portfolio.level_count))
    return replace(rec, hourly_cost=cost, hourly_on_demand_cost=on_demand)
