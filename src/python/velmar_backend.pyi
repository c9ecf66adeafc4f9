"""Type information for the velmar_backend extension module."""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
    "simple_optimisation",
    "optimise_predictions",
    "cost",
    "coverage",
    "general_optimisation",
    "final_cost_coverage_underutilization",
    "generate_cost_and_coverage",
    "Results",
]

_Floats = npt.NDArray[np.float64]
_Levels = npt.NDArray[np.uint64]

@final
class Convergence:
    @property
    def underutilisation_cost(self) -> _Floats | None: ...
    @property
    def costs(self) -> _Floats | None: ...
    @property
    def coverages(self) -> _Floats | None: ...
    @property
    def discounts(self) -> _Floats | None: ...
    @property
    def speeds(self) -> _Floats | None: ...
    @property
    def choices(self) -> _Levels | None: ...

@final
class Results:
    @property
    def n_iter(self) -> int: ...
    @property
    def minimum(self) -> float: ...
    @property
    def convergence(self) -> Convergence: ...
    @property
    def argmin(self) -> _Levels: ...

@final
class FinalResults:
    @property
    def n_iter(self) -> int: ...
    @property
    def minimum(self) -> float: ...
    @property
    def coverage(self) -> float: ...
    @property
    def underutilization_cost(self) -> float: ...
    @property
    def step_size(self) -> float | None: ...
    @property
    def convergence(self) -> Convergence: ...
    @property
    def commitments(self) -> dict[str, _Levels]: ...

def simple_optimisation(
    usage: _Floats,
    prices: _Floats,
    period: str,
    horizon: str,
    convergence_details: bool | None = None,
    step: float | None = None,
    starting_point: _Floats | None = None,
) -> FinalResults: ...
def optimise_predictions(
    predictions: _Floats,
    prices: _Floats,
    current_sp_commitments: _Floats,
    pricing_models: Sequence[str],
    period: str,
    n_starts: int,
    convergence_details: bool | None = None,
) -> FinalResults: ...
def cost(usage: _Floats, prices: _Floats, levels: _Floats) -> float | None: ...
def coverage(usage: _Floats, prices: _Floats, levels: _Floats) -> float | None: ...
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
) -> FinalResults: ...
def final_cost_coverage_underutilization(
    usage: _Floats,
    prices: _Floats,
    levels: _Floats,
    pricing_models: Sequence[str],
    period: str,
    cost_or_coverage: str,
) -> float: ...
def generate_cost_and_coverage(
    usage: _Floats, prices: _Floats, n_sample: int, n_threads: int, period: str
) -> _Floats: ...
