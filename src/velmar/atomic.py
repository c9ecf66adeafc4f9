"""Files that appear whole or not at all.

A file is written to a temporary file beside it, `.NAME.PID.XXXXXXXX.part`, synced, then
renamed into place. The writer's process id in the name lets a later write of the same
file remove what a killed writer left behind (`remove_leftovers`).
"""

from __future__ import annotations

import os
import re
import tempfile
from collections.abc import Collection, Iterator
from contextlib import contextmanager
from pathlib import Path


def write_atomically(path: str | os.PathLike[str], content: str | bytes) -> None:
    """Write `content` to a temporary file beside `path`, then rename it into place.

    A reader sees the old file or the new one, never a part; on failure the
    temporary file is removed and `path` is left as it was.
    """
    data = content.encode("utf-8") if isinstance(content, str) else content
    with replaced_atomically(path) as temporary:
        temporary.write_bytes(data)


@contextmanager
def replaced_atomically(path: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary file beside `path` for the block to fill; it replaces `path` when the block ends.

    The file is synced before the rename; if the block fails, it is removed and `path`
    is left as it was. Temporary files of `path` left by writers that died go first.
    """
    target = Path(path)
    folder = target.parent
    remove_leftovers(folder, [target.name])
    handle, name = tempfile.mkstemp(prefix=f".{target.name}.{os.getpid()}.", suffix=".part", dir=folder)
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        with temporary.open("rb") as stream:
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def remove_leftovers(folder: Path, names: Collection[str], older_than: float | None = None) -> None:
    """Remove the temporary files of `names` in `folder` whose writer process is gone.

    With `older_than` (a time as `time.time()` gives it), those last written before it go
    too, whoever wrote them: a caller that holds the folder for itself knows no one else
    writes there.
    """
    patterns = [re.compile(rf"\.{re.escape(name)}\.(\d+)(?:\.\w+)?\.part") for name in names]
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return
    for entry in entries:
        match = next((found for pattern in patterns if (found := pattern.fullmatch(entry.name))), None)
        if match is None or not entry.is_file(follow_symlinks=False):
            continue
        stale = older_than is not None and entry.stat(follow_symlinks=False).st_mtime < older_than
        if stale or not _running(int(match.group(1))):
            Path(entry.path).unlink(missing_ok=True)


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except (ProcessLookupError, OverflowError):
        return False
    except PermissionError:  # another user's process
        return True
    return True
