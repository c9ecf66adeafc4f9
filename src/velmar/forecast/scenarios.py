"""Sample paths of future usage: a damped trend, the history's seasons and its own noise.

Each kind's usage is split into a trend (a straight line over the last year at most), a
weekly season (mean by hour or day of the week, once the history holds three weeks), a
yearly season (mean by week of the year, once it holds about two years, where the last year's
profile correlates with the earlier years': a step in the second year is no season) and the
residual noise. The slope followed is the smaller in size of the slopes over the last year and
the last quarter, none where they disagree in sign (a ramp that has levelled off, a step, a season longer
than the history is not a trend), and none where the weekly means stray from the year's line far
more than the days' scatter explains (a step, a ramp that stopped). A path continues it from the
level of the last four weeks, or from the mean of the last year where its four-week means both
rose and fell by a large share (a season longer than the history: the recent level is one phase;
its noise is then the whole swing about that mean, not what the year's line leaves of it),
damped so that its effect halves over as many periods as the slope was fitted on (a short
history cannot extrapolate far: the whole damped rise is at most about 1.44 times the rise
it saw), adds both seasons, and adds residuals resampled in blocks of whole rows (a day of
hours, a week of days): the kinds of one period move together, as they did. Each path also
draws its own slope, from the trend fitted on resampled weekly means (rows of all kinds
together again), so the fan widens with the horizon. Paths are clipped at zero usage.

Draws come from NumPy's generator seeded with `seed`: the same inputs give the same paths.
"""

from __future__ import annotations

import numpy as np

from velmar.errors import UserError
from velmar.records import HOURS_PER_MONTH, HOURS_PER_PERIOD, Floats, Scenarios, UsageHistory

#: Hours in a month of the planner (a year of 8,760 hours over twelve).
#: The longest horizon: the longest term a commitment can be bought for.
MAX_HORIZON_MONTHS = 36
#: Weeks of history that show a weekly season; periods of history that show a yearly one.
WEEKLY_MIN_WEEKS = 3
YEARLY_MIN_DAYS = 2 * 365 - 14
#: Days whose mean is the level a path starts from; days at most the slope is fitted on.
LEVEL_DAYS = 28
SLOPE_DAYS = 365
#: Days of the recent slope, which the slope of the last year must agree with to be followed.
RECENT_DAYS = 91
#: Weekly means straying from the line by this many times the variance their days' scatter explains
#: show a step or a levelled ramp, not a trend.
MISFIT_RATIO = 4.0
#: ... and by at least this share of the level (a noiseless line strays by rounding only).
MISFIT_SHARE = 0.01
#: Share of the mean by which a kind's four-week means must both rise and fall to show a long season.
SWING_SHARE = 0.15
#: Correlation of the last year's profile with the earlier years' that shows a yearly season.
SEASON_CORRELATION = 0.5
#: Rounds of fitting the yearly season and a straight line in turn.
BACKFITTING_ROUNDS = 4


def horizon_periods(months: int, period: str) -> int:
    """Periods of a horizon of `months` months."""
    return months * HOURS_PER_MONTH // HOURS_PER_PERIOD[period]


def make_scenarios(history: UsageHistory, horizon_months: int = 36, n_scenarios: int = 100, seed: int = 0) -> Scenarios:
    """`n_scenarios` paths of the `horizon_months` months that follow the history's last row (see the module doc)."""
    if not 1 <= horizon_months <= MAX_HORIZON_MONTHS:
        raise UserError(f"horizon: {horizon_months} months is not between 1 and {MAX_HORIZON_MONTHS}")
    if n_scenarios < 1:
        raise UserError(f"scenarios: {n_scenarios} is below 1")
    usage = np.asarray(history.usage, dtype=np.float64)
    periods = usage.shape[0]
    if periods < 2:
        raise UserError("usage: a forecast needs at least two periods of history")
    bad = np.argwhere(~(np.isfinite(usage) & (usage >= 0)))
    if bad.size:
        row, kind = bad[0]
        raise UserError(
            f"usage: {history.timestamps[row]}, kind {history.kinds[kind]!r}: {usage[row, kind]} is not a quantity"
        )
    per_day = 24 // HOURS_PER_PERIOD[history.period]
    week = 7 * per_day
    rng = np.random.default_rng(seed)
    steps = horizon_periods(horizon_months, history.period)
    ahead = periods + np.arange(steps)
    seasons = _Seasons(usage, week, per_day)
    plain = usage - seasons.fitted(np.arange(periods))
    fit = min(periods, SLOPE_DAYS * per_day)
    long_slope, residuals = _trend(plain[-fit:])
    slope = _cautious(long_slope, _trend(plain[-min(fit, RECENT_DAYS * per_day) :])[0])
    slope[_misfit(residuals, plain[-fit:].mean(axis=0), week)] = 0.0
    recent = min(periods, LEVEL_DAYS * per_day)
    level = plain[-recent:].mean(axis=0) + slope * (recent - 1) / 2
    swinging = _swinging(plain[-fit:], recent)
    level[swinging] = plain[-fit:, swinging].mean(axis=0)
    slope[swinging] = 0.0
    # Nor do its paths follow the line: their noise is the whole swing about that mean, not what the
    # line left of it (a line over one season takes part of its rise or fall, narrowing the fan).
    residuals[:, swinging] = plain[-fit:, swinging] - level[swinging]
    damping = 0.5 ** (1.0 / fit)
    rise = damping * (1 - damping ** np.arange(1, steps + 1)) / (1 - damping)
    slopes = slope + _slope_spread(plain[-fit:], week, n_scenarios, rng)
    base = level + seasons.fitted(ahead)
    noise = _block_noise(residuals, week if periods >= 2 * week else per_day, periods, steps, n_scenarios, rng)
    paths = rise[None, :, None] * slopes[:, None, :]  # then the level and the noise added in place: one array fewer
    paths += base
    paths += noise
    np.maximum(paths, 0.0, out=paths)
    start = history.timestamps[-1] + np.timedelta64(HOURS_PER_PERIOD[history.period], "h")
    timestamps = (start + np.arange(steps) * np.timedelta64(HOURS_PER_PERIOD[history.period], "h")).astype(
        history.timestamps.dtype
    )
    method = (
        f"{n_scenarios} paths (seed {seed}): trend over the last {fit} periods, damped to half over as many; "
        f"{seasons.describe()}; residuals resampled in blocks of whole rows (all kinds together); "
        "each path's slope drawn from resampled weekly means"
    )
    return Scenarios(timestamps, history.kinds, paths, history.period, method)


class _Seasons:
    """Weekly and yearly seasonal profiles of a usage matrix (zero mean each, by kind)."""

    def __init__(self, usage: Floats, week: int, per_day: int) -> None:
        periods, kinds = usage.shape
        self.week, self.year = week, 365 * per_day
        t = np.arange(periods)
        centred = usage - usage.mean(axis=0)
        self.weekly = np.zeros((week, kinds))
        if periods >= WEEKLY_MIN_WEEKS * week:
            self.weekly = _profile(centred, t % week, week)
        self.yearly = np.zeros((self.year // week + 1, kinds))
        self.two_years = periods >= YEARLY_MIN_DAYS * per_day
        if self.two_years:
            left = centred - self.weekly[t % week]
            # Fitted together with a straight line (a few rounds of backfitting): over two years, a
            # trend alone would show as a season, each week of the year lower or higher the second time.
            week_of_year = self._week_of_year(t)
            yearly, line = np.zeros_like(self.yearly), np.zeros_like(left)
            for _ in range(BACKFITTING_ROUNDS):
                seasonal = yearly[week_of_year]
                line = left - seasonal - _trend(left - seasonal)[1]
                yearly = _profile(left - line, week_of_year, self.yearly.shape[0])
            # Neighbouring weeks smooth the profile (a year shows each week once or twice only).
            self.yearly = (np.roll(yearly, 1, axis=0) + yearly + np.roll(yearly, -1, axis=0)) / 3
            # A season repeats: a kind whose last year does not follow the years before (a step, a
            # new workload) has none, or its one change would come back every year.
            repeats = _repeats(left - line, week_of_year, periods - self.year, self.yearly.shape[0])
            self.yearly[:, ~repeats] = 0.0

    def _week_of_year(self, t: np.ndarray) -> np.ndarray:
        return np.asarray((t % self.year) // self.week)

    def fitted(self, t: np.ndarray) -> Floats:
        return np.asarray(self.weekly[t % self.week] + self.yearly[self._week_of_year(t)])

    def describe(self) -> str:
        weekly = "weekly season" if self.weekly.any() else "no weekly season (under three weeks of history)"
        yearly = "yearly season"
        if not self.yearly.any():
            why = "no kind's last year follows the years before" if self.two_years else "under two years of history"
            yearly = f"no yearly season ({why})"
        return f"{weekly}, {yearly}"


def _profile(values: Floats, slot: np.ndarray, slots: int) -> Floats:
    """Mean of `values` by slot, centred to zero mean over the slots seen."""
    counts = np.bincount(slot, minlength=slots).astype(np.float64)
    sums = np.stack([np.bincount(slot, values[:, k], minlength=slots) for k in range(values.shape[1])], axis=1)
    seen = counts > 0
    profile = np.zeros(sums.shape)
    profile[seen] = sums[seen] / counts[seen, None]
    profile[seen] -= profile[seen].mean(axis=0)
    return profile


def _repeats(values: Floats, slot: np.ndarray, split: int, slots: int) -> np.ndarray:
    """Kinds whose means by slot before row `split` and from it on correlate well."""
    earlier, later = _profile(values[:split], slot[:split], slots), _profile(values[split:], slot[split:], slots)
    both = (np.bincount(slot[:split], minlength=slots) > 0) & (np.bincount(slot[split:], minlength=slots) > 0)
    a, b = earlier[both] - earlier[both].mean(axis=0), later[both] - later[both].mean(axis=0)
    spread = np.sqrt((a**2).sum(axis=0) * (b**2).sum(axis=0))
    return np.asarray((a * b).sum(axis=0) > SEASON_CORRELATION * spread)


def _trend(values: Floats) -> tuple[Floats, Floats]:
    """Least-squares slope per kind and the residuals around the line."""
    t = np.arange(values.shape[0], dtype=np.float64)
    centred_t = t - t.mean()
    slope = centred_t @ (values - values.mean(axis=0)) / (centred_t @ centred_t)
    line = values.mean(axis=0) + centred_t[:, None] * slope
    return np.asarray(slope), np.asarray(values - line)


def _cautious(long: Floats, recent: Floats) -> Floats:
    """Per kind, the smaller in size of two slopes, or zero where they disagree in sign: a ramp that
    has levelled off, a step or a season longer than the history is not a trend to follow."""
    return np.asarray(np.where(long * recent > 0, np.sign(long) * np.minimum(np.abs(long), np.abs(recent)), 0.0))


def _misfit(residuals: Floats, level: Floats, week: int) -> np.ndarray:
    """Kinds whose weekly means stray from the line far more than their days' scatter explains, and by
    a material share of their `level`: a step or a levelled ramp, whose slope would carry the rise on
    past where it stopped."""
    blocks = residuals.shape[0] // week
    if blocks < 3:
        return np.zeros(residuals.shape[1], dtype=bool)
    weeks = residuals[-blocks * week :].reshape(blocks, week, -1)
    means = weeks.mean(axis=1)
    scatter = ((weeks - means[:, None]) ** 2).sum(axis=(0, 1)) / (blocks * (week - 1))
    stray = (means**2).mean(axis=0)
    return np.asarray((stray > MISFIT_RATIO * scatter / week) & (stray > (MISFIT_SHARE * level) ** 2))


def _swinging(values: Floats, block: int) -> np.ndarray:
    """Kinds whose means over blocks of `block` rows both rose and fell by a large share of their mean
    (a season longer than the history shows): the recent level is only its current phase."""
    blocks = values.shape[0] // block
    if blocks < 3:
        return np.zeros(values.shape[1], dtype=bool)
    means = values[-blocks * block :].reshape(blocks, block, -1).mean(axis=1)
    rise = (means - np.minimum.accumulate(means)).max(axis=0)
    fall = (np.maximum.accumulate(means) - means).max(axis=0)
    return np.asarray(np.minimum(rise, fall) > SWING_SHARE * np.abs(means.mean(axis=0)))


def _slope_spread(values: Floats, week: int, count: int, rng: np.random.Generator) -> Floats:
    """(count, kinds) slope errors: the trend of weekly means refitted on resampled residual rows."""
    blocks = values.shape[0] // week
    if blocks < 3:
        return np.zeros((count, values.shape[1]))
    means = values[-blocks * week :].reshape(blocks, week, -1).mean(axis=1)
    _, residuals = _trend(means)
    centred_t = np.arange(blocks) - (blocks - 1) / 2
    drawn = residuals[rng.integers(0, blocks, size=(count, blocks))]
    return np.asarray(np.einsum("b,sbk->sk", centred_t, drawn) / (centred_t @ centred_t) / week)


def _block_noise(
    residuals: Floats, block: int, periods: int, steps: int, count: int, rng: np.random.Generator
) -> Floats:
    """(count, steps, kinds) residual rows resampled in blocks of `block` rows, in phase with the history."""
    rows = residuals.shape[0]
    block = min(block, rows)
    # Block starts whose rows sit in the same phase (hour of the day, day of the week) as the rows they fill.
    starts = rows - block * np.arange(1, rows // block + 1)
    chosen = rng.choice(starts, size=(count, -(-steps // block)))
    index = (chosen[:, :, None] + np.arange(block)).reshape(count, -1)[:, :steps]
    return np.asarray(residuals[index])
