"""Many plans at once: one plan per group of an export, each a task on Dask's distributed scheduler.

The parent reads the export (`velmar.data.split_focus`: two DuckDB passes aggregate
every group) and ships each task its group's usage matrix and rates, a few hundred
kilobytes, instead of the raw rows: workers need no access to the files, and the
export is scanned twice however many groups it holds. At most two tasks per worker
thread are in flight, so the parent never holds more than that many matrices. The
cluster, and the cores each worker's module gets, are `velmar.batch.cluster`'s.
"""

from __future__ import annotations

import fcntl
import inspect
import json
import os
import shutil
import time
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import dask.config
from distributed import Client, Future, KilledWorker, wait

from velmar import data
from velmar.atomic import remove_leftovers
from velmar.batch.cluster import (
    WorkerState,
    check_memory_limit,
    connect,
    requested_threads,
    share_cores,
    worker_state,
)
from velmar.batch.results import (
    CSV,
    JOURNAL,
    NO_USAGE,
    PARQUET,
    RESULT_COLUMNS,
    SUMMARY,
    Journal,
    Row,
    Tables,
    error_rows,
    failed,
    plan_rows,
)
from velmar.data import GroupKey
from velmar.errors import MODULE_INTERRUPT_MESSAGE, UserError, is_module_failure
from velmar.plan import recommend
from velmar.portfolio import check_models
from velmar.records import COMMITMENT_MODELS, Period, PriceTable, UsageHistory

#: Options of `velmar.plan.recommend` that a batch passes on to every group.
PLANNER_OPTIONS = frozenset(inspect.signature(recommend).parameters) - {
    "history", "prices", "models", "existing", "progress",
}  # fmt: skip
SETTINGS = "batch.json"
#: How often, at most, the workers' state is asked for while no group finishes.
WATCH_SECONDS = 2.0


@dataclass(frozen=True)
class BatchProgress:
    """Groups finished (planned or failed), failed among them, and still to plan in this run;
    workers paused by Dask (memory nearly full) and workers restarting (or gone)."""

    done: int
    failed: int
    left: int
    paused: int = 0
    restarting: int = 0


@dataclass(frozen=True)
class BatchResult:
    """Where the results table is (None without an output folder), what it holds and what this run did."""

    parquet: Path | None
    csv: Path | None
    groups: int
    #: Groups planned by this run, and those skipped because an earlier run had done them.
    planned: int
    skipped: int
    #: Groups whose row holds an error, over every run.
    failed: int
    rows: tuple[Row, ...]


def plan_many(
    source: str | Sequence[str],
    prices: str,
    by: str | Sequence[str] = "SubAccountId",
    client: Client | str | None = None,
    out: str | os.PathLike[str] | None = None,
    period: Period = "H",
    models: Sequence[str] = COMMITMENT_MODELS,
    workers: int | None = None,
    progress: Callable[[BatchProgress], None] | None = None,
    kind_columns: Sequence[str] = data.DEFAULT_KIND_COLUMNS,
    start: str | None = None,
    end: str | None = None,
    memory_limit: str | None = None,
    retry_failed: bool = False,
    **recommend_options: Any,
) -> BatchResult:
    """Plans every group of the FOCUS export `source` split by the columns `by`.

    `client` is a Dask client, a scheduler address, or None: then the scheduler of
    DASK_SCHEDULER_ADDRESS, or else a local cluster of `workers` processes (default:
    one per CPU) of `memory_limit` each (such as "2GB"; default: Dask's share of the
    machine's memory). With `out`, the results table is written there as Parquet and CSV
    as groups finish, and a rerun with the same folder plans only the groups not done
    yet, and with `retry_failed` those that failed too (their rows are replaced). A group
    that fails gets one row with its error; the others go on. Ctrl-C cancels what is
    left and keeps what is written.
    """
    columns = [by] if isinstance(by, str) else list(by)
    columns = [name.strip() for column in columns for name in column.split(",") if name.strip()]
    _check(columns, models, recommend_options, client, workers, memory_limit)
    folder = Path(out) if out is not None else None
    with _output(
        folder, _settings(source, prices, columns, period, models, kind_columns, start, end, recommend_options)
    ):
        journal = Journal(folder / JOURNAL if folder else None)
        tables = Tables(folder, columns) if folder else None
        spill = str(folder / ".spill") if folder else None
        kinds = data.price_kinds(prices)
        with data.split_focus(source, columns, period, kind_columns, start, end, spill, kinds=kinds) as split:
            rates = _Rates(prices, source, kind_columns, split.kinds())
            todo = [index for index, key in enumerate(split.keys) if _to_plan(journal, key, retry_failed)]
            run = _Run(split, rates, tuple(models), recommend_options, journal, tables, progress, len(todo))
            try:
                if todo:
                    with connect(client, workers, memory_limit) as dask_client:
                        run.plan(dask_client, todo)
            finally:
                if tables:
                    tables.write(journal, final=True)
        rows = journal.table(columns)
    return BatchResult(
        parquet=tables.parquet if tables else None,
        csv=tables.csv if tables else None,
        groups=len(split.keys),
        planned=run.planned,
        skipped=len(split.keys) - len(todo),
        failed=sum(1 for group in journal.groups.values() if failed(group)),
        rows=tuple(rows),
    )


def _to_plan(journal: Journal, key: GroupKey, retry_failed: bool) -> bool:
    rows = journal.groups.get(key)
    return rows is None or (retry_failed and failed(rows))


def plan_group(
    history: UsageHistory, prices: PriceTable, models: Sequence[str], options: Mapping[str, Any]
) -> list[Row]:
    """The rows of one group: its plan per model, or one row with why it could not be planned."""
    started = time.perf_counter()
    try:
        rec = recommend(history, prices, models=models, **options)
    except UserError as error:
        return error_rows(str(error), time.perf_counter() - started)
    except MemoryError:
        shape = "x".join(str(size) for size in history.usage.shape)
        return error_rows(f"out of memory planning a usage matrix of {shape}", time.perf_counter() - started)
    except Exception as error:  # a fault of the planner: this group's row says which
        return error_rows(f"internal error: {type(error).__name__}: {error}", time.perf_counter() - started)
    except BaseException as failure:
        if not is_module_failure(failure) or str(failure) == MODULE_INTERRUPT_MESSAGE:
            raise
        message = f"internal failure of the numerical module: {failure}"
        return error_rows(message, time.perf_counter() - started)
    note = None if history.usage.any() else NO_USAGE
    return plan_rows(rec, len(history.timestamps), time.perf_counter() - started, note)


class _Run:
    """One run of a batch: feeds the cluster, collects rows and reports progress."""

    def __init__(
        self,
        split: data.FocusSplit,
        rates: _Rates,
        models: tuple[str, ...],
        options: Mapping[str, Any],
        journal: Journal,
        tables: Tables | None,
        progress: Callable[[BatchProgress], None] | None,
        todo: int,
    ) -> None:
        self._split, self._rates, self._models, self._options = split, rates, models, options
        self._journal, self._tables, self._progress = journal, tables, progress
        self.planned, self._failed, self._left = 0, 0, todo
        self._workers, self._watched = WorkerState(), 0.0
        self._tag = uuid.uuid4().hex[:8]

    def plan(self, client: Client, todo: Sequence[int]) -> None:
        threads = share_cores(client)
        started_with, window = len(threads), max(2, 2 * sum(threads.values()))
        waiting: Iterator[int] = iter(todo)
        running: dict[Future[list[Row]], int] = {}
        self._report()
        try:
            for _ in range(window):
                self._submit_next(client, waiting, running)
            while running:
                for future in _first_finished(running):
                    index = running.pop(future)
                    self._record(index, self._rows_of(future))
                    self._submit_next(client, waiting, running)
                self._watch(client, started_with)
        except BaseException:
            client.cancel(list(running))  # type: ignore[no-untyped-call]
            raise

    def _watch(self, client: Client, started_with: int) -> None:
        """Reports workers that pause or restart, which otherwise look like a batch that hangs."""
        if time.monotonic() - self._watched < WATCH_SECONDS:
            return
        state = worker_state(client, started_with)
        self._watched = time.monotonic()
        if state != self._workers:
            self._workers = state
            self._report()

    def _submit_next(self, client: Client, waiting: Iterator[int], running: dict[Future[list[Row]], int]) -> None:
        """Sends the next group that can be read to the cluster; a group that cannot gets its error row."""
        for index in waiting:
            try:
                history = self._split.history(index)
                prices = self._rates.of(history.kinds)
            except UserError as error:
                self._record(index, error_rows(str(error), 0.0))
                continue
            future = client.submit(
                plan_group, history, prices, self._models, self._options,
                key=f"velmar-plan-{self._tag}-{index}", pure=False, retries=1,
            )  # fmt: skip
            running[future] = index
            return

    def _rows_of(self, future: Future[list[Row]]) -> list[Row]:
        try:
            rows = future.result()
        except KilledWorker:
            deaths = int(dask.config.get("distributed.scheduler.allowed-failures")) + 1
            return error_rows(
                f"the worker planning this group died {deaths} times: killed, or out of memory (a group too "
                "large for one worker's memory ends so; give workers more memory (--memory-limit) or split it by "
                "more columns)",
                0.0,
            )
        except Exception as error:  # the cluster's failure, not the group's
            return error_rows(f"{type(error).__name__}: {error}", 0.0)
        return rows

    def _record(self, index: int, rows: list[Row]) -> None:
        self._journal.append(self._split.keys[index], rows)
        self.planned += 1
        self._failed += failed(rows)
        self._left -= 1
        if self._tables:
            self._tables.write(self._journal)
        self._report()

    def _report(self) -> None:
        if self._progress is not None:
            workers = self._workers
            self._progress(BatchProgress(self.planned, self._failed, self._left, workers.paused, workers.restarting))


def _first_finished(running: Mapping[Future[list[Row]], int]) -> set[Future[list[Row]]]:
    """The tasks that finished within a short wait (none if none did)."""
    try:
        finished, _ = wait(list(running), timeout=WATCH_SECONDS, return_when="FIRST_COMPLETED")  # type: ignore[no-untyped-call]
    except TimeoutError:
        return set()
    return set(finished)


class _Rates:
    """Rates for any set of kinds: read once for every kind of the export, or per group when
    that fails (a kind without a price then fails only the groups that use it)."""

    def __init__(self, path: str, source: str | Sequence[str], kind_columns: Sequence[str], kinds: Sequence[str]):
        self._path, self._source, self._kind_columns = path, source, kind_columns
        try:
            self._all: PriceTable | None = data.load_prices(path, kinds, focus_paths=source, kind_columns=kind_columns)
        except UserError:
            self._all = None

    def of(self, kinds: Sequence[str]) -> PriceTable:
        if self._all is None:
            return data.load_prices(self._path, kinds, focus_paths=self._source, kind_columns=self._kind_columns)
        return prices_of_kinds(self._all, kinds)


def prices_of_kinds(table: PriceTable, kinds: Sequence[str]) -> PriceTable:
    """The rates of `kinds` (all in `table`), in that order: what `load_prices` reads for them."""
    column = {kind: index for index, kind in enumerate(table.kinds)}
    chosen = [column[kind] for kind in kinds]
    rates = {model: rate[chosen] for model, rate in table.commitment.items()}
    return PriceTable(tuple(kinds), table.on_demand[chosen], rates, source=table.source)


@contextmanager
def _output(folder: Path | None, settings: Mapping[str, Any]) -> Iterator[None]:
    """Holds the output folder for this run alone; refuses one that holds another batch's results."""
    if folder is None:
        yield
        return
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UserError(f"{folder}: cannot create the folder ({error.strerror})") from None
    started = time.time()
    with (folder / ".lock").open("w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UserError(f"{folder}: another batch is writing there") from None
        # What a run that was killed left: no one else writes here while the lock is held.
        remove_leftovers(folder, [PARQUET, CSV, SUMMARY], older_than=started)
        shutil.rmtree(folder / ".spill", ignore_errors=True)
        recorded = folder / SETTINGS
        if (folder / JOURNAL).exists() and recorded.exists():
            before = json.loads(recorded.read_text())
            changed = next((name for name in settings if before.get(name) != settings[name]), None)
            if changed is not None:
                raise UserError(
                    f"{folder}: holds the results of a batch with other settings ({changed}: {before.get(changed)} "
                    f"there, {settings[changed]} now); give another output folder or remove it"
                )
        else:
            recorded.write_text(json.dumps(settings, indent=2) + "\n")
        yield


def _settings(
    source: str | Sequence[str],
    prices: str,
    by: Sequence[str],
    period: str,
    models: Sequence[str],
    kind_columns: Sequence[str],
    start: str | None,
    end: str | None,
    options: Mapping[str, Any],
) -> dict[str, Any]:
    """Everything a group's rows depend on, as JSON values."""
    sources = [source] if isinstance(source, str) else list(source)
    return {
        "export": [os.path.abspath(path) for path in sources],
        "prices": os.path.abspath(prices),
        "by": list(by),
        "period": period,
        "kind_columns": list(kind_columns),
        "start": start,
        "end": end,
        "models": list(models),
        **{name: options[name] for name in sorted(options)},
    }


def _check(
    by: Sequence[str],
    models: Sequence[str],
    options: Mapping[str, Any],
    client: Client | str | None,
    workers: int | None,
    memory_limit: str | None,
) -> None:
    if not by:
        raise UserError("--by: give at least one column")
    clash = next((name for name in by if name in RESULT_COLUMNS), None)
    if clash is not None:
        raise UserError(f"--by: '{clash}' is also a column of the results; it cannot group them")
    unknown = sorted(set(options) - PLANNER_OPTIONS)
    if unknown:
        raise TypeError(f"plan_many() got options the planner does not take: {', '.join(unknown)}")
    check_models(models)
    remote = client is not None or bool(os.environ.get("DASK_SCHEDULER_ADDRESS"))
    if workers is not None and (workers < 1 or remote):
        raise UserError(f"--workers: {workers} " + ("is below 1" if workers < 1 else "applies to a local cluster only"))
    if memory_limit is not None:
        if remote:
            raise UserError(f"--memory-limit: {memory_limit} applies to a local cluster only")
        check_memory_limit(memory_limit)
    requested_threads()
