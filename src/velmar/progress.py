"""Progress of the command's steps on standard error: a spinner, or a bar when the size is known."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import TextIO

from rich.console import Console
from rich.progress import (
    BarColumn,
    Progress,
    SpinnerColumn,
    TaskID,
    TextColumn,
    TimeElapsedColumn,
)

#: Seconds between two refreshes of the display driven by SIGALRM during a step.
REFRESH_SECONDS = 0.2


def stderr_copy() -> TextIO:
    """A text stream on a copy of file descriptor 2, made now.

    The module's calls send descriptor 2 to a spool for their duration (`velmar.backend`); a
    display that writes to this copy still reaches the terminal while they run.
    """
    return os.fdopen(os.dup(2), "w", buffering=1, encoding="utf-8", errors="replace")


@contextmanager
def refreshed_by_alarm(progress: Progress, seconds: float = REFRESH_SECONDS) -> Iterator[None]:
    """Refreshes `progress` from a SIGALRM handler every `seconds` while the block runs.

    The module holds the interpreter lock for a whole call, so rich's own refresh thread
    stands still; but the call polls the host's signal check every 20 ms, and Python runs
    signal handlers then, on the main thread. Only there and only when no other timer is
    running; the previous handler and timer come back afterwards. The handler never
    raises (rich's lock is reentrant, so a refresh inside one of its own updates is safe).
    """
    if threading.current_thread() is not threading.main_thread() or signal.getitimer(signal.ITIMER_REAL)[0] > 0:
        yield
        return

    def refresh(signum: int, frame: FrameType | None) -> None:
        with contextlib.suppress(Exception):  # a display that cannot draw must not stop the work
            progress.refresh()

    previous = signal.signal(signal.SIGALRM, refresh)
    signal.siginterrupt(signal.SIGALRM, False)  # system calls interrupted by the alarm resume
    signal.setitimer(signal.ITIMER_REAL, seconds, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)


class Step:
    """One running step: its text can change, and a counted step moves its bar."""

    def __init__(self, progress: Progress | None, task: TaskID | None) -> None:
        self._progress, self._task = progress, task

    def say(self, text: str) -> None:
        if self._progress is not None and self._task is not None:
            self._progress.update(self._task, description=text)

    def count(self, done: int, total: int) -> None:
        if self._progress is not None and self._task is not None:
            self._progress.update(self._task, completed=done, total=total, count=f"{done}/{total}")


class Steps:
    """On a terminal, shows each step while it runs and leaves a line with its time.

    Elsewhere (a pipe, a log file) it shows nothing: standard error keeps only errors.
    Its console writes to a copy of standard error (`stderr_copy`), so the display
    keeps moving during the module's calls, which the alarm refreshes (`refreshed_by_alarm`).
    """

    def __init__(self) -> None:
        self._console = console = Console(file=stderr_copy(), stderr=True)
        self._progress = Progress(
            SpinnerColumn(),
            TextColumn("{task.description}"),
            BarColumn(),
            TextColumn("{task.fields[count]}"),
            TimeElapsedColumn(),
            console=console,
            transient=True,
        )

    @contextmanager
    def step(self, description: str) -> Iterator[Step]:
        if not self._console.is_terminal:
            yield Step(None, None)
            return
        started = time.monotonic()
        task = self._progress.add_task(description, total=None, count="")
        self._progress.start()
        try:
            with refreshed_by_alarm(self._progress):
                yield Step(self._progress, task)
        finally:
            self._progress.remove_task(task)
            self._progress.stop()
        self._console.print(f"[green]✓[/green] {description} [dim]({time.monotonic() - started:.1f} s)[/dim]")
