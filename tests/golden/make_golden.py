"""The golden results: a hash of every float the module returns for a few hundred fixed
inputs. A change to the C++ that moves any result by one bit shows up as a changed hash.

    python tests/golden/make_golden.py            # rewrite results.json from this build
    python tests/golden/make_golden.py --check    # compare, list the cases that differ

Rewrite the file only with a reason, and say it in the commit.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import struct
import sys
from collections.abc import Callable, Iterator
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np

import velmar_backend as vb

GOLDEN = Path(__file__).with_name("results.json")
NAMES = ("OD", "RI1Y", "RI3Y", "SP1Y", "SP3Y")
FIGURES = ("cost", "coverage", "underutilization")
HISTORY = ("costs", "coverages", "discounts", "choices", "underutilisation_cost", "speeds")

Case = tuple[str, Callable[[], Any]]


# --- inputs ------------------------------------------------------------------------------


def usage_matrix(rng: np.random.Generator, T: int, n: int, nan_share: float = 0.0) -> np.ndarray:
    """Usage with idle kinds, bursts, whole numbers and fractions mixed."""
    scale = rng.choice([0.5, 3.0, 40.0], size=n)
    u = rng.gamma(1.5, 1.0, (T, n)) * scale
    u[rng.random((T, n)) < 0.15] = 0.0
    whole = rng.random(n) < 0.4
    u[:, whole] = np.floor(u[:, whole])
    if nan_share:
        u[rng.random((T, n)) < nan_share] = np.nan
    return u


# Inputs derived from sums are summed exactly (math.fsum), never by NumPy's reductions,
# whose order differs between NumPy versions: the inputs, and so the hashes, must not.
def exact_sum(a: Any) -> float:
    """Sum of the non-NaN entries, correctly rounded."""
    flat = np.asarray(a, dtype=np.float64).ravel()
    return math.fsum(flat[~np.isnan(flat)])


def column_means(u: np.ndarray, skip_nan: bool = True) -> np.ndarray:
    """Mean of each column, of its non-NaN entries when `skip_nan` (NaN for none)."""
    out = []
    for column in u.T:
        kept = column[~np.isnan(column)] if skip_nan else column
        out.append(math.fsum(kept) / len(kept) if len(kept) else math.nan)
    return np.array(out, dtype=np.float64).reshape(u.shape[1])


def plan_prices(rng: np.random.Generator, n: int) -> np.ndarray:
    """Rows: on demand, savings-plan rate, reserved price per unit and period."""
    od = rng.uniform(0.2, 3.0, n)
    return np.vstack([od, od * rng.uniform(0.5, 0.8, n), od * rng.uniform(0.3, 0.6, n)])


def portfolio_prices(rng: np.random.Generator, names: list[str], n: int) -> np.ndarray:
    od = rng.uniform(0.2, 3.0, n)
    share = {"OD": 1.0, "SP1Y": 0.75, "SP3Y": 0.6, "RI1Y": 0.55, "RI3Y": 0.4}
    rows = [od * share[name[:4]] * rng.uniform(0.95, 1.05, n) for name in names]
    return np.vstack(rows) if rows else np.zeros((0, n))


def columns_of(names: list[str], n: int) -> int:
    return sum(n if name.startswith("RI") else 1 if name.startswith("SP") else 0 for name in names)


def layouts(a: np.ndarray) -> dict[str, np.ndarray]:
    """The same values in the layouts the module reads differently."""
    wide = np.zeros((a.shape[0], 2 * a.shape[1]))
    wide[:, ::2] = a
    return {"c": np.ascontiguousarray(a), "f": np.asfortranarray(a), "strided": wide[:, ::2]}


# --- hashing -----------------------------------------------------------------------------


def encode(value: Any) -> bytes:
    """Every bit of a result, with its type and shape."""
    if value is None:
        return b"N"
    if isinstance(value, bool):
        return b"B" + bytes([value])
    if isinstance(value, float):
        return b"F" + struct.pack("<d", value)
    if isinstance(value, int):
        return b"I" + value.to_bytes(16, "little", signed=True)
    if isinstance(value, np.ndarray):
        a = np.ascontiguousarray(value)
        return b"A" + a.dtype.str.encode() + repr(a.shape).encode() + a.tobytes()
    if isinstance(value, dict):
        return b"D" + b"".join(encode(k.encode()) + encode(v) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return b"L" + len(value).to_bytes(4, "little") + b"".join(encode(v) for v in value)
    if isinstance(value, bytes):
        return b"S" + len(value).to_bytes(4, "little") + value
    fields = ("n_iter", "minimum", "coverage", "underutilization_cost", "step_size", "commitments")
    if all(hasattr(value, f) for f in fields):
        history = [getattr(value.convergence, h) for h in HISTORY]
        return b"R" + encode([getattr(value, f) for f in fields] + history)
    raise TypeError(f"cannot encode {type(value).__name__}")


def outcome(run: Callable[[], Any]) -> bytes:
    """The result's bits, or the failure's type and message."""
    try:
        return encode(run())
    except BaseException as e:  # the module's failure is a BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return b"E" + type(e).__name__.encode() + b":" + str(e).encode()


def digest(run: Callable[[], Any]) -> str:
    return hashlib.sha256(outcome(run)).hexdigest()[:16]


# --- cases -------------------------------------------------------------------------------


def plan_cases() -> Iterator[Case]:
    """cost and coverage of one plan: widths 1 to 512, hourly and daily lengths, NaN cells,
    plan vectors, single values and level matrices in every layout."""
    rng = np.random.default_rng(1)
    shapes = [(1, 1), (7, 1), (40, 2), (513, 3), (1100, 4), (300, 8), (64, 16), (90, 33), (24, 64),
              (9000, 2), (20, 128), (6, 256), (5, 512), (0, 3), (3, 0), (26280, 32)]
    for T, n in shapes:
        for nan_share in (0.0, 0.05):
            u = usage_matrix(rng, T, n, nan_share)
            p = plan_prices(rng, n)
            base = column_means(u, skip_nan=False) if T else np.zeros(n)
            plan = np.concatenate([[rng.uniform(0, 2) * exact_sum(base * p[1])],
                                   np.floor(np.nan_to_num(base) * rng.uniform(0.2, 1.2, n))])
            matrix = np.floor(plan * rng.uniform(0.5, 1.5, (T, n + 1)))
            levels = {"vector": plan, "one": plan[:1].copy(), "none": np.zeros(n + 1)}
            levels.update({f"matrix-{k}": v for k, v in layouts(matrix).items()})
            if T:
                levels["broadcast"] = np.broadcast_to(plan, (T, n + 1))
            usages = layouts(u) if T * n and n > 1 else {"c": u}
            for uname, uu in usages.items():
                for lname, lv in levels.items():
                    if uname != "c" and lname not in ("vector", "matrix-c"):
                        continue
                    tag = f"plan/{T}x{n}/nan{nan_share}/{uname}/{lname}"
                    yield tag + "/cost", partial(vb.cost, uu, p, lv)
                    yield tag + "/coverage", partial(vb.coverage, uu, p, lv)


PORTFOLIOS = [
    ["OD"],
    ["RI1Y", "SP1Y", "OD"],
    ["OD", "SP3Y", "RI3Y"],
    ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"],
    ["SP1Y", "RI1Y"],
    ["RI1Y", "RI1Y", "OD"],
    ["SP3Y", "SP1Y", "SP1Y", "OD"],
    ["OD", "RI3Y"],
]


def portfolio_cases() -> Iterator[Case]:
    """final_cost_coverage_underutilization: model lists, commitments that expire inside
    the history (daily beyond 365 and 1095 rows, hourly beyond 8760), tiled, broadcast
    and per-period levels, NaN cells, widths 1 to 512."""
    rng = np.random.default_rng(2)
    shapes = [("H", 30, 1), ("H", 200, 3), ("D", 400, 2), ("D", 1200, 3), ("H", 8800, 1), ("H", 8790, 2),
              ("D", 370, 8), ("H", 48, 32), ("D", 20, 130), ("H", 4, 512)]
    for period, T, n in shapes:
        for i, names in enumerate(PORTFOLIOS):
            if n >= 130 and i % 3:
                continue
            nan_share = 0.03 if i % 2 else 0.0
            u = usage_matrix(rng, T, n, nan_share)
            p = portfolio_prices(rng, names, n)
            width = columns_of(names, n)
            row = np.floor(rng.uniform(0, 1.2, width) * np.concatenate(
                [column_means(u) if name.startswith("RI") else [exact_sum(column_means(u))]
                 for name in names if name != "OD"] or [np.zeros(0)]))
            variants = {"tiled": np.tile(row, (T, 1)), "per-period": np.floor(row * rng.uniform(0.5, 1.5, (T, width)))}
            if T:
                variants["broadcast"] = np.broadcast_to(row, (T, width))
                variants["f"] = np.asfortranarray(variants["per-period"])
            for vname, levels in variants.items():
                for figure in FIGURES:
                    tag = f"portfolio/{period}{T}x{n}/{'-'.join(names)}/{vname}/{figure}"
                    yield tag, partial(vb.final_cost_coverage_underutilization, u, p, levels, names, period, figure)


def simple_cases() -> Iterator[Case]:
    """simple_optimisation with and without details, given and default steps and starts."""
    rng = np.random.default_rng(3)
    shapes = [("H", 24, 1), ("H", 120, 2), ("D", 60, 3), ("D", 400, 2), ("H", 48, 5), ("D", 30, 8), ("H", 200, 16),
              ("D", 40, 32)]
    for j, (period, T, n) in enumerate(shapes):
        for nan_share in (0.0, 0.04) if j < 2 else (0.0,):
            u = usage_matrix(rng, T, n, nan_share)
            p = plan_prices(rng, n)
            hours = 24.0 if period == "D" else 1.0
            spend = exact_sum(u * p[0]) / max(T, 1)
            start = np.concatenate([[0.3 * spend], np.floor(column_means(u) / hours * 0.5)])
            for horizon in ("1Y", "3Y"):
                for details in (None, True):
                    for step_name, step in (("default", None), ("given", max(spend, 1.0) / 20)):
                        for start_name, s in (("low", None), ("given", start)):
                            tag = f"simple/{period}{T}x{n}/nan{nan_share}/{horizon}/{details}/{step_name}/{start_name}"
                            yield tag, partial(vb.simple_optimisation, u, p, period, horizon, details, step, s)


SEARCHES = [
    (["RI1Y", "SP1Y", "OD"], 0),
    (["OD", "SP3Y", "RI3Y"], 0),
    (["RI3Y", "SP1Y", "OD", "payed_a"], 1),
    (["SP1Y", "RI1Y"], 0),
    (["RI1Y", "OD"], 0),
    (["payed_a", "SP3Y", "payed_b", "OD"], 2),
]


def search_cases() -> Iterator[Case]:
    """The searches that draw nothing: general_optimisation's variation search, gradient
    descent and a single inertial run from zero (n_starts=0), and optimise_predictions
    from zero; with and without details, default and given steps, expiry inside the
    history."""
    rng = np.random.default_rng(4)
    shapes = [("H", 48, 1), ("D", 60, 2), ("D", 400, 2), ("H", 8770, 1), ("H", 72, 4), ("D", 1100, 3), ("H", 30, 16),
              ("D", 20, 32)]
    for period, T, n in shapes:
        for i, (names, paid) in enumerate(SEARCHES):
            if T > 1000 and i % 2:
                continue
            u = usage_matrix(rng, T, n, 0.03 if i == 1 and T < 100 else 0.0)
            p = portfolio_prices(rng, [name if not name.startswith("payed") else "SP3Y" for name in names], n)
            current = np.floor(rng.uniform(0, 1, (T, paid)) * exact_sum(column_means(u) * p[0]) * 0.3)
            spend = exact_sum(u * p[-1]) / T
            for optimiser in ("x", "gradient_descent", "inertial"):
                for details in (None, True):
                    for step_name, step in (("default", None), ("given", max(spend, 0.5) / 10)):
                        if optimiser == "inertial" and step is not None:
                            continue
                        tag = f"general/{period}{T}x{n}/{'-'.join(names)}/{optimiser}/{details}/{step_name}"
                        yield tag, partial(vb.general_optimisation, u, p, current, names, period, 0, optimiser, details,
                                           step)
    for period, (S, T, n) in (("H", (3, 40, 2)), ("D", (2, 380, 2)), ("H", (4, 24, 3))):
        for names, paid in SEARCHES[:4]:
            pred = np.stack([usage_matrix(rng, T, n) for _ in range(S)])
            p = portfolio_prices(rng, [name if not name.startswith("payed") else "SP3Y" for name in names], n)
            current = np.floor(rng.uniform(0, 5, (T, paid)))
            for details in (None, True):
                tag = f"predictions/{period}{S}x{T}x{n}/{'-'.join(names)}/{details}"
                yield tag, partial(vb.optimise_predictions, pred, p, current, names, period, 0, details)


def failure_cases() -> Iterator[Case]:
    """Shape failures whose messages are built from the shapes involved."""
    u = np.ones((5, 3))
    p3 = np.ones((3, 3))
    yield "failure/plan-prices", lambda: vb.cost(u, np.ones((2, 3)), np.zeros(4))
    yield "failure/plan-levels", lambda: vb.cost(u, p3, np.zeros((5, 3)))
    yield "failure/plan-vector", lambda: vb.coverage(u, p3, np.zeros(3))
    yield "failure/portfolio-prices", lambda: vb.final_cost_coverage_underutilization(
        u, np.ones((1, 3)), np.zeros((5, 4)), ["RI1Y", "SP1Y", "OD"], "H", "cost")
    yield "failure/portfolio-levels", lambda: vb.final_cost_coverage_underutilization(
        u, p3, np.zeros((5, 2)), ["RI1Y", "SP1Y", "OD"], "H", "cost")
    yield "failure/portfolio-rows", lambda: vb.final_cost_coverage_underutilization(
        u, p3, np.zeros((4, 4)), ["RI1Y", "SP1Y", "OD"], "H", "cost")
    yield "failure/search-prices", lambda: vb.general_optimisation(
        u, np.ones((1, 3)), np.zeros((5, 0)), ["RI1Y", "OD"], "H", 0, "x", None, None)
    yield "failure/search-current", lambda: vb.general_optimisation(
        u, p3, np.zeros((5, 0)), ["payed_a", "OD"], "H", 0, "x", None, None)
    yield "failure/simple-start", lambda: vb.simple_optimisation(u, p3, "H", "1Y", None, 1.0, np.zeros(2))
    yield "failure/predictions-prices", lambda: vb.optimise_predictions(
        np.ones((2, 5, 3)), np.ones((1, 3)), np.zeros((5, 0)), ["RI1Y", "OD"], "H", 0, None)


def cases() -> Iterator[Case]:
    yield from plan_cases()
    yield from portfolio_cases()
    yield from simple_cases()
    yield from search_cases()
    yield from failure_cases()


def compute() -> dict[str, str]:
    out: dict[str, str] = {}
    for tag, run in cases():
        if tag in out:
            raise ValueError(f"case {tag} listed twice")
        out[tag] = digest(run)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare with the file instead of writing it")
    args = parser.parse_args(argv)
    hashes = compute()
    if args.check:
        golden = json.loads(GOLDEN.read_text())
        changed = sorted(k for k in golden.keys() | hashes.keys() if golden.get(k) != hashes.get(k))
        print("\n".join(changed) or f"all {len(hashes)} cases unchanged")
        return 1 if changed else 0
    GOLDEN.write_text(json.dumps(hashes, indent=0, sort_keys=True) + "\n")
    print(f"{len(hashes)} cases written to {GOLDEN}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
