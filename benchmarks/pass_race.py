"""One cost pass of the module against the same pass in numba and in NumPy: the shared
body of bench_cost.py and bench_final_cost.py."""

import argparse
from collections.abc import Callable

import numba_peer
import numpy as np
from timing import interleaved, load_average, print_json


def race(
    args: argparse.Namespace,
    title: str,
    cells: int,
    target: float,
    module: Callable[[], float],
    numpy: Callable[[], float],
    make_peer: Callable[[], Callable[[], float]],
) -> None:
    """Times the contenders interleaved, checks that each returns the module's result to
    rel 1e-9, and prints the table (or the JSON figures) with the ratio numba / module
    against `target`. `make_peer` is called only when numba is installed."""
    contenders = {"module": module, "NumPy": numpy}
    if numba_peer.AVAILABLE:
        peer = make_peer()
        peer()  # compiles, or loads the cached machine code, outside the timed rounds
        contenders["numba"] = peer
    times = interleaved(contenders, args.rounds)
    result = times["module"].value
    for name, timing in times.items():
        if not np.isclose(timing.value, result, rtol=1e-9, atol=0.0):
            raise SystemExit(f"results differ: module {result!r}, {name} {timing.value!r}")
    if args.json:
        print_json({f"{name} s": timing.seconds for name, timing in times.items()})
        return

    import velmar_backend

    print(title)
    print(f"  module {velmar_backend.__file__}")
    print(f"  result     {result:,.6f} (every contender within rel 1e-9)")
    for name, timing in times.items():
        print(f"  {name:<10} {timing.seconds * 1e3:8.3f} ms  {timing.seconds * 1e9 / cells:6.3f} ns/cell")
    print(f"  best of {args.rounds} interleaved rounds; {load_average()}")
    module_seconds = times["module"].seconds
    if "numba" in times:
        ratio = times["numba"].seconds / module_seconds
        verdict = "met" if ratio >= target else "not met"
        print(f"  numba / module  {ratio:5.2f}x   (target at least {target:g}x: {verdict})")
    else:
        print(f"  {numba_peer.MISSING}")
    print(f"  NumPy / module  {times['NumPy'].seconds / module_seconds:5.2f}x")
