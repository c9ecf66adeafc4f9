"""The module's price of a schedule's levels over scenario paths: in pieces, each path on its own.

With one tranche (bought at the horizon's first row, which is where the module counts every
term from) and a horizon of at most 36 months, one call per path is exact: one-year
commitments expire inside it at their real date, and owned savings plans pay only inside
their dates (their money is zero outside them). Later tranches need the pieces of
`velmar.pieces` (cut at every purchase, expiry and owned plan's date, at most a year long).
"""

from __future__ import annotations

import copy
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from velmar.forecast.schedule import Schedule
from velmar.pieces import piece_rows
from velmar.portfolio import Levels, Portfolio, Pricer, build_portfolio
from velmar.records import ExistingSavingsPlan, Floats, PriceTable, Purchase, UsageHistory


@dataclass(frozen=True)
class PathFigures:
    """The module's figures of one plan on each path: cost, all on demand, usage covered, money unused."""

    costs: Floats
    on_demand: Floats
    coverage: Floats
    unused: Floats


class _PathPricers:
    """One Pricer per piece of one path, with the tranches in force in each piece."""

    def __init__(
        self, path: UsageHistory, prices: PriceTable, pieces: Sequence[tuple[int, int]], setup: _Setup
    ) -> None:
        self.pieces = []
        for first, last in pieces:
            piece = path.rows(first, last)
            portfolio = build_portfolio(
                piece, prices, setup.portfolio.models, setup.existing, kind_order=setup.portfolio.kinds
            )
            self.pieces.append((Pricer(portfolio), setup.in_force[first]))
        self.setup = setup

    def figures(self, levels: Floats) -> tuple[float, float, float, float]:
        cost = on_demand = covered = unused = 0.0
        for (pricer, _), piece_levels in zip(self.pieces, self.setup.by_piece(levels, self.pieces)):
            cost += pricer.cost(piece_levels)
            value = pricer.cost(np.zeros_like(piece_levels))
            on_demand += value
            covered += value * pricer.figure(piece_levels, "coverage")
            unused += pricer.figure(piece_levels, "underutilization")
        return cost, on_demand, covered / on_demand if on_demand > 0 else 0.0, unused

    def cost(self, by_piece: list[Levels]) -> float:
        """The cost with the portfolio levels of each piece given (`_Setup.by_piece`)."""
        return sum(pricer.cost(levels) for (pricer, _), levels in zip(self.pieces, by_piece))


@dataclass(frozen=True)
class _Setup:
    portfolio: Portfolio
    existing: tuple[ExistingSavingsPlan, ...]
    schedule: Schedule
    #: (periods, tranches, models)
    in_force: np.ndarray

    #: The model (index in the portfolio's models) of every entry of a level vector.
    model_of_entry: np.ndarray

    def by_piece(self, levels: Floats, pieces: Sequence[tuple[Pricer, np.ndarray]]) -> list[Levels]:
        """The portfolio levels of each piece: each model's levels summed over the tranches in force there."""
        return [(levels * in_force[:, self.model_of_entry]).sum(axis=0) for _, in_force in pieces]


class ForwardPricer:
    """Schedule levels (tranches, level_count) priced by the module over paths; the polish's judge.

    `cost` takes the first tranche's levels (the decision made now), the later ones held at
    `fixed`, and returns `statistic` (mean or CVaR) of the paths' costs.
    """

    def __init__(
        self,
        portfolio: Portfolio,
        prices: PriceTable,
        existing: Sequence[ExistingSavingsPlan],
        schedule: Schedule,
        statistic: Callable[[Floats], float],
    ) -> None:
        self.portfolio = portfolio
        self.prices = prices
        self.statistic = statistic
        self.pricings = 0
        model_of_entry = np.zeros(portfolio.level_count, dtype=np.intp)
        for index, model in enumerate(portfolio.models):
            model_of_entry[portfolio.slot(model)] = index
        self.setup = _Setup(portfolio, tuple(existing), schedule, schedule.in_force(portfolio), model_of_entry)
        self.fixed = np.zeros((len(schedule.starts), portfolio.level_count))
        self.paths: list[_PathPricers] = []

    def pieces(self, path: UsageHistory) -> list[tuple[int, int]]:
        schedule = self.setup.schedule
        if len(schedule.starts) == 1:
            return [(0, schedule.periods)]
        dates = [path.timestamps[start] for start in schedule.starts]
        purchases = [Purchase(model, date) for date in dates for model in self.portfolio.models]
        return piece_rows(path, purchases, self.setup.existing)

    def keep(self, paths: Sequence[UsageHistory], fixed: Floats) -> ForwardPricer:
        """Holds the pieces of `paths` for repeated pricing, the later tranches at `fixed`."""
        self.fixed = np.array(fixed, dtype=np.float64)
        self.paths = [_PathPricers(path, self.prices, self.pieces(path), self.setup) for path in paths]
        return self

    def with_statistic(self, statistic: Callable[[Floats], float]) -> ForwardPricer:
        """The same paths and pieces judged by another statistic of their costs (e.g. the mean)."""
        other = copy.copy(self)
        other.statistic = statistic
        return other

    def cost(self, levels: Levels) -> float:
        self.pricings += 1
        full = self.fixed.copy()
        full[0] = levels
        # Every path has the same timestamps, hence the same pieces: their levels are worked out once.
        by_piece = self.setup.by_piece(full, self.paths[0].pieces)
        return self.statistic(np.array([path.cost(by_piece) for path in self.paths]))

    def figures(self, paths: Sequence[UsageHistory], levels: Floats) -> PathFigures:
        """Every figure of schedule `levels` on each path (pieces built and let go path by path)."""
        rows = [_PathPricers(path, self.prices, self.pieces(path), self.setup).figures(levels) for path in paths]
        return PathFigures(*map(np.array, zip(*rows)))
