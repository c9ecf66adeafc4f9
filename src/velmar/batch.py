"""Many plans at once: one plan per group of an export, each a task on Dask's distributed scheduler.

The parent reads the export once (`velmar.data.split_focus`: one DuckDB pass aggregates
every group) and ships each task its group's usage matrix and rates, a few hundred
kilobytes, instead of the raw rows: workers need no access to the files, and the
export is scanned once however many groups it holds. At most two tasks per worker
thread are in flight, so the parent never holds more than that many matrices.

Workers are processes with one thread each, since the module keeps the interpreter
lock for a whole call; each process's module pool gets the cores of its machine
divided among the processes there (`VELMAR_NUM_THREADS`, unless already set).
"""

from __future__ import annotations

import fcntl
import json
import logging
import os
import signal
import threading
import time
import uuid
from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import dask.config
from distributed import Client, Future, KilledWorker, LocalCluster, as_completed
from distributed.comm.addressing import get_address_host
from distributed.diagnostics.plugin import WorkerPlugin

from velmar import data
from velmar.batch_results import JOURNAL, RESULT_COLUMNS, Journal, Row, Tables, error_rows, plan_rows
from velmar.errors import MODULE_INTERRUPT_MESSAGE, UserError, is_module_failure
from velmar.plan import recommend
from velmar.records import COMMITMENT_MODELS, Period, PriceTable, UsageHistory

#: The environment variable that sizes the module's pool of threads in a process.
THREADS_VARIABLE = "VELMAR_NUM_THREADS"
#: Options of `velmar.plan.recommend` that a batch passes on to every group.
PLANNER_OPTIONS = frozenset({"optimiser", "n_starts", "polish", "milp_time_limit", "load_factor", "target_coverage"})
SETTINGS = "batch.json"
#: A local cluster of worker processes with no dashboard, whose logs stay quiet.
_QUIET_PROCESSES: Mapping[str, Any] = {"processes": True, "dashboard_address": None, "silence_logs": logging.CRITICAL}


@dataclass(frozen=True)
class BatchProgress:
    """Groups finished (planned or failed), failed among them, and still to plan in this run."""

    done: int
    failed: int
    left: int


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
    **recommend_options: Any,
) -> BatchResult:
    """Plans every group of the FOCUS export `source` split by the columns `by`.

    `client` is a Dask client, a scheduler address, or None: then the scheduler of
    DASK_SCHEDULER_ADDRESS, or else a local cluster of `workers` processes (default:
    one per CPU). With `out`, the results table is written there as Parquet and CSV
    as groups finish, and a rerun with the same folder plans only the groups not done
    yet. A group that fails gets one row with its error; the others go on. Ctrl-C
    cancels what is left and keeps what is written.
    """
    columns = [by] if isinstance(by, str) else list(by)
    columns = [name.strip() for column in columns for name in column.split(",") if name.strip()]
    _check(columns, models, recommend_options, client, workers)
    folder = Path(out) if out is not None else None
    with _output(
        folder, _settings(source, prices, columns, period, models, kind_columns, start, end, recommend_options)
    ):
        journal = Journal(folder / JOURNAL if folder else None)
        tables = Tables(folder, columns) if folder else None
        spill = str(folder / ".spill") if folder else None
        with data.split_focus(source, columns, period, kind_columns, start, end, spill) as split:
            rates = _Rates(prices, source, kind_columns, split.kinds())
            todo = [index for index, key in enumerate(split.keys) if key not in journal.groups]
            run = _Run(split, rates, tuple(models), recommend_options, journal, tables, progress, len(todo))
            try:
                if todo:
                    with _client(client, workers) as dask_client:
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
        failed=sum(1 for group in journal.groups.values() if group[0]["status"] == "error"),
        rows=tuple(rows),
    )


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
    return plan_rows(rec, len(history.timestamps), time.perf_counter() - started)


class ModuleThreads(WorkerPlugin):
    """Gives each worker process its share of its machine's cores for the module's pool.

    The processes on a machine are counted when the batch starts (`processes`, by host)
    and again by a worker that starts later (one restarted after a crash); a value
    already in the worker's environment is kept.
    """

    name = "velmar-module-threads"

    def __init__(self, processes: Mapping[str, int]) -> None:
        self.processes = dict(processes)

    async def setup(self, worker: Any) -> None:
        if os.environ.get(THREADS_VARIABLE):
            return
        host = get_address_host(worker.address)
        cluster = await worker.scheduler.identity()
        here = sum(1 for address in cluster["workers"] if get_address_host(address) == host)
        sharing = max(self.processes.get(host, 1), here) * worker.state.nthreads
        os.environ[THREADS_VARIABLE] = str(max(1, len(os.sched_getaffinity(0)) // sharing))


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
        self._tag = uuid.uuid4().hex[:8]

    def plan(self, client: Client, todo: Sequence[int]) -> None:
        threads: dict[str, int] = client.nthreads()  # type: ignore[no-untyped-call]
        client.register_plugin(ModuleThreads(Counter(get_address_host(address) for address in threads)))
        window = max(2, 2 * sum(threads.values()))
        waiting: Iterator[int] = iter(todo)
        running: dict[Future[list[Row]], int] = {}
        finished = as_completed()  # type: ignore[no-untyped-call]
        self._report()
        try:
            for _ in range(window):
                self._submit_next(client, waiting, running, finished)
            for future in finished:
                index = running.pop(future)
                self._record(index, self._rows_of(future))
                self._submit_next(client, waiting, running, finished)
        except BaseException:
            client.cancel(list(running))  # type: ignore[no-untyped-call]
            raise

    def _submit_next(
        self, client: Client, waiting: Iterator[int], running: dict[Future[list[Row]], int], finished: Any
    ) -> None:
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
            finished.add(future)
            return

    def _rows_of(self, future: Future[list[Row]]) -> list[Row]:
        try:
            rows = future.result()
        except KilledWorker:
            deaths = int(dask.config.get("distributed.scheduler.allowed-failures")) + 1
            return error_rows(
                f"the worker planning this group died {deaths} times: killed, or out of memory (a group too "
                "large for one worker's memory ends so; give workers more memory or split it by more columns)",
                0.0,
            )
        except Exception as error:  # the cluster's failure, not the group's
            return error_rows(f"{type(error).__name__}: {error}", 0.0)
        return rows

    def _record(self, index: int, rows: list[Row]) -> None:
        self._journal.append(self._split.keys[index], rows)
        self.planned += 1
        self._failed += rows[0]["status"] == "error"
        self._left -= 1
        if self._tables:
            self._tables.write(self._journal)
        self._report()

    def _report(self) -> None:
        if self._progress is not None:
            self._progress(BatchProgress(self.planned, self._failed, self._left))


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
def _client(client: Client | str | None, workers: int | None) -> Iterator[Client]:
    """The given client, one for an address (the argument or DASK_SCHEDULER_ADDRESS), or a local cluster's."""
    if isinstance(client, Client):
        yield client
        return
    address = client or os.environ.get("DASK_SCHEDULER_ADDRESS")
    if address:
        try:
            connected = Client(address, timeout="30s")  # type: ignore[no-untyped-call]
        except (OSError, TimeoutError) as error:
            raise UserError(f"scheduler {address}: cannot connect ({error})") from None
        with connected:
            yield connected
        return
    count = workers or len(os.sched_getaffinity(0))
    with _children_ignore_ctrl_c():
        cluster = LocalCluster(n_workers=count, threads_per_worker=1, **_QUIET_PROCESSES)  # type: ignore[no-untyped-call]
    with cluster, Client(cluster) as local:  # type: ignore[no-untyped-call]
        yield local


@contextmanager
def _children_ignore_ctrl_c() -> Iterator[None]:
    """Processes started inside ignore Ctrl-C, which reaches every process of the terminal:
    the parent alone answers it, by cancelling the tasks and closing the cluster."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


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
    with (folder / ".lock").open("w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UserError(f"{folder}: another batch is writing there") from None
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
) -> None:
    if not by:
        raise UserError("--by: give at least one column")
    clash = next((name for name in by if name in RESULT_COLUMNS), None)
    if clash is not None:
        raise UserError(f"--by: '{clash}' is also a column of the results; it cannot group them")
    unknown = sorted(set(options) - PLANNER_OPTIONS)
    if unknown:
        raise TypeError(f"plan_many() got options the planner does not take: {', '.join(unknown)}")
    wrong = [model for model in models if model not in COMMITMENT_MODELS]
    if wrong or not models:
        raise UserError(f"--models: {wrong[0] if wrong else 'empty'!r} is not one of {','.join(COMMITMENT_MODELS)}")
    if workers is not None and (workers < 1 or client is not None or os.environ.get("DASK_SCHEDULER_ADDRESS")):
        raise UserError(f"--workers: {workers} " + ("is below 1" if workers < 1 else "applies to a local cluster only"))
    threads = os.environ.get(THREADS_VARIABLE, "")
    if threads and not (threads.isascii() and threads.isdigit() and int(threads) > 0):
        raise UserError(f"{THREADS_VARIABLE}: '{threads}' is not a positive whole number")
