"""Files of the storm case: folders made and checked before the work, and complete files only.

Every output is made in memory and written under a hidden temporary name in its folder, then
renamed into place: a failed or interrupted run leaves no partial file and no temporary one, and
a full disk is known (and reported with the size needed) before anything is written.
"""

from __future__ import annotations

import contextlib
import errno
import os
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

MB = 1024 * 1024

# Test hook: with this set to the path of a FIFO, the product is held, complete under its
# temporary name, until a line can be read from the FIFO.
HOLD = "TARNWELL_STORM_HOLD"


class CaseError(Exception):
    """A failure of the case with a one-line message and the command's exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def free_bytes(folder: Path) -> int:
    """Bytes available to this user on the file system of folder."""
    st = os.statvfs(folder)
    return st.f_bavail * st.f_frsize


def no_space(folder: Path, needed: int) -> CaseError:
    free = free_bytes(folder)
    return CaseError(
        f"no space left on OUT's file system ({folder}): {mb(needed)} MB needed, {mb(free)} MB free"
    )


def mb(n: int) -> str:
    """n bytes in MB, with one decimal below 10 MB."""
    return f"{n / MB:.1f}" if n < 10 * MB else f"{n / MB:.0f}"


def make_folders(*folders: Path) -> list[Path]:
    """Makes the folders (with their parents) and checks that files can be made in them.

    Returns the folders this call created, deepest first, for `remove_empty` to take back. An
    unusable folder (not writable, read-only, a file in the way) is a CaseError of status 2.
    """
    created: list[Path] = []
    try:
        for folder in folders:
            missing = [p for p in (folder, *folder.parents) if not p.exists()]
            folder.mkdir(parents=True, exist_ok=True)
            created[:0] = missing  # reversed order of the parents: deepest first
            # A real probe: permission bits say nothing for root or a read-only mount.
            fd, probe = tempfile.mkstemp(prefix=".probe.", dir=folder)
            os.close(fd)
            os.unlink(probe)
    except OSError as e:
        remove_empty(created)
        where = e.filename if e.filename is not None else folder
        raise CaseError(f"OUT is not writable: {where}: {e.strerror or e}", status=2) from e
    return created


def remove_empty(folders: list[Path]) -> None:
    """Removes the given folders where they are empty, in the order given."""
    for folder in folders:
        with contextlib.suppress(OSError):
            folder.rmdir()


def hold_if_asked(name: str) -> None:
    """Waits on the test hook's FIFO, when one is set, with the file complete under its temporary
    name."""
    fifo = os.environ.get(HOLD)
    if not fifo:
        return
    print(f"tarnwell.storm: holding {name} until {fifo} is written", file=sys.stderr, flush=True)
    with open(fifo, encoding="utf-8") as f:
        f.readline()


def write_atomically(
    path: Path, data: bytes | memoryview, before_publish: Callable[[], None] | None = None
) -> None:
    """Writes data to path through a hidden temporary file in its folder, renamed into place.

    The space is checked first; on any failure (a full disk, an interruption) the temporary file
    is removed and path is left as it was. The file gets the permissions of any new file (the
    temporary file is made private).
    """
    folder = path.parent
    needed = len(data)
    if free_bytes(folder) < needed:
        raise no_space(folder, needed)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        if before_publish is not None:
            before_publish()
        os.replace(tmp, path)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            raise no_space(folder, needed) from e
        raise
