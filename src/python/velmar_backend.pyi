"""Prices and optimises prepaid compute commitments over usage histories.

A usage matrix has one row per period (an hour, or a day with period "D") and one column
per instance kind. Every failure the module detects itself raises its internal-failure
exception, which derives from BaseException (not Exception), after a one-line report on
standard error. Result objects are bound to the thread that created them.
"""

from collections.abc import Sequence
from typing import Any, final, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "Results",
    "cost",
    "coverage",
    "final_cost_coverage_underutilization",
    "general_optimisation",
    "generate_cost_and_coverage",
    "optimise_predictions",
    "simple_optimisation",
]

_Floats = npt.NDArray[np.float64]
_Levels = npt.NDArray[np.uint64]
_Plan = np.ndarray[tuple[int], np.dtype[np.float64]] | np.ndarray[tuple[int, int], np.dtype[np.float64]]
# Ranks that are not a plan or a plan per period: the figure is None.
_NotAPlan = np.ndarray[tuple[()], np.dtype[Any]] | np.ndarray[tuple[int, int, int], np.dtype[Any]]

# The two result classes below exist at run time only as the types of returned objects:
# they are not attributes of the module, hence the private names.
@final
class _Convergence:
    """Per-iteration histories of a search, each None unless details were asked for."""

    @property
    def underutilisation_cost(self) -> _Floats | None:
        """Committed money that bought nothing, per recorded step."""
    @property
    def costs(self) -> _Floats | None:
        """Cost per recorded step."""
    @property
    def coverages(self) -> _Floats | None:
        """Coverage per recorded step."""
    @property
    def discounts(self) -> _Floats | None:
        """Cost change of the chosen move per step (single-plan search)."""
    @property
    def speeds(self) -> _Floats | None:
        """Speed of the inertial search per step."""
    @property
    def choices(self) -> _Levels | None:
        """Index of the level moved per step (single-plan search)."""

@final
class Results:
    """The outcome of one optimiser run."""

    @property
    def n_iter(self) -> int:
        """Iterations the run took."""
    @property
    def minimum(self) -> float:
        """Cost of the rounded levels."""
    @property
    def convergence(self) -> _Convergence:
        """The run's histories."""
    @property
    def argmin(self) -> _Levels:
        """The rounded levels, in the sorted portfolio's parameter layout."""

@final
class _FinalResults:
    """The outcome of an optimisation: levels by commitment term and their figures."""

    @property
    def n_iter(self) -> int:
        """Iterations of the chosen run."""
    @property
    def minimum(self) -> float:
        """Cost of the recommended levels over the history (mean over predictions)."""
    @property
    def coverage(self) -> float:
        """Share of the on-demand value covered; may exceed 1."""
    @property
    def underutilization_cost(self) -> float:
        """Committed money that buys nothing."""
    @property
    def step_size(self) -> float | None:
        """Step of the search, None for the inertial multi-start."""
    @property
    def convergence(self) -> _Convergence:
        """Histories of the chosen run."""
    @property
    def commitments(self) -> dict[str, _Levels]:
        """Levels by term ("one_year_commitments", "three_years_commitments"): element 0
        the savings-plan amount per period, element 1 + k the reserved units of kind k."""

def simple_optimisation(
    usage: _Floats,
    prices: _Floats,
    period: str,
    horizon: str,
    convergence_details: bool | None = None,
    step: float | None = None,
    starting_point: _Floats | None = None,
) -> _FinalResults:
    """The cheapest single plan (savings plan and reserved units per kind) of one term.

    `prices` rows: on demand, savings-plan rate, reserved price per unit and hour.
    `period` is "H" or "D", `horizon` "1Y" or "3Y" (the key the plan is returned under).
    Reserved levels are units per hour; on daily rows multiply them by 24 before `cost`.
    """

def optimise_predictions(
    predictions: _Floats,
    prices: _Floats,
    current_sp_commitments: _Floats,
    pricing_models: Sequence[str],
    period: str,
    n_starts: int,
    convergence_details: bool | None = None,
) -> _FinalResults:
    """The levels of least mean cost over predicted usage paths (samples x periods x kinds).

    One price row per name of `pricing_models` ("OD", "RI1Y", "RI3Y", "SP1Y", "SP3Y", and
    names containing "payed_" for savings plans already paid, one column each of
    `current_sp_commitments`). Runs the inertial search from `n_starts` random points and
    the zero point on the worker pool.
    """

@overload
def cost(usage: _Floats, prices: _Floats, levels: _Plan) -> float:
    """The money a single plan pays over the usage history.

    `levels` is one plan (savings plan per period, then reserved units per kind) or one such
    row per period; an array of any other rank gives None.
    """
@overload
def cost(usage: _Floats, prices: _Floats, levels: _NotAPlan) -> None: ...
@overload
def cost(usage: _Floats, prices: _Floats, levels: _Floats) -> float: ...

@overload
def coverage(usage: _Floats, prices: _Floats, levels: _Plan) -> float:
    """The share of the usage's on-demand value that a single plan covers (may exceed 1).

    `levels` as for `cost`; an array of any other rank gives None.
    """
@overload
def coverage(usage: _Floats, prices: _Floats, levels: _NotAPlan) -> None: ...
@overload
def coverage(usage: _Floats, prices: _Floats, levels: _Floats) -> float: ...

def general_optimisation(
    usage: _Floats,
    prices: _Floats,
    current_sp_commitments: _Floats,
    pricing_models: Sequence[str],
    period: str,
    n_starts: int,
    optimiser: str,
    convergence_details: bool | None = None,
    step_size: float | None = None,
) -> _FinalResults:
    """The cheapest new levels for a list of pricing models over one usage history.

    `optimiser` "inertial" runs a parallel multi-start from `n_starts` random points and the
    zero point; "gradient_descent" runs gradient descent; any other string runs the
    variation search. Prices and paid plans as for `optimise_predictions`.
    """

def final_cost_coverage_underutilization(
    usage: _Floats,
    prices: _Floats,
    levels: _Floats,
    pricing_models: Sequence[str],
    period: str,
    cost_or_coverage: str,
) -> float:
    """The "cost", "coverage" or "underutilization" of a chosen portfolio.

    `levels` has one row per period: n columns per reserved-instance model and one per
    savings-plan model, in the order of `pricing_models`. Period "D" means daily rows; any
    other string means hourly.
    """

def generate_cost_and_coverage(
    usage: _Floats, prices: _Floats, n_sample: int, n_threads: int, period: str
) -> _Floats:
    """Cost and coverage of `n_sample` random single plans, as an (n_sample, 2) array.

    `n_threads` sets the size of a piece of work (n_sample / n_threads samples), not the
    number of threads; the pool has one worker per CPU or VELMAR_NUM_THREADS.
    """
