"""The planner's one road to the numerical module `velmar_backend`.

Every call of the planner to the module goes through here, and so do two facts about it:

  - A search's price rows and model names follow `Portfolio.search_models()` (existing
    plans as "payed_<i>" names with their money per period), and its result comes back
    by term, in the single-plan layout (`Portfolio.levels_of_commitments`).
  - The module writes one line to the process's standard error (file descriptor 2, below
    Python) for each failure it reports, a Ctrl-C included. The planner says "interrupted"
    itself, so each call runs with descriptor 2 sent to a spool file, and afterwards
    everything the spool holds except the module's interrupt line goes on to the real
    standard error. Whatever draws on the terminal during a call (a live display refreshed
    from a signal handler) therefore writes to a copy of descriptor 2 made before
    (`velmar.progress.stderr_copy`).
"""

from __future__ import annotations

import os
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, TypeVar

import numpy as np

import velmar_backend
from velmar.errors import MODULE_INTERRUPT_MESSAGE
from velmar.records import Floats

if TYPE_CHECKING:
    from velmar.portfolio import Levels, Portfolio

Result = TypeVar("Result")

#: The start of the line the module writes to standard error when a Ctrl-C stops it.
INTERRUPT_LINE = f"velmar_backend: internal failure: {MODULE_INTERRUPT_MESSAGE} (".encode()


def portfolio_figure(
    usage: Floats, prices: Floats, levels: Floats, models: Sequence[str], period: str, what: str
) -> float:
    """`final_cost_coverage_underutilization`: the "cost", "coverage" or "underutilization" of a level matrix."""
    return float(
        _call(velmar_backend.final_cost_coverage_underutilization, usage, prices, levels, list(models), period, what)
    )


def single_plan_search(portfolio: Portfolio, term: str) -> Levels:
    """`simple_optimisation` for one term from zero (deterministic); a model not planned is priced out.

    A missing savings plan or reservation gets the on-demand price as its rate, so no
    step towards it pays; whatever the search keeps of it is dropped afterwards.
    """
    on_demand = portfolio.on_demand
    savings = portfolio.rates.get(f"SP{term}", on_demand)
    reserved = portfolio.rates.get(f"RI{term}", on_demand)
    result = _call(
        velmar_backend.simple_optimisation,
        portfolio.usage,
        np.vstack([on_demand, savings, reserved]),
        portfolio.period,
        term,
        starting_point=np.zeros(len(portfolio.kinds) + 1),
    )
    return portfolio.levels_of_commitments(result.commitments)


def portfolio_search(portfolio: Portfolio, optimiser: str, n_starts: int) -> Levels:
    """`general_optimisation` over the portfolio's models; its starting points are drawn from the OS."""
    result = _call(
        velmar_backend.general_optimisation,
        portfolio.usage,
        portfolio.pricing_prices(),
        portfolio.existing_money,
        portfolio.search_models(),
        portfolio.period,
        n_starts,
        optimiser,
    )
    return portfolio.levels_of_commitments(result.commitments)


def predictions_search(portfolio: Portfolio, predictions: Floats, n_starts: int) -> tuple[Levels, float]:
    """`optimise_predictions`: the levels of least mean cost over `predictions`, and that mean cost."""
    result = _call(
        velmar_backend.optimise_predictions,
        predictions,
        portfolio.pricing_prices(),
        portfolio.existing_money,
        portfolio.search_models(),
        portfolio.period,
        n_starts,
    )
    return portfolio.levels_of_commitments(result.commitments), float(result.minimum)


def random_single_plans(usage: Floats, prices: Floats, n_sample: int, period: str) -> Floats:
    """`generate_cost_and_coverage`: (n_sample, 2) cost and coverage of random single plans."""
    pieces = os.cpu_count() or 1
    return np.asarray(_call(velmar_backend.generate_cost_and_coverage, usage, prices, n_sample, pieces, period))


def _call(function: Callable[..., Result], *args: object, **kwargs: object) -> Result:
    with _module_stderr():
        return function(*args, **kwargs)


class _Spool:
    """Descriptor 2 sent to a spool file while a module call runs (calls nest: the outermost sends)."""

    def __init__(self) -> None:
        self.lock = threading.RLock()  # a signal handler's call may nest inside enter or leave
        self.depth = 0
        self.fd: int | None = None
        self.pid = 0
        self.saved = -1

    def enter(self) -> None:
        with self.lock:
            self.depth += 1
            if self.depth > 1:
                return
            if self.fd is None or self.pid != os.getpid():  # a forked child writes a spool of its own
                self.fd, path = tempfile.mkstemp(prefix="velmar-stderr-")
                os.unlink(path)
                self.pid = os.getpid()
            self.saved = os.dup(2)
            os.dup2(self.fd, 2)

    def leave(self) -> None:
        with self.lock:
            self.depth -= 1
            if self.depth or self.fd is None:
                return
            os.dup2(self.saved, 2)
            os.close(self.saved)
            size = os.fstat(self.fd).st_size
            if size == 0:
                return
            written = os.pread(self.fd, size, 0)
            os.ftruncate(self.fd, 0)
            os.lseek(self.fd, 0, os.SEEK_SET)
        kept = b"".join(line for line in written.splitlines(keepends=True) if not line.startswith(INTERRUPT_LINE))
        while kept:
            kept = kept[os.write(2, kept) :]


_SPOOL = _Spool()


@contextmanager
def _module_stderr() -> Iterator[None]:
    _SPOOL.enter()
    try:
        yield
    finally:
        _SPOOL.leave()
