"""Timing helpers shared by the benchmark scripts."""

import json
import os
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any, NamedTuple


class Timing(NamedTuple):
    seconds: float  # wall time of the fastest call
    cpu_seconds: float  # process CPU time of that call (all threads)
    value: Any  # what the last call returned


def best_time(fn: Callable[[], Any], repeats: int) -> Timing:
    best = (float("inf"), 0.0)
    value = None
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        value = fn()
        best = min(best, (time.perf_counter() - wall, time.process_time() - cpu))
    return Timing(best[0], best[1], value)


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
