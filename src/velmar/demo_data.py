"""A realistic synthetic FOCUS export with its price file and an existing commitment.

Usage per sub-account and kind follows a daily and a weekly cycle, grows or shrinks,
has short spikes, and one workload migrates from one kind to another over two weeks.
Part of the usage is paid by a savings plan that expires inside the window; some kinds
also run spot capacity, which a planner must drop. Everything follows from the seed.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from velmar.atomic import replaced_atomically, write_atomically
from velmar.data.sql import Connection, connection, literal
from velmar.errors import UserError
from velmar.records import Floats

REGIONS: tuple[tuple[str, str, float], ...] = (
    ("us-east", "US East", 1.0),
    ("eu-west", "EU West", 1.08),
    ("ap-south", "Asia Pacific South", 1.12),
)
#: Instance families with their on-demand price per vCPU-hour in the cheapest region.
FAMILIES: tuple[tuple[str, float], ...] = (
    ("std", 0.048), ("cpu", 0.0425), ("mem", 0.063), ("arm", 0.0385), ("io", 0.078), ("gpu", 0.76),
)  # fmt: skip
SIZES: tuple[int, ...] = (4, 8, 2, 16, 32, 64)
#: Ranges of the discount off on demand of each commitment, drawn per kind.
DISCOUNTS: dict[str, tuple[float, float]] = {
    "sp1y": (0.25, 0.35),
    "sp3y": (0.45, 0.55),
    "ri1y": (0.35, 0.40),
    "ri3y": (0.55, 0.60),
}
START = np.datetime64("2025-01-06T00:00:00", "s")  # a Monday
BILLING_ACCOUNT = "100000000001"
COMMITMENT_ID = "commitments/savings-plan/sp-0001"
#: Pricing categories of the export's rows, by code; FEE marks the savings plan's fee.
CATEGORIES = ("Standard", "Committed", "Dynamic")
FEE = len(CATEGORIES)
SPOT_SHARE = 0.32  # spot price as a share of on demand


@dataclass(frozen=True)
class DemoFiles:
    """Paths of the files `write_demo` wrote."""

    export: str
    prices: str
    existing: str


def write_demo(directory: str, seed: int = 0, days: int = 90, accounts: int = 4, kinds: int = 12) -> DemoFiles:
    """Writes `export.parquet` (hourly FOCUS rows), `prices.csv` and `existing.csv`.

    Kinds are "region/sku" as `velmar.data.DEFAULT_KIND_COLUMNS` names them. The
    existing savings plan is a 1Y plan ending at 60% of the window.
    """
    catalogue = [(region, f"{family}-{size}") for size in SIZES for family, _ in FAMILIES for region, _, _ in REGIONS]
    if not 1 <= kinds <= len(catalogue):
        raise UserError(f"kinds: {kinds} is not between 1 and {len(catalogue)}")
    if days < 1 or accounts < 1:
        raise UserError(f"days ({days}) and accounts ({accounts}) must be at least 1")
    os.makedirs(directory, exist_ok=True)
    rng = np.random.default_rng(seed)
    kind_table = _kind_table(catalogue[:kinds], rng)
    usage, covered, spot = _usage(rng, days * 24, accounts, kind_table)
    expiry = START + np.timedelta64(round(0.6 * days * 24), "h")
    amount = float(np.round((covered.max(axis=0) * kind_table["sp1y"]).sum(), 2))
    hours_covered = int((expiry - START) // np.timedelta64(1, "h"))
    covered[hours_covered:] = 0.0
    files = DemoFiles(*(os.path.join(directory, name) for name in ("export.parquet", "prices.csv", "existing.csv")))
    _write_export(files.export, kind_table, accounts, usage, covered, spot, amount, hours_covered)
    prices = ["kind,on_demand,sp1y,sp3y,ri1y,ri3y"] + [
        f"{region}/{sku},{od:.4f},{sp1:.5f},{sp3:.5f},{ri1:.5f},{ri3:.5f}"
        for region, sku, od, sp1, sp3, ri1, ri3 in zip(
            *(kind_table[key] for key in ("region", "sku", "on_demand", "sp1y", "sp3y", "ri1y", "ri3y"))
        )
    ]
    _write_text(files.prices, prices)
    started = expiry - np.timedelta64(365 * 24, "h")
    _write_text(
        files.existing, ["amount_per_hour,start,end,term,name", f"{amount:.2f},{started}Z,{expiry}Z,1Y,{COMMITMENT_ID}"]
    )
    return files


def _kind_table(catalogue: list[tuple[str, str]], rng: np.random.Generator) -> dict[str, npt.NDArray[np.generic]]:
    """Per kind: region, sku, their display names, on-demand and commitment rates."""
    region_factor = {code: factor for code, _, factor in REGIONS}
    per_vcpu = dict(FAMILIES)
    on_demand = np.array(
        [
            round(per_vcpu[sku.split("-")[0]] * int(sku.split("-")[1]) * region_factor[region], 4)
            for region, sku in catalogue
        ]
    )
    table: dict[str, npt.NDArray[np.generic]] = {
        "region": np.array([region for region, _ in catalogue]),
        "region_name": np.array([dict((c, n) for c, n, _ in REGIONS)[region] for region, _ in catalogue]),
        "sku": np.array([sku for _, sku in catalogue]),
        "on_demand": on_demand,
        "gpu": np.array([sku.startswith("gpu") for _, sku in catalogue]),
    }
    for column, (low, high) in DISCOUNTS.items():
        table[column] = np.round(on_demand * (1.0 - rng.uniform(low, high, len(catalogue))), 5)
    return table


def _usage(
    rng: np.random.Generator, hours: int, accounts: int, kind_table: dict[str, npt.NDArray[np.generic]]
) -> tuple[Floats, Floats, Floats]:
    """Instances running per hour, account and kind: total, paid by the savings plan, spot."""
    kinds = len(kind_table["sku"])
    shape = (accounts, kinds)
    used = rng.random(shape) < 0.75
    used[rng.integers(0, accounts, kinds), np.arange(kinds)] = True  # every kind has a user
    level = np.exp(rng.normal(1.3, 0.8, shape)) * np.where(kind_table["gpu"], 0.25, 1.0)
    hour = np.arange(hours, dtype=np.float64)[:, None, None]
    diurnal = 1.0 + rng.uniform(0.05, 0.5, shape) * np.sin(2 * np.pi * (hour % 24 - 8) / 24)
    weekend = (hour // 24) % 7 >= 5
    weekly = np.where(weekend, rng.uniform(0.55, 0.95, shape), 1.0)
    growth = 1.0 + rng.uniform(-0.1, 0.45, shape) * hour / hours
    demand = level * diurnal * weekly * growth * np.exp(rng.normal(0.0, 0.06, (hours, *shape)))
    spikes = rng.random((hours, *shape)) < 0.002
    demand = np.where(spikes, demand * rng.uniform(1.5, 3.0, (hours, *shape)), demand)
    if kinds >= 2:  # from 45% of the window on, the first kind's workload moves over two weeks
        target = _migration_target(kind_table)
        ramp = np.clip((hour[:, :, 0] / 24 - 0.45 * hours / 24) / 14, 0.0, 1.0)
        moved = demand[:, :, 0] * 0.9 * ramp
        demand[:, :, 0] -= moved
        demand[:, :, target] += moved
        used[:, target] |= used[:, 0]
    usage: Floats = np.round(np.where(used, demand, 0.0), 3).astype(np.float64)
    covered: Floats = np.minimum(usage, np.round(0.35 * level * used, 3))
    spot_kinds = (rng.random(kinds) < 0.3) & ~kind_table["gpu"].astype(bool)
    spot: Floats = np.round(np.where(used & spot_kinds, 0.3 * demand * rng.random((hours, *shape)), 0.0), 3).astype(
        np.float64
    )
    return usage, covered, spot


def _migration_target(kind_table: dict[str, npt.NDArray[np.generic]]) -> int:
    """The kind the first kind's workload moves to: the ARM family in its region if
    the demo has it, else the second kind."""
    family = kind_table["sku"][0].split("-")[0]
    wanted = (kind_table["region"][0], kind_table["sku"][0].replace(family, "arm", 1))
    matches = [k for k, pair in enumerate(zip(kind_table["region"], kind_table["sku"])) if pair == wanted]
    return matches[0] if matches else 1


def _write_export(
    path: str,
    kind_table: dict[str, npt.NDArray[np.generic]],
    accounts: int,
    usage: Floats,
    covered: Floats,
    spot: Floats,
    amount: float,
    hours_covered: int,
) -> None:
    """Rows in time order: one per hour, account, kind and pricing category with a
    quantity, and the savings plan's hourly fee while it runs.

    Facts are numbers; every text column comes from a small dimension table as an
    enumeration, which Parquet stores as a dictionary: millions of rows write in seconds.
    """
    by_category = np.stack([usage - covered, covered, spot], axis=-1)
    hour, account, kind, category = np.nonzero(by_category > 0)
    fee_hours = np.arange(hours_covered, dtype=np.int64)
    facts = {
        "h": np.concatenate([hour, fee_hours]).astype(np.int32),
        "a": np.concatenate([account, np.zeros_like(fee_hours)]).astype(np.int32),
        "k": np.concatenate([kind + 1, np.zeros_like(fee_hours)]).astype(np.int32),  # 0: no kind (the fee)
        "c": np.concatenate([category, np.full_like(fee_hours, FEE)]).astype(np.int8),
        "q": np.concatenate([np.round(by_category[hour, account, kind, category], 3), np.zeros(len(fee_hours))]),
    }
    hours = usage.shape[0]
    starts = START + np.arange(hours + 1).astype("timedelta64[h]")
    months = starts.astype("datetime64[M]")
    hour_table = {
        "h": np.arange(hours, dtype=np.int32),
        "start": _epoch(starts[:-1]),
        "end": _epoch(starts[1:]),
        "month": _epoch(months[:-1]),
        "next_month": _epoch(months[:-1] + np.timedelta64(1, "M")),
    }
    names = ("prod-web", "analytics", "staging", "ml-training", "data-platform", "mobile-api")
    account_table = {
        "a": np.arange(accounts, dtype=np.int32),
        "SubAccountId": _text(f"{(i * 7919 + 12345) % 10**12:012d}" for i in range(accounts)),
        "SubAccountName": _text(names[i] if i < len(names) else f"team-{i:03d}" for i in range(accounts)),
    }
    with connection() as con, replaced_atomically(path) as tmp:
        con.register("facts", facts)
        con.register("hour_table", hour_table)
        _enum_table(con, "accounts", account_table)
        _enum_table(con, "charges", _charge_table(kind_table, amount))
        constants = ", ".join(f"CAST({literal(value)} AS ENUM({literal(value)})) AS {name}" for name, value in (
            ("BillingAccountId", BILLING_ACCOUNT), ("BillingAccountName", "Demo Org"), ("BillingCurrency", "USD"),
            ("InvoiceIssuerName", "Demo Cloud"), ("PricingUnit", "Hours"), ("ProviderName", "Demo Cloud"),
            ("PublisherName", "Demo Cloud"), ("ServiceCategory", "Compute"), ("ServiceName", "Virtual Machines"),
        ))  # fmt: skip
        con.execute(
            f"""COPY (
            SELECT {constants},
                   to_timestamp(month) AS BillingPeriodStart, to_timestamp(next_month) AS BillingPeriodEnd,
                   ChargeCategory, ChargeClass, ChargeDescription, ChargeFrequency,
                   to_timestamp(start) AS ChargePeriodStart, to_timestamp("end") AS ChargePeriodEnd,
                   CommitmentDiscountCategory, CommitmentDiscountId, CommitmentDiscountName,
                   CommitmentDiscountStatus, CommitmentDiscountType,
                   CASE WHEN c <> {FEE} THEN q END AS ConsumedQuantity, ConsumedUnit,
                   round(quantity * list_price, 6) AS ContractedCost, list_price AS ContractedUnitPrice,
                   round(q * effective_rate, 6) AS EffectiveCost, round(quantity * billed_rate, 6) AS BilledCost,
                   round(quantity * list_price, 6) AS ListCost, list_price AS ListUnitPrice,
                   PricingCategory, quantity AS PricingQuantity,
                   RegionId, RegionName, ResourceType, SkuId, SkuPriceId, SubAccountId, SubAccountName
            FROM (SELECT *, CASE WHEN c = {FEE} THEN 1 ELSE q END AS quantity FROM facts)
            JOIN hour_table USING (h) JOIN accounts USING (a) JOIN charges USING (k, c)
            ORDER BY h, a, k, c
            ) TO {literal(str(tmp))} (FORMAT parquet, COMPRESSION zstd)"""
        )


def _charge_table(kind_table: dict[str, npt.NDArray[np.generic]], amount: float) -> dict[str, npt.NDArray[np.generic]]:
    """What a row says besides its time, account and quantity: one row per kind (k >= 1)
    and pricing category, and one for the savings plan's fee (k = 0)."""
    rows: list[dict[str, object]] = []
    for k, (region, region_name, sku, on_demand, sp1y) in enumerate(
        zip(*(kind_table[key] for key in ("region", "region_name", "sku", "on_demand", "sp1y"))), start=1
    ):
        rates = (on_demand, sp1y, round(SPOT_SHARE * float(on_demand), 5))
        for c, pricing in enumerate(CATEGORIES):
            committed = pricing == "Committed"
            rows.append({
                "k": k, "c": c, "ChargeCategory": "Usage", "ChargeFrequency": "Usage-Based",
                "ChargeDescription": f"{sku} in {region_name}, {pricing.lower()}",
                "PricingCategory": pricing, "ConsumedUnit": "Hours", "ResourceType": "Virtual Machine",
                "RegionId": region, "RegionName": region_name, "SkuId": sku,
                "SkuPriceId": f"{sku}:{region}:{pricing.lower()}",
                "CommitmentDiscountStatus": "Used" if committed else None,
                **_commitment(committed),
                "list_price": float(on_demand), "effective_rate": float(rates[c]),
                "billed_rate": 0.0 if committed else float(rates[c]),
            })  # fmt: skip
    rows.append({
        "k": 0, "c": FEE, "ChargeCategory": "Purchase", "ChargeFrequency": "Recurring",
        "ChargeDescription": "Savings plan hourly fee", **_commitment(True),
        "list_price": amount, "effective_rate": 0.0, "billed_rate": amount,
    })  # fmt: skip
    columns = ("ChargeClass", "PricingCategory", "ConsumedUnit", "ResourceType", "RegionId", "RegionName", "SkuId",
               "SkuPriceId", "CommitmentDiscountStatus")  # fmt: skip
    table: dict[str, npt.NDArray[np.generic]] = {}
    for key in dict.fromkeys([*rows[0], *columns]):
        values = [row.get(key) for row in rows]
        table[key] = np.array(values) if key in ("k", "c") or key.endswith(("_price", "_rate")) else _text(values)
    return table


def _commitment(committed: bool) -> dict[str, str | None]:
    values = ("Spend", COMMITMENT_ID, "Compute savings plan", "Savings Plan")
    keys = ("CommitmentDiscountCategory", "CommitmentDiscountId", "CommitmentDiscountName", "CommitmentDiscountType")
    return {key: value if committed else None for key, value in zip(keys, values)}


def _enum_table(con: Connection, name: str, columns: dict[str, npt.NDArray[np.generic]]) -> None:
    """Creates table `name` from NumPy columns, text columns as enumerations."""
    con.register(f"{name}_raw", columns)
    selected = []
    for column, values in columns.items():
        if values.dtype == object:
            type_name = f"{name}_{column}"
            con.execute(f"CREATE TYPE {type_name} AS ENUM (SELECT DISTINCT {column} FROM {name}_raw "
                        f"WHERE {column} IS NOT NULL ORDER BY ALL)")  # fmt: skip
            selected.append(f"CAST({column} AS {type_name}) AS {column}")
        else:
            selected.append(column)
    con.execute(f"CREATE TABLE {name} AS SELECT {', '.join(selected)} FROM {name}_raw")


def _text(values: Iterable[object]) -> npt.NDArray[np.object_]:
    return np.array(list(values), dtype=object)


def _epoch(times: npt.NDArray[np.generic]) -> npt.NDArray[np.int64]:
    return times.astype("datetime64[s]").astype(np.int64)


def _write_text(path: str, lines: list[str]) -> None:
    write_atomically(path, "\n".join(lines) + "\n")
