"""One `cost` pass over three years of hourly usage (26,280 periods x 32 kinds), against the
same pass written in numba (the peer to beat by at least 2x) and in NumPy, timed
interleaved in one run.

    python benchmarks/bench_cost.py [--rounds N] [--json]
"""

from functools import partial

import numba_peer
import numpy as np
from pass_race import race
from timing import arguments

import velmar_backend

PERIODS = 3 * 365 * 24
KINDS = 32
SEED = 11
TARGET = 2.0  # numba time / module time


def make_inputs():
    rng = np.random.default_rng(SEED)
    hour = np.arange(PERIODS)
    daily = 1.0 + 0.3 * np.sin(2 * np.pi * hour / 24.0)
    weekly = np.where((hour // 24) % 7 >= 5, 0.7, 1.0)
    scale = rng.uniform(1.0, 50.0, size=KINDS)
    usage = scale * (daily * weekly)[:, None] * rng.lognormal(0.0, 0.2, size=(PERIODS, KINDS))
    on_demand = rng.uniform(0.05, 2.0, size=KINDS)
    prices = np.vstack(
        [
            on_demand,
            on_demand * rng.uniform(0.6, 0.7, size=KINDS),
            on_demand * rng.uniform(0.55, 0.65, size=KINDS),
        ]
    )
    reserved = np.floor(0.5 * scale)
    levels = np.concatenate([[0.3 * float(np.median(usage @ prices[1]))], reserved])
    return usage, prices, levels


def numpy_cost(usage, prices, levels):
    """What a Python user would write: reservation step, savings plan kind by kind, on demand."""
    periods = usage.shape[0]
    remaining = np.maximum(usage - levels[1:], 0.0)
    budget = np.full(periods, levels[0])
    with np.errstate(divide="ignore", invalid="ignore"):
        for k in range(usage.shape[1]):
            rate = prices[1, k]
            covered = np.fmin(remaining[:, k], budget / rate)
            budget -= covered * rate
            remaining[:, k] -= covered
    reserved_cost = periods * float(levels[1:] @ prices[2])
    commitment_cost = periods * float(levels[0])
    return (reserved_cost + commitment_cost) + float((remaining * prices[0]).sum())


def main():
    args = arguments(__doc__, rounds=21).parse_args()
    usage, prices, levels = make_inputs()
    race(
        args,
        f"cost over {PERIODS:,} periods x {KINDS} kinds ({usage.size:,} cells), level vector broadcast",
        usage.size,
        TARGET,
        module=lambda: velmar_backend.cost(usage, prices, levels),
        numpy=lambda: numpy_cost(usage, prices, levels),
        make_peer=lambda: partial(numba_peer.SinglePlan(KINDS).cost, usage, prices, levels),
    )


if __name__ == "__main__":
    main()
