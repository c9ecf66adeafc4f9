"""`velmar recommend --export` end to end on exports that nobody here wrote (focus-data-toolkit)."""

import csv
import json
import subprocess
import sys

import pytest

from velmar.cli import main

pytest.importorskip("focus_data_toolkit")

EXPORTS = [(provider, version) for provider in ("aws", "azure", "gcp") for version in ("1.2", "1.3")]


@pytest.fixture(scope="module", params=EXPORTS, ids=[f"{p}-{v}" for p, v in EXPORTS])
def export(request, tmp_path_factory):
    """A generated export folder and a price file for the kinds of its most metered hourly service."""
    provider, version = request.param
    folder = tmp_path_factory.mktemp(f"{provider}{version}")
    subprocess.run(
        [sys.executable, "-m", "focus_data_toolkit", "generate", "--provider", provider, "--focus-version", version,
         "--rows", "1500", "--seed", "3", "--out", str(folder)],
        check=True, capture_output=True, timeout=300,
    )  # fmt: skip
    rows = [row for path in folder.glob("*cost_and_usage*.csv") for row in csv.DictReader(path.open())]
    hourly = [row for row in rows if row["ChargeCategory"] == "Usage" and row["ConsumedUnit"] == "Hours"]
    compute = max(
        {row["ServiceName"] for row in hourly}, key=lambda name: sum(r["ServiceName"] == name for r in hourly)
    )
    kinds = sorted({f"{row['RegionId']}/{row['SkuId']}" for row in hourly if row["ServiceName"] == compute})
    prices = folder / "prices.csv"
    prices.write_text(
        "kind,on_demand,sp1y,sp3y,ri1y,ri3y\n" + "".join(f"{kind},0.10,0.08,0.06,0.07,0.05\n" for kind in kinds)
    )
    return folder, prices, kinds


def test_an_export_plans_as_it_is(export, tmp_path, capsys):
    folder, prices, kinds = export
    out = tmp_path / "rec.json"
    args = ["recommend", "--export", str(folder / "*.csv"), "--prices", str(prices), "--json", str(out)]
    assert main(args) == 0, capsys.readouterr().err
    document = json.loads(out.read_text())
    assert sorted(document["kinds"]) == kinds
    assert document["currency"] == "USD"
    assert document["outside_plan"]["spend"] > 0 and document["outside_plan"]["top_services"]
    assert document["lower_bound"] <= document["cost"] * (1 + 1e-9) <= document["on_demand_cost"] * (1 + 1e-9)


def test_without_a_rate_card_every_hourly_kind_plans_on_assumed_discounts(export, tmp_path, capsys):
    folder, _, kinds = export
    out = tmp_path / "rec.json"
    args = ["recommend", "--export", str(folder / "*.csv"), "--discounts", "RI3Y=0.6,SP1Y=0.25", "--json", str(out)]
    assert main(args) == 0, capsys.readouterr().err
    document = json.loads(out.read_text())
    assert set(kinds) <= set(document["kinds"])
    assert document["assumed_discounts"] == {"RI3Y": 0.6, "SP1Y": 0.25}


def test_the_commitments_an_export_shows_are_listed(export, tmp_path, capsys):
    folder, _, _ = export
    out = tmp_path / "commitments.json"
    assert main(["commitments", "--export", str(folder / "*.csv"), "--json", str(out)]) == 0, capsys.readouterr().err
    listed = json.loads(out.read_text())["commitments"]
    assert listed and all(0.0 <= (row["used_share"] or 0.0) <= 1.0 for row in listed)
