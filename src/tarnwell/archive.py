"""Runs one package function over a Zarr or NetCDF archive and streams the result into a Zarr store.

    python -m tarnwell.archive IN OUT FUNCTION [--arg NAME=VALUE ...] [--chunks DIM=SIZE ...]
                               [--workers N [--memory-limit SIZE] | --scheduler ADDRESS]
                               [--overwrite] [--wait] [--allow-missing-chunks] [--debug]

IN is opened lazily with xarray (a directory is read as Zarr, a file as NetCDF) in the chunks of the
store, changed per dimension by ``--chunks``. ``--arg NAME=VALUE`` binds an argument of FUNCTION:
for an argument that takes data, VALUE names a data variable or coordinate of IN (a number is also
accepted where the function takes one); otherwise VALUE is an integer, a float, a comma-separated
list (``5,`` is a one-element list) or else a string. Dimension names (``dim``, ``x_dim``, ...) are
always strings.

Before any work, every chunk IN's listing should hold for the variables read is looked up (no data
read): an absent chunk ends the run (exit 1) unless ``--allow-missing-chunks`` reads it as missing
data. A store whose declared size is absurd for its bytes on disk, or whose chunk count the task
graph could not hold in memory, is refused.

The result is written chunk by chunk, one task per chunk of the result, into a temporary store
beside OUT (``.OUT.<run>.partial``) that is synced to disk and renamed to OUT once complete: OUT is
only ever absent, the previous store or a complete result. A finished chunk is recorded in the
temporary store; after a kill, Ctrl-C, SIGTERM, SIGHUP or lost workers the temporary store is kept
and the same command run again resumes from the finished chunks (the result is the same bit for
bit). A chunk is recorded after its data are written, with no sync to disk (a sync of each chunk's
files would add about a tenth to a 29 MB chunk's time): the system holds what was written once a
write returns, so the records are right after any kill, and a rerun after the machine itself
restarted starts afresh (the last writes before a crash may be lost in any order). One run at a time
writes OUT: a run holds a lock file beside it (``.OUT.lock``, released by the kernel if the run
dies); a second run on the same OUT exits with status 2 at once, or with ``--wait`` waits for the
first. ``--overwrite`` replaces only a store this command wrote, and never IN, a folder holding or
inside IN, ``.`` or a parent of the working directory. An OUT that is a symbolic link is refused.

``--workers N`` runs on a local cluster of N one-thread worker processes on 127.0.0.1, each limited
to ``--memory-limit`` (dask's default: the machine's memory shared out); ``--workers 1`` on an input
of a few chunks (8 at most) runs in this process on one thread instead, with no cluster to start.
The workers are forked from one server process that imports what the tasks use once, started as
soon as the arguments are read (workers restarted after a kill start afresh), with dask's worker
environment but for ``MALLOC_TRIM_THRESHOLD_`` (which would make every chunk-sized block fresh
pages). A chunk's task reads, computes and writes it; chunks stored uncompressed are read file by
file straight into the task's block.
``--scheduler ADDRESS`` runs on an existing cluster (IN and OUT must then be reachable by the
workers under the same paths) and leaves it running; with neither, the chunks run on a thread pool
of this process. Progress goes to stderr.

Every error is one line on stderr (``--debug`` adds the traceback). Argument errors, a refused OUT
and an OUT being written by another run exit with status 2 before any work; a failed computation
(absent or damaged chunks, a full disk, an unwritable OUT, a thread or process limit, lost workers)
exits with 1, an interruption with 128 + the signal's number (Ctrl-C 130, SIGTERM 143, SIGHUP 129).
"""

from __future__ import annotations

import argparse
import atexit
import contextlib
import ctypes
import dataclasses
import errno
import fcntl
import functools
import glob
import hashlib
import inspect
import itertools
import json
import math
import os
import re
import secrets
import shutil
import signal
import sys
import threading
import time
import traceback
import types
import typing
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np

import tarnwell

if TYPE_CHECKING:
    import xarray as xr  # imported where used: a cluster's workers start before its import

FUNCTIONS = (
    "thermo",
    "cold_pool",
    "profile",
    "gradient",
    "vad",
    "perturb",
    "statistics",
    "mode",
    "trace",
)
PROG = "python -m tarnwell.archive"

Literal = int | float | str | tuple[int | float | str, ...]


class ArgumentError(Exception):
    """A bad command line, a refused OUT or an OUT locked by another run: one line, exit 2."""


class RunError(Exception):
    """A failed run whose cause is known: one line, exit status 1."""


class ReadError(RunError):
    """A chunk of IN that cannot be read, named by variable and chunk key."""


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, SIGTERM or SIGHUP: exit status 128 + the signal's number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line instead of usage + message
        raise ArgumentError(message)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("input", metavar="IN", help="Zarr store (directory) or NetCDF file")
    p.add_argument("output", metavar="OUT", help="Zarr store to write")
    p.add_argument("function", metavar="FUNCTION", help="one of " + ", ".join(FUNCTIONS))
    p.add_argument(
        "--arg", action="append", default=[], metavar="NAME=VALUE", help="bind an argument"
    )
    p.add_argument(
        "--chunks", action="append", default=[], metavar="DIM=SIZE", help="dask chunk size of IN"
    )
    cluster = p.add_mutually_exclusive_group()
    cluster.add_argument(
        "--workers",
        type=int,
        metavar="N",
        help=f"local cluster of N one-thread processes (1 on <= {SMALL_JOB} chunks: in process)",
    )
    cluster.add_argument(
        "--scheduler", metavar="ADDRESS", help="address of a running dask scheduler"
    )
    p.add_argument("--memory-limit", metavar="SIZE", help="memory of each local worker, e.g. 4GiB")
    p.add_argument(
        "--overwrite", action="store_true", help="replace a store this command wrote at OUT"
    )
    p.add_argument("--wait", action="store_true", help="wait while another run writes OUT")
    p.add_argument(
        "--allow-missing-chunks",
        action="store_true",
        help="read chunks absent from IN as missing data",
    )
    p.add_argument("--debug", action="store_true", help="show the traceback of an error")
    return p


# --- values of --arg and --chunks -----------------------------------------------------------------


def _split(item: str, option: str, what: str) -> tuple[str, str]:
    name, eq, value = item.partition("=")
    if not eq or not name.strip() or not value:
        raise ArgumentError(f"{option} {item!r}: expected {what}")
    return name.strip(), value


def _scalar(text: str) -> int | float | str:
    if re.fullmatch(r"[+-]?\d+", text):
        return int(text)
    try:
        return float(text)
    except ValueError:
        return text


def parse_literal(text: str) -> Literal:
    """`3` -> 3, `3.0` / `1e-3` -> float, `10,50,90` -> (10, 50, 90), `5,` -> (5,), else str."""
    if "," not in text:
        return _scalar(text)
    items = text.split(",")
    if items[-1] == "":  # a trailing comma makes a one-element list
        items.pop()
    if any(not i.strip() for i in items):
        raise ValueError(f"empty item in the list {text!r}")
    return tuple(_scalar(i.strip()) for i in items)


def parse_chunks(items: Sequence[str]) -> dict[str, int]:
    chunks: dict[str, int] = {}
    for item in items:
        dim, size = _split(item, "--chunks", "DIM=SIZE")
        if not re.fullmatch(r"-1|[1-9]\d*", size.strip()):
            raise ArgumentError(
                f"--chunks {item!r}: SIZE must be a positive integer (or -1 for whole)"
            )
        if dim in chunks:
            raise ArgumentError(f"--chunks: dimension {dim!r} given twice")
        chunks[dim] = int(size)
    return chunks


# --- binding FUNCTION's arguments -----------------------------------------------------------------


def _members(annotation: Any) -> tuple[Any, ...]:
    if isinstance(annotation, types.UnionType) or typing.get_origin(annotation) is typing.Union:
        return typing.get_args(annotation)
    return (annotation,)


def _is_data(t: Any) -> bool:
    import xarray as xr

    return isinstance(t, type) and issubclass(t, xr.DataArray)


def takes_data(annotation: Any) -> bool:
    """Whether a parameter's annotation admits an `xarray.DataArray` (`Any` does)."""
    return any(t is Any or _is_data(t) for t in _members(annotation))


def takes_literal(annotation: Any) -> bool:
    """Whether it admits anything besides a DataArray and None (a number, a sequence, an array)."""
    return any(not _is_data(t) and t is not type(None) for t in _members(annotation))


def _is_dim(name: str) -> bool:
    return name == "dim" or name.endswith("_dim")


def _function(name: str) -> Callable[..., xr.Dataset]:
    if name not in FUNCTIONS:
        raise ArgumentError(f"unknown function {name!r} (one of {', '.join(FUNCTIONS)})")
    fn: Callable[..., xr.Dataset] = getattr(tarnwell, name)
    return fn


def bind_names(
    fn: Callable[..., Any], name: str, items: Sequence[str]
) -> tuple[inspect.Signature, dict[str, str]]:
    """Checks NAME=VALUE items against the signature: known, each once, every required one given."""
    sig = inspect.signature(fn, eval_str=True)
    params = {
        k: p for k, p in sig.parameters.items() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
    }
    raw: dict[str, str] = {}
    for item in items:
        key, value = _split(item, "--arg", "NAME=VALUE")
        if key not in params:
            raise ArgumentError(
                f"--arg {key}: {name} has no argument {key!r} (it takes {', '.join(params)})"
            )
        if key in raw:
            raise ArgumentError(f"--arg {key}: given twice")
        raw[key] = value
    for key, p in params.items():
        if p.default is p.empty and key not in raw:
            raise ArgumentError(
                f"{name}: required argument {key!r} is not bound (give --arg {key}=...)"
            )
    return sig, raw


def bind_values(sig: inspect.Signature, raw: dict[str, str], ds: xr.Dataset) -> dict[str, Any]:
    """VALUE -> the variable of IN for data arguments, else the literal."""
    bound: dict[str, Any] = {}
    for key, text in raw.items():
        annotation = sig.parameters[key].annotation
        if _is_dim(key):
            bound[key] = text
            continue
        if takes_data(annotation):
            if text in ds.variables:
                bound[key] = ds[text]
                continue
            literal = None
            with contextlib.suppress(ValueError):
                literal = parse_literal(text)
            if takes_literal(annotation) and literal is not None and not isinstance(literal, str):
                bound[key] = literal
                continue
            names = ", ".join(map(str, ds.variables)) or "none"
            raise ArgumentError(
                f"--arg {key}={text}: IN has no variable or coordinate {text!r} (it has {names})"
            )
        try:
            bound[key] = parse_literal(text)
        except ValueError as e:
            raise ArgumentError(f"--arg {key}={text}: {e}") from None
    return bound


# --- OUT, its temporary stores and its lock -------------------------------------------------------

MARK = (
    "tarnwell_archive"  # root-group attribute of every store this command writes, and only of those
)
JOB = ".tarnwell-job.json"  # in a temporary store: the job whose partial result it holds
DONE = ".tarnwell-done"  # in a temporary store: an empty file per finished chunk
NAME_MAX = 255
_SUFFIX = re.compile(r"\.[0-9a-f]{12}\.(partial|old)")


def stem(out: Path) -> str:
    """OUT's name, shortened (with a digest of it) where the temporary names would pass NAME_MAX."""
    name = out.name
    room = NAME_MAX - len(".") - len(".0123456789ab.partial")
    if len(os.fsencode(name)) <= room:
        return name
    digest = hashlib.sha256(os.fsencode(name)).hexdigest()[:16]
    while len(os.fsencode(name)) > room - 17:
        name = name[:-1]
    return f"{name}~{digest}"


def lock_name(out: Path) -> Path:
    return out.with_name(f".{stem(out)}.lock")


def partial_name(out: Path, token: str) -> Path:
    """A temporary store beside OUT (same file system, so the final rename is atomic)."""
    return out.with_name(f".{stem(out)}.{token}.partial")


def temporaries(out: Path) -> list[Path]:
    """The temporary and old stores of OUT this command left beside it (never a user's folder)."""
    prefix = f".{stem(out)}"
    found = []
    with contextlib.suppress(FileNotFoundError):
        for entry in os.scandir(out.parent):
            name = entry.name
            if name.startswith(prefix) and _SUFFIX.fullmatch(name[len(prefix) :]):
                path = Path(entry.path)
                if entry.is_dir(follow_symlinks=False) and is_ours(path):
                    found.append(path)
    return sorted(found)


def is_ours(store: Path) -> bool:
    """Whether `store` is a Zarr store this command wrote (its root group carries MARK)."""
    try:
        meta = json.loads((store / "zarr.json").read_text())
    except OSError, ValueError:
        return False
    return isinstance(meta, dict) and MARK in (meta.get("attributes") or {})


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def take_lock(out: Path, wait: bool) -> int:
    """An exclusive lock on OUT's lock file (released by the kernel if this process dies)."""
    path = lock_name(out)
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except BlockingIOError:
            pid = os.pread(fd, 32, 0).decode(errors="replace").strip() or "unknown"
            os.close(fd)
            raise ArgumentError(
                f"OUT {str(out)!r} is being written by another run (pid {pid})"
            ) from None
        # the last holder removes the file: a lock taken on a removed file holds nothing
        with contextlib.suppress(FileNotFoundError):
            if os.stat(path).st_ino == os.fstat(fd).st_ino:
                break
        os.close(fd)
    os.ftruncate(fd, 0)
    os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
    return fd


def release_lock(out: Path, fd: int) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(lock_name(out))  # while still held, so that no waiter locks the removed file
    os.close(fd)


def check_out(src: Path, out: Path, display: str) -> None:
    """Refuses an OUT whose replacement could delete IN, the working directory or its parents."""
    if out.is_symlink():
        raise ArgumentError(
            f"OUT {display!r} is a symbolic link (to {os.readlink(out)!r}); give its target"
        )
    if not out.parent.is_dir():
        raise ArgumentError(f"OUT {display!r}: folder {str(out.parent)!r} does not exist")
    real_out, real_src, cwd = out.resolve(), src.resolve(), Path.cwd().resolve()
    if real_out == real_src:
        raise ArgumentError(f"OUT {display!r} is IN")
    if cwd.is_relative_to(real_out):
        raise ArgumentError(f"OUT {display!r} is the working directory or one of its parents")
    if real_src.is_relative_to(real_out):
        raise ArgumentError(f"OUT {display!r} holds IN")
    if real_out.is_relative_to(real_src):
        raise ArgumentError(f"OUT {display!r} lies inside IN")
    if not os.access(out.parent, os.W_OK):
        raise ArgumentError(f"OUT {display!r}: folder {str(out.parent)!r} is not writable")


def check_replaceable(out: Path, display: str, overwrite: bool) -> None:
    if not out.exists():
        return
    if not overwrite:
        raise ArgumentError(f"OUT {display!r} exists (give --overwrite to replace it)")
    if not out.is_dir() or not is_ours(out):
        raise ArgumentError(
            f"OUT {display!r} is not a store this command wrote; --overwrite replaces only those"
            " (remove it yourself if it may go)"
        )


def _libc(name: str) -> Any:
    """The C library's function `name` (errno kept for ctypes.get_errno), None where absent."""
    try:
        return getattr(ctypes.CDLL(None, use_errno=True), name)
    except OSError, AttributeError:
        return None


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two paths in one step (Linux renameat2 RENAME_EXCHANGE); False where unsupported."""
    renameat2 = _libc("renameat2")
    if renameat2 is None:
        return False
    at_fdcwd, rename_exchange = -100, 2
    return bool(renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0)


def _sync(folder: Path) -> None:
    """Puts what was written under `folder` on disk: one sync of its file system (Linux syncfs)
    instead of one a file, else of every file system."""
    fd = os.open(folder, os.O_RDONLY)
    try:
        syncfs = _libc("syncfs")
        if syncfs is None:
            os.sync()
        elif syncfs(fd) != 0:
            code = ctypes.get_errno()
            if code != errno.ENOSYS:  # data that did not reach the disk fail the run
                raise OSError(code, f"cannot sync OUT to disk: {os.strerror(code)}")
            os.sync()
    finally:
        os.close(fd)


def publish(tmp: Path, out: Path) -> None:
    """Puts the complete store `tmp` at `out`, replacing what is there with no moment of neither;
    its data are on disk first, so that a crash of the machine cannot leave an OUT with chunks
    that never reached it."""
    _sync(tmp)
    for name in (JOB, DONE):
        _remove(tmp / name)
    if not out.exists():
        tmp.rename(out)
    elif _exchange(tmp, out):
        _remove(tmp)  # now the old OUT
    else:  # two renames; a kill between them leaves the old OUT under an own name, put back later
        old = tmp.with_name(tmp.name.removesuffix(".partial") + ".old")
        out.rename(old)
        tmp.rename(out)
        _remove(old)


def recover(out: Path) -> list[Path]:
    """Undoes what an interrupted run left (under the lock): old OUT put back, old names removed.

    Returns the temporary stores that hold finished chunks of some job, newest first.
    """
    partials = []
    for path in temporaries(out):
        if path.name.endswith(".old") and not out.exists():
            path.rename(out)
        elif path.name.endswith(".partial") and (path / JOB).is_file():
            partials.append(path)
        else:
            _remove(path)
    return sorted(partials, key=lambda p: p.stat().st_mtime, reverse=True)


# --- IN -------------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Chunking:
    """How a stored variable's chunks are named: storage grid and chunk key encoding."""

    name: str
    chunks: tuple[int, ...]
    prefix: str  # "c/" for Zarr 3's default keys, "" else
    separator: str

    def key(self, coords: Sequence[int]) -> str:
        if not coords:
            return self.prefix.rstrip(self.separator) or "0"
        return self.prefix + self.separator.join(map(str, coords))


def _chunking(array: Any, name: str) -> Chunking:
    meta = array.metadata
    if getattr(meta, "zarr_format", 3) == 2:
        sep = getattr(meta, "dimension_separator", None) or "."
        return Chunking(name, tuple(array.chunks), "", sep)
    encoding = meta.chunk_key_encoding
    sep = getattr(encoding, "separator", "/")
    prefix = "c" + sep if getattr(encoding, "name", "default") == "default" else ""
    return Chunking(name, tuple(array.shards or array.chunks), prefix, sep)


def _pieces(
    box: Sequence[tuple[int, int]], chunks: Sequence[int]
) -> Iterator[tuple[tuple[int, ...], list[tuple[int, int]]]]:
    """The stored chunks a box ([start, stop) per axis) covers: each one's grid coordinates and
    the part of the box inside it."""
    ranges = [range(a // c, -(-b // c)) for (a, b), c in zip(box, chunks)]
    for coords in itertools.product(*ranges):
        yield (
            coords,
            [(max(a, k * c), min(b, (k + 1) * c)) for (a, b), k, c in zip(box, coords, chunks)],
        )


def read_block(chunking: Chunking | None, a: Any, index: Any, **kw: Any) -> Any:
    """dask's getter, with a failure named by variable and the chunk key it came from."""
    from dask.array.core import getter

    try:
        return getter(a, index, **kw)
    except Exception as e:
        if chunking is None or not isinstance(index, tuple):
            where = ", ".join(f"{s.start}:{s.stop}" for s in index if isinstance(s, slice))
            name = chunking.name if chunking else "?"
            raise ReadError(
                f"IN variable {name!r} [{where}] cannot be read: {type(e).__name__}: {e}"
            ) from None
        # the block may span several stored chunks: name the one that fails
        box = [(s.start, s.stop) for s in index]
        bad = [start // c for (start, _), c in zip(box, chunking.chunks)]
        for coords, part in _pieces(box, chunking.chunks):
            try:
                getter(a, tuple(slice(x, y) for x, y in part), **kw)
            except Exception:
                bad = list(coords)
                break
        key = chunking.key(bad)
        raise ReadError(
            f"IN variable {chunking.name!r}, chunk {key!r} cannot be read: {type(e).__name__}: {e}"
        ) from None


def _plain_bytes(array: Any) -> bool:
    """Whether a Zarr array holds numbers in this machine's (little-endian) byte order."""
    dtype = np.dtype(array.dtype)
    return sys.byteorder == "little" and dtype.kind in "biuf" and dtype.byteorder in "=|<"


def _compressors(array: Any) -> list[str] | None:
    """The codecs after `bytes` (little-endian) of an unsharded Zarr 3 array, by class name; None
    for another layout (Zarr 2, sharding, another serializer or byte order)."""
    meta = array.metadata
    if meta.zarr_format != 3 or array.shards is not None or meta.storage_transformers:
        return None
    first, *rest = meta.codecs
    endian = str(getattr(first.endian, "value", first.endian)) if hasattr(first, "endian") else ""
    if type(first).__name__ != "BytesCodec" or endian not in ("little", "None"):
        return None
    return [type(c).__name__ for c in rest]


class RawChunks:
    """A Zarr array whose chunks are stored as raw bytes (no compression, filter, transposition
    or sharding), read chunk file by chunk file straight into the block asked for: one file read
    a chunk instead of a read, a decode and a copy (a 29 MB chunk in 6 ms instead of 20). A chunk
    file that is absent or not of its chunk's size is left to Zarr, as is any other selection."""

    def __init__(self, array: Any, folder: Path, chunking: Chunking) -> None:
        self.array, self.folder, self.chunking = array, str(folder), chunking
        self.shape, self.dtype, self.ndim = tuple(array.shape), np.dtype(array.dtype), array.ndim
        self.nbytes = math.prod(chunking.chunks) * self.dtype.itemsize

    @staticmethod
    def of(array: Any, folder: Path, chunking: Chunking) -> RawChunks | None:
        """The reader for `array`, or None where its chunks are not stored as raw bytes in this
        machine's byte order."""
        meta = array.metadata
        if array.ndim == 0 or not _plain_bytes(array):
            return None
        if meta.zarr_format == 2:
            raw = meta.compressor is None and not meta.filters and meta.order == "C"
        else:
            raw = _compressors(array) == []
        return RawChunks(array, folder, chunking) if raw else None

    def __getitem__(self, index: Any) -> Any:
        steps = isinstance(index, tuple) and len(index) == self.ndim
        if not steps or not all(isinstance(s, slice) and s.step in (None, 1) for s in index):
            return self.array[index]
        box = [s.indices(n)[:2] for s, n in zip(index, self.shape)]
        out = np.empty([max(b - a, 0) for a, b in box], self.dtype)
        if out.size == 0:
            return out
        for coords, part in _pieces(box, self.chunking.chunks):
            lo = [k * c for k, c in zip(coords, self.chunking.chunks)]
            into = tuple(slice(x - a, y - a) for (x, y), (a, _) in zip(part, box))
            within = tuple(slice(x - o, y - o) for (x, y), o in zip(part, lo))
            if not self._read(coords, out[into], within):
                out[into] = self.array[tuple(slice(x, y) for x, y in part)]
        return out

    def _read(self, coords: Sequence[int], view: Any, within: tuple[slice, ...]) -> bool:
        try:
            f = open(os.path.join(self.folder, self.chunking.key(coords)), "rb", buffering=0)
        except FileNotFoundError:
            return False
        with f:
            if os.fstat(f.fileno()).st_size != self.nbytes:
                return False
            whole = view.flags.c_contiguous and all(
                w.start == 0 and w.stop == c for w, c in zip(within, self.chunking.chunks)
            )
            target = view if whole else np.empty(self.chunking.chunks, self.dtype)
            buffer, got = memoryview(target).cast("B"), 0
            while got < self.nbytes:  # one read returns at most about 2 GB
                n = f.readinto(buffer[got:])
                if not n:
                    return False  # shortened since: Zarr says what it holds now
                got += n
        if not whole:
            view[...] = target[within]
        return True


def open_input(path: Path, chunks: Mapping[str, int], read: Sequence[str] = ()) -> xr.Dataset:
    """IN, lazily, in the store's own chunks except along the dimensions of `chunks`.

    The variables `read` of a Zarr store get a reader that names the chunk a failure comes from;
    those stored as raw bytes and not decoded (no scale, offset or fill value but NaN) are read
    by `RawChunks`.
    """
    import xarray as xr

    if not path.is_dir():
        # the engine named: guessing it would load every installed backend plugin
        return xr.open_dataset(path, engine="netcdf4", chunks=dict(chunks))
    ds: xr.Dataset = xr.open_zarr(path, chunks=None, consolidated=None)
    arrays = _zarr_arrays(path, [n for n in read if n in ds.variables and n not in ds.indexes])
    lazy = {}
    for name, var in ds.variables.items():
        if name in ds.indexes:
            continue
        preferred = var.encoding.get("preferred_chunks", {})
        target = {d: chunks.get(str(d), preferred.get(d, var.sizes[d])) for d in var.dims}
        array = arrays.get(str(name))
        chunking = _chunking(array, str(name)) if array is not None else None
        stamp = [(f.name, f.stat().st_mtime_ns) for f in (path / str(name)).glob("*.json")]
        block_name = f"read-{name}-{dask_token(str(path), name, target, stamp)}"
        getitem = functools.partial(read_block, chunking)
        raw = (
            RawChunks.of(array, path / str(name), chunking)
            if array is not None and chunking is not None and _undecoded(var, array)
            else None
        )
        if raw is None:
            lazy[name] = var.chunk(target, name=block_name, from_array_kwargs={"getitem": getitem})
            continue
        import dask.array as da

        data = da.from_array(
            raw,
            chunks=tuple(target[d] for d in var.dims),
            name=block_name,
            getitem=getitem,
            meta=np.empty((0,) * var.ndim, var.dtype),
        )
        lazy[name] = xr.Variable(var.dims, data, var.attrs, var.encoding)
    variables = {k: lazy.get(k, v) for k, v in ds.variables.items()}
    new = xr.Dataset(
        {k: variables[k] for k in ds.data_vars}, {k: variables[k] for k in ds.coords}, ds.attrs
    )
    new.set_close(ds.close)
    return new


def _undecoded(var: xr.Variable, array: Any) -> bool:
    """Whether xarray reads `var` as stored: same dtype, no scale or offset, no fill value but
    NaN (which masking leaves as it is)."""
    enc = var.encoding
    if var.dtype != np.dtype(array.dtype) or "scale_factor" in enc or "add_offset" in enc:
        return False
    fills = [enc[k] for k in ("_FillValue", "missing_value") if enc.get(k) is not None]
    return all(var.dtype.kind == "f" and np.all(np.isnan(f)) for f in fills)


def dask_token(*parts: object) -> str:
    from dask.base import tokenize

    return str(tokenize(*parts))


def _zarr_arrays(path: Path, names: Sequence[str]) -> dict[str, Any]:
    import zarr

    group = zarr.open_group(str(path), mode="r")
    return {n: group[n] for n in names if n in group}


def _listing(folder: Path) -> tuple[set[str], int]:
    """Chunk keys below a stored array's folder (relative, '/'-joined) and their bytes."""
    keys, size = set(), 0
    for root, _, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        for f in files:
            if f in ("zarr.json", ".zarray", ".zattrs", ".zgroup", ".zmetadata"):
                continue
            keys.add(f if rel == "." else f"{rel}/{f}".replace(os.sep, "/"))
            with contextlib.suppress(OSError):
                size += os.stat(os.path.join(root, f)).st_size
    return keys, size


def check_input(path: Path, names: Sequence[str], allow_missing: bool) -> None:
    """Every chunk of the variables `names` present in IN's listing; sizes IN could really hold.

    Cheap: the folder listing against each array's chunk grid, no data read.
    """
    if not path.is_dir():
        return
    absent_total, first = 0, None
    budget = available_memory()
    for name, array in _zarr_arrays(path, names).items():
        chunking = _chunking(array, name)
        shape = tuple(array.shape)
        grid = tuple(-(-s // c) if c else 0 for s, c in zip(shape, chunking.chunks))
        n_grid = math.prod(grid)
        keys, on_disk = _listing(path / name)
        declared = math.prod(shape) * array.dtype.itemsize
        # a few kB of task graph per chunk: more chunks than memory holds would end in MemoryError
        if n_grid * CHUNK_BOOKKEEPING > budget:
            raise RunError(
                f"IN variable {name!r} declares {n_grid} chunks (shape {shape}):"
                " the task graph alone"
                f" would need about {n_grid * CHUNK_BOOKKEEPING / 1e9:.0f} GB, more than the"
                f" {budget / 1e9:.1f} GB free (IN's declared size is not what its files hold?)"
            )
        if (
            len(keys) < n_grid
            and declared > ABSURD_BYTES
            and declared > ABSURD_RATIO * (on_disk + 2**20)
        ):
            raise RunError(
                f"IN variable {name!r} declares {declared / 1e9:.0f} GB (shape {shape}) but holds"
                f" {on_disk / 1e3:.0f} kB on disk: refused as a damaged or mistaken store"
            )
        if len(keys) >= n_grid:
            continue
        for coords in np.ndindex(*grid):  # stops at the first absent key
            if chunking.key(coords) not in keys:
                first = first or (name, chunking.key(coords))
                break
        absent_total += n_grid - len(keys & {chunking.key(c) for c in np.ndindex(*grid)})
    if first is None:
        return
    if not allow_missing:
        raise RunError(
            f"IN variable {first[0]!r}: chunk {first[1]!r} is absent"
            f" ({absent_total} absent in all);"
            " give --allow-missing-chunks to read absent chunks as missing data"
        )
    warnings.warn(f"{absent_total} chunks absent from IN are read as missing data", stacklevel=1)


def available_memory() -> int:
    """Bytes of memory available to new work (Linux MemAvailable, else the free pages)."""
    with contextlib.suppress(OSError, ValueError, StopIteration):
        with open("/proc/meminfo") as f:
            line = next(x for x in f if x.startswith("MemAvailable:"))
        return int(line.split()[1]) * 1024
    return int(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))


CHUNK_BOOKKEEPING = 20_000  # bytes of task graph and records per chunk, generous
ABSURD_BYTES = 2**30
ABSURD_RATIO = 10_000


# --- the job: one task per chunk of the result ----------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Writes:
    """What the task of one chunk writes: (variable, region) per block, in its inputs' order."""

    store: str
    index: int
    parts: tuple[tuple[str, tuple[slice, ...]], ...]
    hold: str | None  # the test hook's file for the last chunk, else None
    others: tuple[int, ...]  # chunks the held chunk waits for


# Test hook: with TARNWELL_ARCHIVE_HOLD=PATH the task of the result's last chunk waits until every
# other chunk is finished, writes its process id to PATH.held and waits until PATH exists, so that
# tests can signal or kill a run at a known point. Needs two task threads (any run but --workers 1).
HOLD_VARIABLE = "TARNWELL_ARCHIVE_HOLD"
_cancelled = threading.Event()  # set when the run ends early: held tasks give up


@functools.lru_cache(maxsize=64)
def _open_array(store: str, name: str) -> Any:
    import zarr

    return zarr.open_array(store=os.path.join(store, name), mode="r+")


def _wait(cond: Callable[[], bool]) -> None:
    while not cond():
        if _cancelled.wait(0.01):
            raise RunError("run ended while a chunk was held")


class ChunkGraph:
    """The tasks that make one chunk of the result (read, kernel, selection), held as data: dask
    looks into the tuples, lists and dicts of a task's arguments for tasks, not into this."""

    __slots__ = ("dsk", "keys")

    def __init__(self, dsk: Mapping[Any, Any], keys: Sequence[Any]) -> None:
        self.dsk, self.keys = dict(dsk), list(keys)


def write_chunk(w: Writes, chunk: ChunkGraph) -> int:
    """Computes one chunk's blocks, writes them into the temporary store, then records the chunk
    as finished: one task a chunk, so that a worker goes from chunk to chunk without waiting for
    the scheduler between reading, fitting and writing."""
    import dask.local

    blocks = dask.local.get_sync(chunk.dsk, chunk.keys)
    done = os.path.join(w.store, DONE)
    if w.hold is not None:
        with contextlib.suppress(ImportError, ValueError):
            from distributed import secede

            secede()  # on a worker, the wait frees its thread for the other chunks
        _wait(lambda: all(os.path.exists(os.path.join(done, str(i))) for i in w.others))
        part = f"{w.hold}.held.{os.getpid()}"
        with open(part, "w") as f:
            f.write(str(os.getpid()))
        os.replace(
            part, w.hold + ".held"
        )  # whole: the test reads the id as soon as the file exists
        _wait(lambda: os.path.exists(w.hold or ""))
    writes = []
    for (name, region), block in zip(w.parts, blocks):
        array = _open_array(w.store, name)
        own = _chunk_file(array, os.path.join(w.store, name), region, block)
        if own is None:
            writes.append((array, region, block))
            continue
        path, data = own
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    _put(writes)
    # after the data: a chunk recorded is a chunk written (a kill between leaves it to be redone)
    os.close(os.open(os.path.join(done, str(w.index)), os.O_WRONLY | os.O_CREAT, 0o644))
    return sum(int(block.nbytes) for block in blocks)


def _chunk_file(
    array: Any, folder: str, region: tuple[slice, ...], block: Any
) -> tuple[str, bytes] | None:
    """The file and the bytes of a write of one whole chunk (the edge chunks padded with the fill
    value) of a Zarr 3 array stored as raw or zstd-compressed bytes, as Zarr writes them; None
    for any other write, left to Zarr. Zarr's own write of a small chunk costs a few ms."""
    meta, dtype = array.metadata, np.dtype(array.dtype)
    compressors = _compressors(array) if _plain_bytes(array) else None
    if block.dtype != dtype or compressors is None or compressors not in ([], ["ZstdCodec"]):
        return None
    chunks = tuple(meta.chunk_grid.chunk_shape)
    coords = []
    for s, c, n in zip(region, chunks, array.shape):
        if s.start % c or s.stop != min(s.start + c, n):
            return None
        coords.append(s.start // c)
    data = np.ascontiguousarray(block)
    if data.shape != chunks:
        full = np.full(chunks, meta.fill_value, dtype)
        full[tuple(slice(0, k) for k in data.shape)] = data
        data = full
    raw = data.tobytes()
    if compressors:
        import numcodecs

        zstd = meta.codecs[1]
        raw = numcodecs.Zstd(level=zstd.level, checksum=zstd.checksum).encode(raw)
    return os.path.join(folder, _chunking(array, "").key(coords)), bytes(raw)


def _put(writes: Sequence[tuple[Any, tuple[slice, ...], Any]]) -> None:
    """Writes (array, region, block) all at once on Zarr's event loop: one wait for the chunk's
    variables instead of one each (a few ms each, most of a small chunk's cost)."""
    if not writes:
        return
    import asyncio

    from zarr.core.sync import sync  # the loop Zarr's own synchronous calls run on

    async def put() -> None:
        await asyncio.gather(*(a.async_array.setitem(r, b) for a, r, b in writes))

    sync(put())


@dataclasses.dataclass
class Job:
    """The result's chunks and the tasks that write those not yet finished."""

    n_chunks: int
    todo: list[int]
    graph: Any  # dask Delayed of the chunk tasks, or None when nothing is left
    nbytes: int  # of the result's data variables, as computed


def chunk_grid(result: xr.Dataset) -> tuple[list[Any], dict[Any, tuple[int, ...]]]:
    names = [k for k, v in result.data_vars.items() if hasattr(v.data, "dask")]
    sizes: dict[Any, tuple[int, ...]] = {}
    for k in names:
        for d, c in zip(result[k].dims, result[k].data.chunks):
            sizes.setdefault(d, c)
    return names, sizes


def fingerprint(src: Path, argv: Mapping[str, Any], result: xr.Dataset) -> str:
    """What a partial result belongs to: IN (path, metadata file), the call, the result's layout."""
    stamp = []
    for f in ("zarr.json", ".zmetadata", ".zgroup", ""):
        p = src / f if f else src
        if p.exists():
            st = p.stat()
            stamp.append([f, st.st_size, st.st_mtime_ns])
            break
    layout = {
        k: [list(v.dims), list(v.shape), str(v.dtype), [list(c) for c in (v.chunks or ())]]
        for k, v in result.data_vars.items()
    }
    text = json.dumps([str(src), stamp, dict(argv), layout], sort_keys=True, default=str)
    return hashlib.sha256(text.encode()).hexdigest()


def build_job(result: xr.Dataset, tmp: Path, done: set[int], hold: str | None) -> Job:
    import dask
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from dask.optimization import cull

    names, sizes = chunk_grid(result)
    dims = list(sizes)
    grid = tuple(len(sizes[d]) for d in dims)
    n_chunks = math.prod(grid) if names else 0
    offsets = {d: np.concatenate([[0], np.cumsum(sizes[d])]).tolist() for d in dims}
    nbytes = sum(int(result[k].nbytes) for k in names)
    todo = [i for i in range(n_chunks) if i not in done]
    if not todo:
        return Job(n_chunks, todo, None, nbytes)
    # each chunk's read, kernel and selection in one task with its write (see write_chunk)
    arrays = dask.optimize(*[result[k].data for k in names])
    dsk = dict(HighLevelGraph.merge(*[a.__dask_graph__() for a in arrays]))
    token = dask_token(str(tmp), names, todo)
    layer: dict[Any, Any] = {}
    for i in todo:
        at = dict(zip(dims, np.unravel_index(i, grid)))
        parts, keys = [], []
        for k, arr in zip(names, arrays):
            var_dims = result[k].dims
            if any(at[d] for d in dims if d not in var_dims):
                continue  # a variable without this dimension is written by the chunk at its index 0
            parts.append(
                (k, tuple(slice(offsets[d][at[d]], offsets[d][at[d] + 1]) for d in var_dims))
            )
            keys.append((arr.name, *(int(at[d]) for d in var_dims)))
        last = hold is not None and i == todo[-1]
        w = Writes(
            str(tmp), i, tuple(parts), hold if last else None, tuple(todo[:-1]) if last else ()
        )
        layer[(f"write-{token}", i)] = (write_chunk, w, ChunkGraph(cull(dsk, keys)[0], keys))
    final = f"chunks-{token}"
    layer[final] = (sum, list(layer))
    graph = HighLevelGraph.from_collections(final, layer, dependencies=[])
    return Job(n_chunks, todo, Delayed(final, graph), nbytes)


def start_store(result: xr.Dataset, tmp: Path, job_id: str) -> None:
    """The temporary store's metadata and eager variables, marked as this command's."""
    import zarr

    mark: dict[str, Any] = {MARK: f"written by {PROG}"}
    zarr.open_group(str(tmp), mode="w-", attributes=mark)  # first: a partial store known as ours
    result = result.assign_attrs(mark)
    result.to_zarr(tmp, mode="a", compute=False)  # metadata and the variables held in memory
    (tmp / DONE).mkdir()
    job = {"job": job_id, "boot": boot_id()}
    (tmp / JOB).write_text(json.dumps(job) + "\n")  # last: a store to resume from


def finished(tmp: Path) -> set[int]:
    with contextlib.suppress(FileNotFoundError):
        return {int(n) for n in os.listdir(tmp / DONE) if n.isdigit()}
    return set()


def boot_id() -> str | None:
    """This boot of the machine (None where the system does not say): chunks are recorded with no
    sync to disk, so a rerun trusts the records only within the boot that wrote them."""
    with contextlib.suppress(OSError):
        return Path("/proc/sys/kernel/random/boot_id").read_text().strip()
    return None


def resumable(partials: Sequence[Path], job_id: str) -> Path | None:
    for p in partials:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            job = json.loads((p / JOB).read_text())
            if job.get("job") != job_id:
                continue
            if job.get("boot") == boot_id():
                return p
            # a crash of the machine may have lost written chunks whose records reached the disk
            _note(
                f"the machine has restarted since {p.name} was written (its chunks may not have"
                " reached the disk): starting afresh"
            )
    return None


# --- running --------------------------------------------------------------------------------------


@contextlib.contextmanager
def _signals_interrupt() -> Iterator[None]:
    """Ctrl-C, SIGTERM (a batch system's time limit) and SIGHUP (a closed terminal) end the run."""

    def handler(signum: int, frame: object) -> None:
        raise Interrupted(signum)

    previous = {
        s: signal.signal(s, handler) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    }
    try:
        yield
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


def import_task_modules() -> None:
    """Imports what the tasks use, in one thread, before any task runs.

    dask.array and dask.array.chunk import each other; a task importing one while another thread
    (a pool thread, or a worker's event loop unpickling the next task) imports the other fails with
    the interpreter's _DeadlockError on the module locks (seen on distributed workers).
    """
    import importlib

    import dask.array
    import dask.array.chunk
    import dask.array.core  # noqa: F401
    import zarr  # noqa: F401

    for name in set(tarnwell.MODULES.values()):  # the package imports them on first use
        importlib.import_module(f"tarnwell.{name}")


def _worker_plugin() -> Any:
    from distributed.diagnostics.plugin import WorkerPlugin

    class ImportTaskModules(WorkerPlugin):  # type: ignore[misc]
        # set up on every worker, restarted ones too, before it is handed tasks
        def setup(self, worker: Any) -> None:
            import_task_modules()

    return ImportTaskModules()


def compute_local(task: Any, threads: int) -> None:
    """Runs the graph on threads of this process, one kernel thread per task, with progress."""
    import dask
    from dask.diagnostics import ProgressBar

    import_task_modules()
    pool = ThreadPoolExecutor(threads)
    try:
        # the bar's thread is joined at the end after its current pause: short pauses, no wait
        with ProgressBar(out=sys.stderr, dt=0.05):
            dask.compute(task, scheduler=pool)  # the pool itself: see _lazy_result
    finally:  # no task may write into the temporary store after the run ends
        _cancelled.set()
        pool.shutdown(wait=True, cancel_futures=True)


LOST = "workers were lost"
_hard_exit = (
    False  # set when a cluster would not close: the process then ends without waiting for it
)


def _close(stack: contextlib.ExitStack, seconds: float = 10.0) -> None:
    """Closes the client and cluster within `seconds`, else kills their worker processes."""
    global _hard_exit
    closer = threading.Thread(target=stack.close, daemon=True)
    closer.start()
    closer.join(seconds)
    if closer.is_alive():
        import multiprocessing

        for child in multiprocessing.active_children():  # the local cluster's worker processes
            child.kill()
        _hard_exit = True


def wait_for_chunks(future: Any, count: Callable[[], tuple[int, int]]) -> None:
    """Waits until every chunk is recorded as written, showing progress from the records.

    The records, not the cluster's word, say when the result is complete: a chunk is recorded only
    after its data, so a cluster whose event loop stalls after the last chunk (seen with distributed
    on CPython 3.14) cannot hold a complete result back.
    """
    shown = ""
    while True:
        done, total = count()
        bar = f"[{'#' * (40 * done // max(total, 1)):<40}] {done} of {total} chunks"
        if bar != shown:
            print("\r" + bar, end="", file=sys.stderr, flush=True)
            shown = bar
        if done >= total:
            print(file=sys.stderr)
            return
        if future.done():
            future.result()  # raises the failure of a task
            done, total = count()
            if done < total:
                raise RunError(f"the cluster ended with {total - done} chunks unwritten")
        # often enough that the end is seen at once, seldom enough that listing the records of
        # a large run costs little
        time.sleep(min(0.25, max(0.02, total / 20000)))


# What every worker imports before its first task: a local cluster's workers are forked from one
# server process that imported them once, started as soon as the arguments are read.
WORKER_IMPORTS = (
    "distributed",
    "tarnwell.archive",
    *(f"tarnwell.{m}" for m in sorted(set(tarnwell.MODULES.values()))),
    "dask.array",
    "dask.array.chunk",
    "zarr",
)


# The environment dask's nanny gives a worker before it starts, less MALLOC_TRIM_THRESHOLD_: set,
# it fixes glibc's threshold for mmap too, so every block above 128 kB (each chunk read, each
# float64 copy for the kernel) comes as fresh pages from the kernel, faulted in and zeroed. A
# 29 MB chunk then reads in 30 ms instead of 14 and fills in 7 instead of 2.4; left out, the
# threshold follows the largest blocks freed (up to 32 MB), as in any other process.
UNSET_WORKER_VARIABLES = ("MALLOC_TRIM_THRESHOLD_",)


def worker_environ() -> dict[str, str]:
    import dask

    key = "distributed.nanny.pre-spawn-environ"
    if "distributed" in sys.modules:
        env = dict(dask.config.get(key) or {})
    else:
        # distributed's defaults under the user's settings, as importing it would merge them: the
        # fork server starts without waiting for that import (a third of a second)
        env = dict(_distributed_defaults().get("nanny", {}).get("pre-spawn-environ") or {})
        env.update(dask.config.get(key, default=None) or {})
    return {str(k): str(v) for k, v in env.items() if k not in UNSET_WORKER_VARIABLES}


def _distributed_defaults() -> dict[str, Any]:
    """The "distributed" section of distributed's configuration file, read without importing
    distributed."""
    import importlib.util

    import yaml

    found = importlib.util.find_spec("distributed")
    folders = list(found.submodule_search_locations or []) if found else []
    for folder in folders:
        with contextlib.suppress(OSError):
            with open(os.path.join(folder, "distributed.yaml")) as f:
                return dict((yaml.safe_load(f) or {}).get("distributed") or {})
    return {}


def start_fork_server() -> bool:
    """Starts the server that forks the local cluster's workers, with the workers' imports and the
    environment the cluster would give them; False where the platform cannot fork one."""
    import multiprocessing
    import multiprocessing.forkserver

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return False
    ctx = multiprocessing.get_context("forkserver")  # the one distributed's nannies take
    env = worker_environ()
    ctx.set_forkserver_preload(list(WORKER_IMPORTS))
    # the variables a spawned worker would get (one BLAS thread, one hash seed); the server takes
    # them at its start, this process keeps its own
    env.setdefault("PYTHONHASHSEED", "6640")
    saved = {k: os.environ.get(k) for k in env}
    try:
        os.environ.update({str(k): str(v) for k, v in env.items()})
        multiprocessing.forkserver.ensure_running()
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    return True


def _local_cluster(workers: int | None, memory_limit: str | None, forked: bool = False) -> Any:
    import dask
    from distributed import LocalCluster

    kw = {} if memory_limit is None else {"memory_limit": memory_limit}
    # workers restarted later (after a kill) are spawned afresh: the setting holds for the start
    key = "distributed.worker.multiprocessing-method"
    method = "forkserver" if forked else dask.config.get(key)
    with dask.config.set({key: method, "distributed.nanny.pre-spawn-environ": worker_environ()}):
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            # the scheduler's bare HTTP routes on a free port of 127.0.0.1, not on 8787
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            **kw,
        )


class ClusterStart:
    """A local cluster started on a thread of its own while this process opens IN and builds the
    graph (the workers' start-up is mostly imports, in other processes): `begin` starts it once
    it is known to be needed, `take` waits for it (starting it then if it was not begun)."""

    def __init__(self, workers: int | None, memory_limit: str | None) -> None:
        self._args = (workers, memory_limit)
        self._future: Any = None
        self._taken = False

    def begin(self) -> None:
        if self._future is not None:
            return
        forked = start_fork_server()
        pool = ThreadPoolExecutor(1, thread_name_prefix="cluster-start")
        self._future = pool.submit(_local_cluster, *self._args, forked)
        pool.shutdown(wait=False)

    def take(self) -> Any:
        """The cluster, now the caller's to close."""
        self.begin()
        self._taken = True
        return self._future.result()

    def discard(self) -> None:
        """Closes the cluster if it was begun and not taken (the run ended before it computed,
        or ran in this process after all)."""
        if self._future is None or self._taken or self._future.cancel():
            return
        with contextlib.suppress(Exception):
            cluster = self._future.result()
            stack = contextlib.ExitStack()
            stack.callback(cluster.close)
            _close(stack)


def compute_distributed(
    task: Any,
    workers: int | None,
    scheduler: str | None,
    memory_limit: str | None,
    then: Callable[[], None],
    count: Callable[[], tuple[int, int]],
    started: ClusterStart | None = None,
) -> None:
    """Runs the graph on a new local cluster (`started`, or one started now) or on the one at
    `scheduler` (left running), then `then` (the publication) before the cluster is closed."""
    from distributed import Client, KilledWorker

    stack = contextlib.ExitStack()
    try:
        if scheduler is not None:
            client = Client(scheduler, timeout="30s", set_as_default=False)
            stack.callback(client.close)
        else:
            cluster = (started or ClusterStart(workers, memory_limit)).take()
            stack.callback(cluster.close)  # after the client's (callbacks run last in, first out)
            # not the default client: it is closed on another thread (see _close)
            client = Client(cluster, set_as_default=False)
            stack.callback(client.close)
        client.register_plugin(_worker_plugin(), name="tarnwell-imports")
        future = client.compute(task)
        try:
            wait_for_chunks(future, count)
        except KilledWorker:
            import dask

            n = int(dask.config.get("distributed.scheduler.allowed-failures")) + 1
            raise RunError(f"{LOST} (the workers running one chunk died {n} times)") from None
        finally:
            future.cancel()
        then()
    finally:
        _close(stack)


def _error_for(e: BaseException, out: Path, display: str, need: float) -> RunError | None:
    """The one-line message for a failure of the machine rather than of the data."""
    if isinstance(e, OSError) and e.errno == errno.ENOSPC:
        free = shutil.disk_usage(out.parent).free / 1e6
        return RunError(
            f"no space left on OUT's file system: {need / 1e6:.1f} MB needed, {free:.1f} MB free"
        )
    if isinstance(e, OSError) and e.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
        return RunError(f"OUT {display!r} is not writable: {e.strerror}")
    if isinstance(e, MemoryError):
        return RunError(f"out of memory: {e or 'a chunk does not fit'} (smaller --chunks?)")
    if _thread_limit(e):
        return RunError(
            f"a thread or process limit was reached ({type(e).__name__}: {e}); see ulimit -u"
        )
    return None


def _thread_limit(e: BaseException) -> bool:
    if isinstance(e, RuntimeError) and "can't start new thread" in str(e):
        return True
    return isinstance(e, OSError) and e.errno == errno.EAGAIN and not isinstance(e, BlockingIOError)


def _note(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr)


def run(argv: Sequence[str] | None = None) -> int:
    opts = _parser().parse_args(argv)
    global _debug
    _debug = opts.debug
    if opts.workers is not None and opts.workers < 1:
        raise ArgumentError(f"--workers {opts.workers}: must be at least 1")
    if opts.memory_limit is not None:
        if opts.workers is None:
            raise ArgumentError(
                "--memory-limit: only with --workers (a cluster of --scheduler has its own)"
            )
        from dask.utils import parse_bytes

        try:
            parse_bytes(opts.memory_limit)
        except ValueError, TypeError:
            raise ArgumentError(
                f"--memory-limit {opts.memory_limit!r}: expected a size such as 4GiB"
            ) from None
    chunks = parse_chunks(opts.chunks)
    if opts.scheduler is None and opts.workers is not None:
        # a cluster is certain (more than one worker) or likely (one, on a store of many chunks)
        # to be needed: its fork server's imports run on another core while this process imports
        # the package (on an argument error the server ends with this process)
        if opts.workers > 1 or not in_process(1, stored_chunks(Path(opts.input), chunks)):
            start_fork_server()
    fn = _function(opts.function)
    sig, raw = bind_names(fn, opts.function, opts.arg)
    src = Path(opts.input).absolute()
    out = Path(opts.output).absolute()
    if not src.exists():
        raise ArgumentError(f"IN {opts.input!r}: no such file or directory")
    check_out(src, out, opts.output)
    with _signals_interrupt():
        lock = take_lock(out, opts.wait)
        try:
            return _run(opts, fn, sig, raw, chunks, src, out)
        finally:
            release_lock(out, lock)


_debug = False


def _run(
    opts: argparse.Namespace,
    fn: Callable[..., xr.Dataset],
    sig: inspect.Signature,
    raw: dict[str, str],
    chunks: dict[str, int],
    src: Path,
    out: Path,
) -> int:
    partials = recover(out)
    check_replaceable(out, opts.output, opts.overwrite)
    local = opts.scheduler is None and opts.workers is not None
    started = ClusterStart(opts.workers, opts.memory_limit) if local else None
    if started is not None and opts.workers > 1:  # certain to be needed: starts while IN opens
        started.begin()
    try:
        return _prepare(opts, fn, sig, raw, chunks, src, out, partials, started)
    finally:
        if started is not None:
            started.discard()


def _prepare(
    opts: argparse.Namespace,
    fn: Callable[..., xr.Dataset],
    sig: inspect.Signature,
    raw: dict[str, str],
    chunks: dict[str, int],
    src: Path,
    out: Path,
    partials: list[Path],
    started: ClusterStart | None,
) -> int:
    import xarray as xr

    try:
        probe = (
            open_input(src, {})
            if not src.is_dir()
            else xr.open_zarr(src, chunks=None, consolidated=None)
        )
    except Exception as e:  # the backends raise many kinds
        if _thread_limit(e):
            raise
        raise ArgumentError(f"IN {opts.input!r}: cannot open as Zarr or NetCDF: {e}") from None
    with probe:
        for dim in chunks:
            if dim not in probe.dims:
                have = ", ".join(map(str, probe.dims)) or "none"
                raise ArgumentError(f"--chunks {dim}: IN has no dimension {dim!r} (it has {have})")
        bound0 = bind_values(sig, raw, probe)
        read = sorted(
            {
                str(n)
                for v in bound0.values()
                if isinstance(v, xr.DataArray)
                for n in (v.name, *v.coords)
                if n in probe.variables
            }
        )
    check_input(src, read, opts.allow_missing_chunks)
    if started is not None and not in_process(opts.workers, stored_chunks(src, chunks, read)):
        started.begin()  # --workers 1 on more than a few chunks: while IN is opened
    ds = open_input(src, chunks, read)
    try:
        import dask

        # no client is ever the default here, so dask's rechunks are its task graphs: said
        # outright, dask need not import distributed to find that out (a third of a second)
        with dask.config.set({"array.rechunk.method": "tasks"}):
            result = _lazy_result(opts, fn, sig, raw, ds)
        return _write(opts, result, src, out, raw, chunks, partials, started)
    finally:
        ds.close()


def _lazy_result(
    opts: argparse.Namespace,
    fn: Callable[..., xr.Dataset],
    sig: inspect.Signature,
    raw: dict[str, str],
    ds: xr.Dataset,
) -> xr.Dataset:
    # variables stored in different chunk grids (coordinates often in one) share dask chunks
    ds = ds.unify_chunks()
    bound = bind_values(sig, raw, ds)
    try:  # lazy: checks the arguments and builds the graph, computes nothing
        result = fn(**bound)  # every package argument can be given by keyword
    except (ValueError, TypeError) as e:
        text = str(e)
        raise ArgumentError(
            text if text.startswith(f"{opts.function}:") else f"{opts.function}: {text}"
        ) from None
    for var in result.variables.values():  # IN's storage settings do not apply to OUT
        var.encoding = {}
    # coordinates (small, per sweep or gate) are written with the metadata; computed here, on
    # this thread (a scheduler named, not given, makes dask import distributed to look for a
    # client: a third of a second)
    import dask.local

    lazy_coords = [k for k, c in result.coords.items() if hasattr(c.data, "dask")]
    if lazy_coords:
        result = result.assign_coords(
            {k: result[k].compute(scheduler=dask.local.get_sync) for k in lazy_coords}
        )
    return result


def _write(
    opts: argparse.Namespace,
    result: xr.Dataset,
    src: Path,
    out: Path,
    raw: dict[str, str],
    chunks: dict[str, int],
    partials: list[Path],
    started: ClusterStart | None = None,
) -> int:
    job_id = fingerprint(src, {"function": opts.function, "args": raw, "chunks": chunks}, result)
    hold = os.environ.get(HOLD_VARIABLE) or None
    t0 = time.perf_counter()
    tmp = resumable(partials, job_id)
    for other in partials:  # partial results of other jobs on this OUT
        if other != tmp:
            _remove(other)
    keep = False
    job: Job | None = None
    try:
        if tmp is None:
            tmp = partial_name(out, secrets.token_hex(6))
            start_store(result, tmp, job_id)
        done = finished(tmp)
        job = build_job(result, tmp, done, hold)
        if done:
            _note(f"resuming: {len(done)} of {job.n_chunks} chunks already written")
        keep = True  # from here on the finished chunks are worth keeping for a rerun
        here = in_process(opts.workers, len(job.todo))
        if job.graph is None:
            publish(tmp, out)
        elif opts.scheduler is None and (opts.workers is None or here):
            compute_local(job.graph, 1 if here else max(2, os.cpu_count() or 1))
            publish(tmp, out)
        else:
            store, n_chunks = tmp, job.n_chunks
            compute_distributed(
                job.graph,
                opts.workers,
                opts.scheduler,
                opts.memory_limit,
                lambda: publish(store, out),
                lambda: (len(finished(store)), n_chunks),
                started,
            )
    except BaseException as e:
        _cancelled.set()
        left = tmp is not None and tmp.exists()
        transient = isinstance(e, KeyboardInterrupt) or (isinstance(e, RunError) and LOST in str(e))
        if transient and left and keep and tmp is not None:
            raise _Kept(e, len(finished(tmp)), tmp) from e
        if left and tmp is not None:
            _remove(tmp)
        if isinstance(e, Exception) and not isinstance(e, RunError):
            need = job.nbytes * len(job.todo) / max(job.n_chunks, 1) if job else 0.0
            mapped = _error_for(e, out, opts.output, need)
            if mapped is not None:
                raise mapped from e
        raise
    size = sum(f.stat().st_size for f in out.rglob("*") if f.is_file())
    _note(
        f"wrote {opts.output} ({len(result.data_vars)} variables, {size / 1e6:.1f} MB)"
        f" in {time.perf_counter() - t0:.1f} s"
    )
    return 0


SMALL_JOB = 8  # chunks: --workers 1 on so few runs in this process, with no cluster to start


def in_process(workers: int | None, n_chunks: int) -> bool:
    """Whether --workers `workers` on `n_chunks` chunks runs in this process (not with the test
    hook, whose held chunk needs a second task thread)."""
    return workers == 1 and n_chunks <= SMALL_JOB and not os.environ.get(HOLD_VARIABLE)


def stored_chunks(path: Path, chunks: Mapping[str, int], names: Sequence[str] | None = None) -> int:
    """The most chunks of an array (any, or one of `names`) of the Zarr store at `path`, in the
    chunks asked for, from its metadata files alone (0 where there is none): about as many as the
    result has, known before Zarr or xarray are imported."""
    most = 0
    folders = ["*"] if names is None else [glob.escape(n) for n in names]
    for meta in (
        m for f in folders for k in ("zarr.json", ".zarray") for m in path.glob(f"{f}/{k}")
    ):
        with contextlib.suppress(OSError, ValueError, KeyError, TypeError, AttributeError):
            doc = json.loads(meta.read_text())
            if meta.name == "zarr.json":
                if doc.get("node_type") != "array":
                    continue
                shape = doc["shape"]
                grid = doc["chunk_grid"]["configuration"]["chunk_shape"]
                dims = doc.get("dimension_names") or [None] * len(shape)
            else:
                shape, grid = doc["shape"], doc["chunks"]
                attrs = meta.with_name(".zattrs")
                dims = (
                    json.loads(attrs.read_text()).get("_ARRAY_DIMENSIONS")
                    if attrs.exists()
                    else None
                )
                dims = dims or [None] * len(shape)
            sizes = [chunks.get(str(d), c) for d, c in zip(dims, grid)]
            most = max(most, math.prod(-(-n // c) if c else 0 for n, c in zip(shape, sizes)))
    return most


class _Kept(Exception):
    """An interruption or loss of workers after which the temporary store stays for a rerun."""

    def __init__(self, cause: BaseException, n_done: int, tmp: Path) -> None:
        super().__init__(str(cause))
        self.cause, self.n_done, self.tmp = cause, n_done, tmp


def _warning_line(
    message: Warning | str, category: type[Warning], *args: object, **kwargs: object
) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    _cancelled.clear()
    with warnings.catch_warnings():
        warnings.showwarning = _warning_line
        # xarray writes consolidated metadata, which Zarr 3 merely warns about
        warnings.filterwarnings("ignore", message="Consolidated metadata")
        return _main(argv)


SIGNAL_NAMES = {signal.SIGINT: "Ctrl-C", signal.SIGTERM: "SIGTERM", signal.SIGHUP: "SIGHUP"}


def _main(argv: Sequence[str] | None) -> int:
    try:
        return run(argv)
    except ArgumentError as e:
        _failure(f"error: {e}")
        return 2
    except _Kept as e:
        kept = f"the {e.n_done} finished chunks are kept in {e.tmp.name}"
        kept += " for the same command to resume"
        if isinstance(e.cause, KeyboardInterrupt):
            signum = getattr(e.cause, "signum", signal.SIGINT)
            _failure(
                f"interrupted ({SIGNAL_NAMES.get(signum, signum)}); OUT left as it was; {kept}",
                lead="\n",
            )
            return 128 + int(signum)
        _failure(f"failed: {e}; OUT left as it was; {kept}")
        return 1
    except KeyboardInterrupt as e:
        signum = getattr(e, "signum", signal.SIGINT)
        _failure(f"interrupted ({SIGNAL_NAMES.get(signum, signum)}); OUT left as it was", lead="\n")
        return 128 + int(signum)
    except RunError as e:
        _failure(f"failed: {e}")
        return 1
    except Exception as e:
        mapped = (
            _error_for(e, Path("."), "OUT", 0.0)
            if _thread_limit(e) or isinstance(e, MemoryError)
            else None
        )
        _failure(f"failed: {mapped}" if mapped else f"failed: {type(e).__name__}: {e}")
        return 1


def _failure(line: str, lead: str = "") -> None:
    if _debug:
        traceback.print_exc()
    print(f"{lead}{PROG}: {line}", file=sys.stderr)


def _exit(code: int) -> NoReturn:
    """Ends the process with `code` once its threads and exit handlers are done, without the
    interpreter's teardown of every module (about 0.4 s with xarray, pandas and dask loaded, a
    fifth of a small run): by now every file is written, renamed and closed."""
    for t in threading.enumerate():
        if t is not threading.main_thread() and not t.daemon:
            t.join()
    atexit._run_exitfuncs()  # multiprocessing's (the cluster's children), Zarr's event loop
    with contextlib.suppress(Exception):
        sys.stdout.flush()
    with contextlib.suppress(Exception):
        sys.stderr.flush()
    os._exit(code)


if __name__ == "__main__":
    # the functions of the task graph by reference to the importable module, not to __main__
    from tarnwell import archive as _self

    code = _self.main()
    if _self._hard_exit:  # a cluster that would not close must not hold the process
        sys.stderr.flush()
        os._exit(code)
    _self._exit(code)
