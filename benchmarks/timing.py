"""Timing helpers shared by the benchmark scripts.

Contenders are timed interleaved: every round calls each of them once, in an order that
rotates from round to round, and each keeps its best time. A burst of load on the machine
then slows one round of every contender instead of all the rounds of one of them. The
order runs forwards and backwards in turn, so every contender follows every other as often:
a contender that reads the same arrays warms the caches for the one after it, and a
rotation alone would give that advantage to the same contender in two rounds of three.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple


class Timing(NamedTuple):
    seconds: float  # wall time of the fastest call
    cpu_seconds: float  # process CPU time of that call (all threads)
    value: Any  # what that call returned


def interleaved(contenders: Mapping[str, Callable[[], Any]], rounds: int) -> dict[str, Timing]:
    """The fastest call of each contender over `rounds` rounds (at least one).

    Round r calls the contenders in their order rotated by r, reversed in every other run
    of len(contenders) rounds. A contender that returns a Timing has timed itself (a child
    process, or a call with set-up to leave out): its figures replace those of the call.
    """
    best: dict[str, Timing] = {}
    for round_ in range(max(rounds, 1)):
        names = list(contenders)
        if (round_ // len(names)) % 2:
            names.reverse()
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            wall, cpu = time.perf_counter(), time.process_time()
            value = contenders[name]()
            timing = Timing(time.perf_counter() - wall, time.process_time() - cpu, value)
            if isinstance(value, Timing):
                timing = value
            if name not in best or timing.seconds < best[name].seconds:
                best[name] = timing
    return best


def timed(stages: dict[str, float], name: str) -> Callable[[str], None]:
    """A progress callback that charges wall time to the stage last announced (`name` until the first);
    "polish pass 3" counts as "polish"."""
    last = [name, time.perf_counter()]

    def say(stage: str) -> None:
        now = time.perf_counter()
        label = str(last[0]).split(" pass")[0]
        stages[label] = stages.get(label, 0.0) + now - float(last[1])
        last[:] = [stage, now]

    return say


def load_average() -> str:
    """The machine's load average, to print beside the ratios that load distorts."""
    return "load average {:.2f} {:.2f} {:.2f} (1, 5, 15 min)".format(*os.getloadavg())


def arguments(description: str | None, rounds: int) -> argparse.ArgumentParser:
    """The flags every benchmark script takes: --rounds and --json."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=rounds, help=f"interleaved rounds (default {rounds})")
    parser.add_argument(
        "--json",
        action="store_true",
        help='print the figures as one JSON object, name -> seconds (" s") or rate (" /s"), instead of the table',
    )
    return parser


def print_json(figures: Mapping[str, float]) -> None:
    """The figures of a --json run: names end in " s" (seconds, lower is better) or " /s"
    (a rate, higher is better)."""
    print(json.dumps(dict(figures)))


def run_on_one_cpu(script: str, *args: Any) -> Any:
    """Runs `script --one-worker CPU ARGS...` and returns what it prints as JSON.

    The child must pin itself to CPU with os.sched_setaffinity before it imports
    velmar_backend: the worker pool counts the CPUs it may use when it first starts.
    """
    cpu = min(os.sched_getaffinity(0))
    child = subprocess.run(
        [sys.executable, script, "--one-worker", str(cpu), *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(child.stdout)
