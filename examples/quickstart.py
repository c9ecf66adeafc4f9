"""Quickstart: price a few commitment plans against two years of daily compute usage.

Units, kept the same throughout:
- a usage cell is the instance-hours of one instance kind used on one day;
- prices row 0 is the on-demand price of one instance-hour, row 1 the savings-plan
  rate (money the savings plan spends per instance-hour it covers), row 2 the price of
  one reserved instance-hour;
- a plan is [savings-plan money per day, reserved instance-hours per day of each kind].
  Reserving N instances of a kind around the clock is 24 * N reserved instance-hours a day.
"""

import numpy as np

import velmar_backend

DAYS = 730
HOURS_PER_DAY = 24.0
SEED = 20240601

# name, on-demand price per hour, instances running at the start, weekend dip, growth per year
KINDS = [
    ("general-2x", 0.096, 40.0, 0.35, 0.30),
    ("compute-4x", 0.170, 25.0, 0.45, 0.15),
    ("memory-8x", 0.504, 12.0, 0.10, 0.20),
    ("storage-4x", 0.312, 8.0, 0.05, 0.10),
    ("accel-1x", 0.900, 4.0, 0.50, 0.60),
]


def make_usage(rng):
    """Daily instance-hours, shape (DAYS, kinds): growth, a weekly cycle, noise and one spike."""
    day = np.arange(DAYS)
    weekend = (day % 7) >= 5
    columns = []
    for _, _, start, dip, growth in KINDS:
        trend = start * (1.0 + growth * day / 365.0)
        weekly = np.where(weekend, 1.0 - dip, 1.0)
        noise = rng.normal(1.0, 0.06, size=DAYS)
        columns.append(trend * weekly * noise)
    usage = np.column_stack(columns)
    # A two-week launch campaign in the second year nearly doubles the general fleets.
    spike = slice(480, 494)
    usage[spike, :2] *= rng.uniform(1.6, 1.9, size=(14, 2))
    return np.clip(usage, 0.0, None) * HOURS_PER_DAY


def make_prices(rng):
    """Three price rows per kind: on demand, savings-plan rate, reserved instance-hour."""
    on_demand = np.array([k[1] for k in KINDS])
    savings_rate = on_demand * rng.uniform(0.60, 0.70, size=len(KINDS))
    reserved = on_demand * rng.uniform(0.55, 0.65, size=len(KINDS))
    return np.vstack([on_demand, savings_rate, reserved])


def base_load_reservations(usage, quantile=5):
    """Whole instances that run on nearly every day, as reserved instance-hours per day."""
    instances = np.floor(np.percentile(usage / HOURS_PER_DAY, quantile, axis=0))
    return instances * HOURS_PER_DAY


def modest_commitment(usage, prices, reserved, share=0.5, quantile=10):
    """Savings-plan money per day: a share of a low day's demand left after reservations."""
    left = np.clip(usage - reserved, 0.0, None)
    daily_demand = left @ prices[1]
    return share * float(np.percentile(daily_demand, quantile))


def candidate_plans(usage, prices):
    """Plans as [savings-plan money per day, reserved instance-hours per day of each kind]."""
    n = usage.shape[1]
    none = np.zeros(n)
    base = base_load_reservations(usage)
    return [
        ("on demand only", np.concatenate([[0.0], none])),
        ("modest savings plan", np.concatenate([[modest_commitment(usage, prices, none)], none])),
        ("reserve the base load", np.concatenate([[0.0], base])),
        ("base load + savings plan", np.concatenate([[modest_commitment(usage, prices, base)], base])),
    ]


def section_history(usage, prices):
    print(f"Usage history: {usage.shape[0]} days x {usage.shape[1]} instance kinds")
    print(f"{'kind':<12} {'on demand/h':>11} {'plan rate/h':>11} {'reserved/h':>10} {'mean inst.':>10} {'peak inst.':>10}")
    for k, (name, *_) in enumerate(KINDS):
        running = usage[:, k] / HOURS_PER_DAY
        print(f"{name:<12} {prices[0, k]:>11.3f} {prices[1, k]:>11.3f} {prices[2, k]:>10.3f}"
              f" {running.mean():>10.1f} {running.max():>10.1f}")
    print()


def section_candidate_plans(usage, prices):
    plans = candidate_plans(usage, prices)
    on_demand_cost = velmar_backend.cost(usage, prices, plans[0][1])
    print("Candidate plans over the two years")
    print(f"{'plan':<26} {'plan/day':>9} {'reserved':>9} {'cost':>12} {'saving':>8} {'coverage':>9}")
    for label, levels in plans:
        total = velmar_backend.cost(usage, prices, levels)
        covered = velmar_backend.coverage(usage, prices, levels)
        reserved_instances = levels[1:].sum() / HOURS_PER_DAY
        saving = 1.0 - total / on_demand_cost
        print(f"{label:<26} {levels[0]:>9.2f} {reserved_instances:>9.0f} {total:>12,.0f}"
              f" {saving:>8.1%} {covered:>9.1%}")
    print()
    print("plan/day: savings-plan money committed per day; reserved: instances reserved around the clock;")
    print("coverage: share of the on-demand value of the usage paid for by commitments.")
    print()


def main():
    rng = np.random.default_rng(SEED)
    usage = make_usage(rng)
    prices = make_prices(rng)
    section_history(usage, prices)
    section_candidate_plans(usage, prices)


if __name__ == "__main__":
    main()
