"""Progress of the command's steps on standard error: a spinner, or a bar when the size is known."""

from __future__ import annotations

import time
from collections.abc import Iterator
from contextlib import contextmanager

from rich.console import Console
from rich.progress import (
    BarColumn,
    Progress,
    SpinnerColumn,
    TaskID,
    TextColumn,
    TimeElapsedColumn,
)


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
    """

    def __init__(self, console: Console) -> None:
        self._console = console
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
            yield Step(self._progress, task)
        finally:
            self._progress.remove_task(task)
            self._progress.stop()
        self._console.print(f"[green]✓[/green] {description} [dim]({time.monotonic() - started:.1f} s)[/dim]")
