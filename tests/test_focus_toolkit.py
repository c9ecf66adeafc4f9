"""The loader on exports that nobody here wrote (focus-data-toolkit), against sums made with the csv module."""

from __future__ import annotations

import csv
import subprocess
import sys
from collections import defaultdict
from datetime import datetime
from pathlib import Path

import numpy as np
import pytest

from velmar import data

pytest.importorskip("focus_data_toolkit")

EXPORTS = [(provider, version) for provider in ("aws", "azure", "gcp") for version in ("1.2", "1.3")]
HOURS = {"hours", "hour", "hrs", "hr", "h", "1 hour", "1 hours"}


@pytest.fixture(scope="module", params=EXPORTS, ids=[f"{p}-{v}" for p, v in EXPORTS])
def export(
    request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory
) -> tuple[Path, list[dict[str, str]]]:
    provider, version = request.param
    folder = tmp_path_factory.mktemp(f"{provider}{version}")
    command = [sys.executable, "-m", "focus_data_toolkit", "generate", "--provider", provider]
    command += ["--focus-version", version, "--rows", "800", "--seed", "11", "--out", str(folder)]
    subprocess.run(command, check=True, capture_output=True, timeout=300)
    rows = [row for path in sorted(folder.glob("*cost_and_usage*.csv")) for row in csv.DictReader(path.open())]
    return folder, rows


def seconds(text: str) -> int:
    return int(datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp())


def expected(rows: list[dict[str, str]]) -> tuple[dict[tuple[int, str], float], float, dict[str, float]]:
    """Usage per (hour, kind) of the rows metered in hours, spread by overlap; the rest's spend by service."""
    usage: dict[tuple[int, str], float] = defaultdict(float)
    outside: dict[str, float] = defaultdict(float)
    for row in rows:
        if row["ChargeCategory"] != "Usage" or row["PricingCategory"] == "Dynamic":
            continue
        if row["CommitmentDiscountStatus"] == "Unused":
            continue
        if row["ConsumedUnit"].strip().lower() not in HOURS:
            outside[row["ServiceName"]] += float(row["EffectiveCost"] or row["BilledCost"] or 0)
            continue
        if not row["ConsumedQuantity"]:
            continue
        start, end, kind = seconds(row["ChargePeriodStart"]), seconds(row["ChargePeriodEnd"]), row["RegionId"]
        kind += "/" + row["SkuId"]
        for hour in range(start - start % 3600, max(end, start + 1), 3600):
            share = (min(hour + 3600, end) - max(hour, start)) / (end - start) if end - start > 3600 else 1.0
            usage[hour, kind] += float(row["ConsumedQuantity"]) * share
    return usage, sum(outside.values()), outside


def test_usage_and_the_spend_left_out_match_the_rows(export: tuple[Path, list[dict[str, str]]]) -> None:
    folder, rows = export
    usage, spend, by_service = expected(rows)
    history = data.load_focus(str(folder / "*.csv"))
    first = int(history.timestamps[0].astype("datetime64[s]").astype(np.int64))
    matrix = np.zeros_like(history.usage)
    for (hour, kind), quantity in usage.items():
        matrix[(hour - first) // 3600, history.kinds.index(kind)] += quantity
    np.testing.assert_allclose(history.usage, matrix, rtol=1e-9, atol=1e-9)
    assert history.currency == "USD"
    assert history.outside_plan is not None
    assert history.outside_plan.spend == pytest.approx(spend, rel=1e-9)
    top = sorted(by_service.items(), key=lambda item: -item[1])[:5]
    assert [name for name, _ in history.outside_plan.top_services] == [name for name, _ in top]


def test_kinds_named_plan_alone_and_the_rest_is_spend(export: tuple[Path, list[dict[str, str]]]) -> None:
    folder, _ = export
    every = data.load_focus(str(folder / "*.csv"))
    planned = every.kinds[::2]
    some = data.load_focus(data.resolve_export(str(folder / "*.csv")), kinds=planned)
    assert some.kinds == planned
    np.testing.assert_allclose(some.usage.sum(axis=0), every.usage[:, ::2].sum(axis=0))
    assert some.outside_plan is not None and every.outside_plan is not None
    assert some.outside_plan.spend > every.outside_plan.spend


def test_commitments_of_the_export(export: tuple[Path, list[dict[str, str]]]) -> None:
    folder, rows = export
    resolved = data.resolve_export(str(folder / "*.csv"))
    seen = data.list_commitments(resolved)
    assert {c.id for c in seen} == {
        r["CommitmentDiscountId"] for r in rows if r["CommitmentDiscountId"] and r["ChargeCategory"] == "Usage"
    }
    assert all(c.used_share is not None and 0.0 <= c.used_share <= 1.0 for c in seen)
    history = data.load_focus(resolved)
    plans, reservations, note = data.existing_from_export(resolved, history)
    assert all(plan.amount_per_hour > 0 for plan in plans)
    assert all(owned.kind in history.kinds and owned.units > 0 for owned in reservations)
    assert ("contract commitments (" in note) == (
        resolved.contract_commitments is not None and bool(plans or reservations)
    )
