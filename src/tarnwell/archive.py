"""Runs one package function over a Zarr or NetCDF archive and streams the result into a Zarr store.

    python -m tarnwell.archive IN OUT FUNCTION [--arg NAME=VALUE ...] [--chunks DIM=SIZE ...]
                               [--workers N | --scheduler ADDRESS] [--overwrite]

IN is opened lazily with xarray (a directory is read as Zarr, a file as NetCDF) in the chunks of the
store, changed per dimension by ``--chunks``. ``--arg NAME=VALUE`` binds an argument of FUNCTION: for an
argument that takes data, VALUE names a data variable or coordinate of IN (a number is also accepted
where the function takes one); otherwise VALUE is an integer, a float, a comma-separated list (``5,`` is
a one-element list) or else a string. Dimension names (``dim``, ``x_dim``, ...) are always strings.

The result is written chunk by chunk, one dask task per chunk, to a temporary store beside OUT that is
renamed to OUT once complete: an interrupted run leaves OUT as it was, and rerunning the command does the
job again from the start. ``--workers N`` runs on a local cluster of N one-thread worker processes,
``--scheduler ADDRESS`` on an existing cluster (IN and OUT must then be reachable by the workers under
the same paths); with neither, the chunks run on a thread pool of this process. Progress goes to stderr.

Argument errors print one line on stderr and exit with status 2 before any work; a failed computation
exits with status 1, an interrupted one with 130.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import inspect
import os
import re
import shutil
import signal
import sys
import threading
import time
import types
import typing
import warnings
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import xarray as xr

FUNCTIONS = ("thermo", "cold_pool", "profile", "gradient", "vad", "perturb", "statistics", "mode", "trace")
PROG = "python -m tarnwell.archive"

Literal = int | float | str | tuple[int | float | str, ...]


class ArgumentError(Exception):
    """A bad command line: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line instead of usage + message
        raise ArgumentError(message)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("input", metavar="IN", help="Zarr store (directory) or NetCDF file")
    p.add_argument("output", metavar="OUT", help="Zarr store to write")
    p.add_argument("function", metavar="FUNCTION", help="one of " + ", ".join(FUNCTIONS))
    p.add_argument("--arg", action="append", default=[], metavar="NAME=VALUE", help="bind an argument")
    p.add_argument("--chunks", action="append", default=[], metavar="DIM=SIZE", help="dask chunk size of IN")
    cluster = p.add_mutually_exclusive_group()
    cluster.add_argument("--workers", type=int, metavar="N", help="local cluster of N one-thread processes")
    cluster.add_argument("--scheduler", metavar="ADDRESS", help="address of a running dask scheduler")
    p.add_argument("--overwrite", action="store_true", help="replace an existing OUT")
    return p


# --- values of --arg and --chunks ----------------------------------------------------------------------


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
    """`3` -> 3, `3.0` / `1e-3` -> float, `10,50,90` -> (10, 50, 90), `5,` -> (5,), else the string."""
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
            raise ArgumentError(f"--chunks {item!r}: SIZE must be a positive integer (or -1 for whole)")
        if dim in chunks:
            raise ArgumentError(f"--chunks: dimension {dim!r} given twice")
        chunks[dim] = int(size)
    return chunks


# --- binding FUNCTION's arguments ----------------------------------------------------------------------


def _members(annotation: Any) -> tuple[Any, ...]:
    if isinstance(annotation, types.UnionType) or typing.get_origin(annotation) is typing.Union:
        return typing.get_args(annotation)
    return (annotation,)


def _is_data(t: Any) -> bool:
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
    import tarnwell

    fn: Callable[..., xr.Dataset] = getattr(tarnwell, name)
    return fn


def bind_names(fn: Callable[..., Any], name: str, items: Sequence[str]) -> tuple[inspect.Signature, dict[str, str]]:
    """Checks the NAME=VALUE items against the signature: known, each once, every required one given."""
    sig = inspect.signature(fn, eval_str=True)
    params = {
        k: p for k, p in sig.parameters.items() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
    }
    raw: dict[str, str] = {}
    for item in items:
        key, value = _split(item, "--arg", "NAME=VALUE")
        if key not in params:
            raise ArgumentError(f"--arg {key}: {name} has no argument {key!r} (it takes {', '.join(params)})")
        if key in raw:
            raise ArgumentError(f"--arg {key}: given twice")
        raw[key] = value
    for key, p in params.items():
        if p.default is p.empty and key not in raw:
            raise ArgumentError(f"{name}: required argument {key!r} is not bound (give --arg {key}=...)")
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
            raise ArgumentError(f"--arg {key}={text}: IN has no variable or coordinate {text!r} (it has {names})")
        try:
            bound[key] = parse_literal(text)
        except ValueError as e:
            raise ArgumentError(f"--arg {key}={text}: {e}") from None
    return bound


# --- files ---------------------------------------------------------------------------------------------


def open_input(path: Path, chunks: dict[str, int]) -> xr.Dataset:
    """IN, lazily, in the store's own chunks except along the dimensions of `chunks`."""
    if path.is_dir():
        ds: xr.Dataset = xr.open_zarr(path, chunks=chunks or {}, consolidated=None)
        return ds
    # the engine named: guessing it would load every installed backend plugin
    return xr.open_dataset(path, engine="netcdf4", chunks=chunks or {})


def partial_name(out: Path) -> Path:
    """The temporary store beside OUT (same file system, so the final rename is atomic)."""
    return out.with_name(f".{out.name}.partial")


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two paths in one step (Linux renameat2 RENAME_EXCHANGE); False where unsupported."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    at_fdcwd, rename_exchange = -100, 2
    return bool(renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0)


def publish(tmp: Path, out: Path) -> None:
    """Puts the complete store `tmp` at `out`, replacing what is there without a moment of neither."""
    if not out.exists() and not out.is_symlink():
        tmp.rename(out)
    elif _exchange(tmp, out):
        _remove(tmp)  # now the old OUT
    else:  # two renames; a kill between them leaves the old OUT at `old`, restored by the next run
        old = out.with_name(f".{out.name}.old")
        out.rename(old)
        tmp.rename(out)
        _remove(old)


def recover(out: Path) -> None:
    """Undoes what an interrupted run left: the old OUT put back, the partial store removed."""
    old = out.with_name(f".{out.name}.old")
    if old.exists() and not out.exists():
        old.rename(out)
    for leftover in (old, partial_name(out)):
        _remove(leftover)


# --- running -------------------------------------------------------------------------------------------

# Test hook: with TARNWELL_ARCHIVE_HOLD=PATH the read of IN's last chunk writes its process id to
# PATH.held and waits until PATH exists, so that tests can signal a run at a known point.
HOLD_VARIABLE = "TARNWELL_ARCHIVE_HOLD"
_cancelled = threading.Event()  # set when the run ends early: held tasks give up


def _hold(block: Any, path: str, last: int, block_info: Any = None) -> Any:
    info = block_info[None]
    index = int(np.ravel_multi_index(info["chunk-location"], info["num-chunks"]))
    if index == last:
        with open(path + ".held", "w") as f:
            f.write(str(os.getpid()))
        while not os.path.exists(path) and not _cancelled.wait(0.01):
            pass
    return block


def held(x: xr.DataArray, path: str) -> xr.DataArray:
    """`x` whose last dask chunk waits for the test's file (see HOLD_VARIABLE)."""
    import dask.array as da

    if not _apply_lazy(x):
        return x
    n = int(np.prod(x.data.numblocks))
    data = da.map_blocks(_hold, x.data, path=path, last=n - 1, dtype=x.dtype, meta=x.data._meta)
    return x.copy(data=data)


def _apply_lazy(x: xr.DataArray) -> bool:
    return hasattr(x.data, "dask")


@contextlib.contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM ends the run like Ctrl-C: cleanly, with the temporary store removed."""

    def handler(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def compute_local(task: Any) -> None:
    """Runs the graph on threads of this process, one kernel thread per task, with a progress bar."""
    import dask
    from dask.diagnostics import ProgressBar

    pool = ThreadPoolExecutor(os.cpu_count() or 1)
    try:
        with ProgressBar(out=sys.stderr, dt=0.5):
            dask.compute(task, scheduler="threads", pool=pool)
    finally:  # no task may write into the temporary store after it is removed
        _cancelled.set()
        pool.shutdown(wait=True, cancel_futures=True)


def compute_distributed(task: Any, workers: int | None, scheduler: str | None) -> None:
    """Runs the graph on a new local cluster or on the one at `scheduler` (left running)."""
    from distributed import Client, LocalCluster, progress

    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            client = stack.enter_context(Client(scheduler, timeout="30s"))
        else:
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=None,
                    # the scheduler's bare HTTP routes on a free port of 127.0.0.1, not on 8787
                    scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                )
            )
            client = stack.enter_context(Client(cluster))
        future = client.compute(task)
        try:
            with contextlib.redirect_stdout(sys.stderr):  # the console bar writes to stdout
                progress(future)
            future.result()
        finally:
            future.cancel()


def run(argv: Sequence[str] | None = None) -> int:
    opts = _parser().parse_args(argv)
    if opts.workers is not None and opts.workers < 1:
        raise ArgumentError(f"--workers {opts.workers}: must be at least 1")
    chunks = parse_chunks(opts.chunks)
    fn = _function(opts.function)
    sig, raw = bind_names(fn, opts.function, opts.arg)
    src = Path(opts.input).absolute()
    out = Path(opts.output).absolute()
    if not src.exists():
        raise ArgumentError(f"IN {opts.input!r}: no such file or directory")
    recover(out)
    if (out.exists() or out.is_symlink()) and not opts.overwrite:
        raise ArgumentError(f"OUT {opts.output!r} exists (give --overwrite to replace it)")
    if not out.parent.is_dir():
        raise ArgumentError(f"OUT {opts.output!r}: folder {str(out.parent)!r} does not exist")
    if out == src:
        raise ArgumentError(f"OUT {opts.output!r} is IN")

    try:
        ds = open_input(src, {})
    except Exception as e:  # the backends raise many kinds
        raise ArgumentError(f"IN {opts.input!r}: cannot open as Zarr or NetCDF: {e}") from None
    for dim in chunks:
        if dim not in ds.dims:
            have = ", ".join(map(str, ds.dims)) or "none"
            raise ArgumentError(f"--chunks {dim}: IN has no dimension {dim!r} (it has {have})")
    if chunks:
        ds.close()
        ds = open_input(src, chunks)
    # variables stored in different chunk grids (coordinates often in one chunk) share dask chunks
    ds = ds.unify_chunks()
    bound = bind_values(sig, raw, ds)
    hold = os.environ.get(HOLD_VARIABLE)
    if hold:
        bound = {k: held(v, hold) if isinstance(v, xr.DataArray) else v for k, v in bound.items()}
    try:  # lazy: checks the arguments and builds the graph, computes nothing
        result = fn(**bound)  # every package argument can be given by keyword
    except (ValueError, TypeError) as e:
        text = str(e)
        raise ArgumentError(text if text.startswith(f"{opts.function}:") else f"{opts.function}: {text}") from None

    for var in result.variables.values():  # IN's storage settings do not apply to OUT
        var.encoding = {}
    tmp = partial_name(out)
    t0 = time.perf_counter()
    try:
        with _terminate_as_interrupt():
            task = result.to_zarr(tmp, mode="w", compute=False)
            if opts.workers is None and opts.scheduler is None:
                compute_local(task)
            else:
                compute_distributed(task, opts.workers, opts.scheduler)
            publish(tmp, out)
    except BaseException:
        _remove(tmp)
        raise
    finally:
        ds.close()
    size = sum(f.stat().st_size for f in out.rglob("*") if f.is_file())
    print(
        f"{PROG}: wrote {opts.output} ({len(result.data_vars)} variables, {size / 1e6:.1f} MB)"
        f" in {time.perf_counter() - t0:.1f} s",
        file=sys.stderr,
    )
    return 0


def _warning_line(message: Warning | str, category: type[Warning], *args: object, **kwargs: object) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    with warnings.catch_warnings():
        warnings.showwarning = _warning_line
        # xarray writes consolidated metadata, which Zarr 3 merely warns about
        warnings.filterwarnings("ignore", message="Consolidated metadata")
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    try:
        return run(argv)
    except ArgumentError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted; OUT left as it was", file=sys.stderr)
        return 130
    except Exception as e:
        print(f"{PROG}: failed: {type(e).__name__}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
