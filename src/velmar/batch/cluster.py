"""The Dask cluster a batch runs on, and each worker process's share of its machine's cores.

Either the scheduler given (or DASK_SCHEDULER_ADDRESS), or a local cluster of one-thread
worker processes started here, quietly: no dashboard, no log lines on standard error.

Workers are processes with one thread each, since the module keeps the interpreter lock
for a whole call. The module sizes its pool of threads once per process, at its first
call (`VELMAR_NUM_THREADS`, else the CPUs of the affinity mask), and never resizes it; a
cluster outlives batches and its workers come and go. So at every batch each worker is
given its share again: the variable, for a pool not started yet, and an affinity mask of
that many CPUs, disjoint from the other workers' of its machine as far as the CPUs go,
which holds whatever pool the process already has to its share.
"""

from __future__ import annotations

import functools
import logging
import os
import signal
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterator, Mapping
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass
from multiprocessing import resource_tracker
from typing import Any

import dask.utils
from distributed import Client, LocalCluster
from distributed.comm.addressing import get_address_host
from distributed.diagnostics.plugin import WorkerPlugin

from velmar.errors import UserError

#: The environment variable that sizes the module's pool of threads in a process.
THREADS_VARIABLE = "VELMAR_NUM_THREADS"
#: How long the workers of a local cluster may take to start.
START_TIMEOUT_SECONDS = 120


@dataclass(frozen=True)
class WorkerState:
    """Workers paused by Dask (their memory is nearly full) and workers gone since the batch began
    (restarting after a crash, or stopped)."""

    paused: int = 0
    restarting: int = 0


def requested_threads() -> int | None:
    """The module threads per worker asked for by VELMAR_NUM_THREADS here, or None to share the cores."""
    text = os.environ.get(THREADS_VARIABLE, "")
    if not text:
        return None
    threads = _positive_whole(text)
    if threads is None:
        raise UserError(f"{THREADS_VARIABLE}: '{text}' is not a positive whole number")
    return threads


def _positive_whole(text: str | None) -> int | None:
    """The number `text` spells when it is a positive whole number, else None."""
    return int(text) if text and text.isascii() and text.isdigit() and int(text) > 0 else None


def check_memory_limit(limit: str) -> None:
    """Refuses a `--memory-limit` that is not a positive size ("2GB", "512MiB", ...)."""
    try:
        size = int(dask.utils.parse_bytes(limit))
    except (ValueError, TypeError):
        raise UserError(f"--memory-limit: '{limit}' is not a size such as 2GB or 512MiB") from None
    if size <= 0:
        raise UserError(f"--memory-limit: '{limit}' is not a positive size")


@contextmanager
def connect(client: Client | str | None, workers: int | None, memory_limit: str | None) -> Iterator[Client]:
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
    with _local_cluster(count, memory_limit) as local:
        yield local


@contextmanager
def _local_cluster(count: int, memory_limit: str | None) -> Iterator[Client]:
    """A local cluster of `count` one-thread worker processes that do not answer Ctrl-C.

    Ctrl-C reaches every process of the terminal; the parent alone answers it, by
    cancelling the tasks and closing the cluster. The cluster's worker processes are
    started by its event-loop thread, and a thread or process inherits the signal mask
    of the thread that starts it: so SIGINT is blocked while the cluster (its scheduler
    and that thread, no worker yet) is made, and every worker, a restarted one too,
    keeps it blocked (multiprocessing's resource tracker is started first: starting it
    unblocks SIGINT in the thread that does). A Ctrl-C during the start is held until the cluster is whole
    (Dask's calls cannot be cut midway: a cluster interrupted so fails to close), and
    the start stops at once then.
    """
    resource_tracker.ensure_running()
    local: Client | None = None
    with ExitStack() as stack:
        with _ctrl_c_held() as interrupted:
            before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            try:
                cluster = LocalCluster(  # type: ignore[no-untyped-call]
                    n_workers=0,
                    threads_per_worker=1,
                    processes=True,
                    memory_limit=memory_limit or "auto",
                    dashboard_address=None,  # pyright: ignore[reportArgumentType]  (None: no dashboard)
                    # Even without a dashboard the scheduler serves HTTP; on a free port, it never warns of a busy one.
                    scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                    silence_logs=logging.CRITICAL,
                )
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, before)
            stack.enter_context(cluster)
            if not interrupted():
                cluster.scale(count)  # type: ignore[no-untyped-call]
                local = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
                _wait_for_workers(local, count, interrupted)
        if interrupted() or local is None:
            raise KeyboardInterrupt
        yield local


@contextmanager
def _ctrl_c_held() -> Iterator[Callable[[], bool]]:
    """Ctrl-C only noted inside: yields whether one came."""
    came = threading.Event()
    if threading.current_thread() is not threading.main_thread() or not callable(signal.getsignal(signal.SIGINT)):
        yield came.is_set
        return
    previous = signal.signal(signal.SIGINT, lambda number, frame: came.set())
    try:
        yield came.is_set
    finally:
        signal.signal(signal.SIGINT, previous)


def _wait_for_workers(client: Client, count: int, interrupted: Callable[[], bool]) -> None:
    deadline = time.monotonic() + START_TIMEOUT_SECONDS
    while not interrupted():
        try:
            client.wait_for_workers(count, timeout=0.25)
            return
        except TimeoutError:
            if time.monotonic() > deadline:
                late = f"the local cluster's {count} workers did not start in {START_TIMEOUT_SECONDS} s"
                raise TimeoutError(late) from None


def worker_state(client: Client, started_with: int) -> WorkerState:
    """How many workers are paused, and how many of the `started_with` are gone."""
    workers = client.scheduler_info()["workers"]
    paused = sum(1 for info in workers.values() if info.get("status") == "paused")
    return WorkerState(paused=paused, restarting=max(0, started_with - len(workers)))


def share_cores(client: Client) -> dict[str, int]:
    """Gives every worker its share of its machine's cores for this batch; returns each worker's threads."""
    threads: dict[str, int] = client.nthreads()  # type: ignore[no-untyped-call]
    processes = Counter(get_address_host(address) for address in threads)
    client.register_plugin(ModuleThreads(processes, requested_threads()))
    return threads


class ModuleThreads(WorkerPlugin):
    """Sizes a worker process's module threads and pins it to as many of its machine's CPUs.

    The threads per worker thread are VELMAR_NUM_THREADS as the worker's own environment
    had it before any batch, else as the batch's caller has it, else the CPUs divided
    among the worker processes of the machine (counted when the batch starts and again
    when a worker starts later, one restarted after a crash).
    """

    name = "velmar-module-threads"

    def __init__(self, processes: Mapping[str, int], threads: int | None) -> None:
        self.processes, self.threads = dict(processes), threads

    async def setup(self, worker: Any) -> None:
        host = get_address_host(worker.address)
        cluster = await worker.scheduler.identity()
        peers = sorted(address for address in cluster["workers"] if get_address_host(address) == host)
        rank = peers.index(worker.address) if worker.address in peers else len(peers)
        sharing = max(self.processes.get(host, 1), len(peers))
        _size_this_process(rank, sharing, worker.state.nthreads, self.threads)


@functools.cache
def _original() -> tuple[int | None, list[int]]:
    """This process's VELMAR_NUM_THREADS (when a positive whole number) and CPUs before a batch first set them."""
    return _positive_whole(os.environ.get(THREADS_VARIABLE)), sorted(os.sched_getaffinity(0))


def _size_this_process(rank: int, sharing: int, nthreads: int, requested: int | None) -> None:
    own, cpus = _original()
    threads = own or requested or max(1, len(cpus) // (sharing * nthreads))
    os.environ[THREADS_VARIABLE] = str(threads)
    width = min(len(cpus), threads * nthreads)
    first = (rank * width) % len(cpus)
    _pin({cpus[(first + offset) % len(cpus)] for offset in range(width)})


def _pin(cpus: set[int]) -> None:
    """Restricts every thread of this process to `cpus` (threads started later inherit it)."""
    for task in os.listdir("/proc/self/task"):
        try:
            os.sched_setaffinity(int(task), cpus)
        except (ProcessLookupError, PermissionError):  # a thread that ended, or one we may not touch
            continue
