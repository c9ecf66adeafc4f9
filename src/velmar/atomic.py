"""Files that appear whole or not at all."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path


def write_atomically(path: str | os.PathLike[str], content: str | bytes) -> None:
    """Write `content` to a temporary file beside `path`, then rename it into place.

    A reader sees the old file or the new one, never a part; on failure the
    temporary file is removed and `path` is left as it was.
    """
    target = Path(path)
    data = content.encode("utf-8") if isinstance(content, str) else content
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent or ".")
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
