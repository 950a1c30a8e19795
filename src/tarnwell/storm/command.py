"""Running the storm case: `run` for Python callers and `main` for ``python -m tarnwell.storm``.

`main` reports every failure as one line on stderr (``--debug`` adds the traceback) and exits
with status 1 for a failure during the work, 2 for a problem found before it (an unusable OUT, a
missing optional dependency, a bad option), and 128 + the signal's number when interrupted:
130 for Ctrl-C, 143 for SIGTERM (a batch system's time limit), 129 for SIGHUP (a closed
terminal). An interrupted or failed run leaves no temporary file, and no folder it made that is
still empty; the product and the figures appear only complete.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib.util
import logging
import os
import signal
import sys
import time
import traceback
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import Any

import xarray as xr

from .case import SIZES, SWEEP_ELEVATIONS, Size, synthesize_soundings
from .files import CaseError, make_folders, remove_empty
from .product import NAME, assemble, summary, write_netcdf
from .stages import beams_stage, cold_pool_stage, ensemble_stage, winds_stage

PROG = "python -m tarnwell.storm"
Log = Callable[[str], None]


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised like Ctrl-C so that every clean-up runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def missing_dependencies(figures: bool, workers: bool) -> str | None:
    """A one-line message naming the optional packages this run needs and lacks, else None."""
    wanted = {"netCDF4": "the NetCDF product"}
    if figures:
        wanted["matplotlib"] = "the figures (or give --no-figures)"
    if workers:
        wanted["distributed"] = "--workers"
    lacking = [
        f"{name} (for {why})"
        for name, why in wanted.items()
        if importlib.util.find_spec(name) is None
    ]
    if not lacking:
        return None
    return (
        f"the storm case needs {', '.join(lacking)}: install the demo extra, "
        f"pip install 'tarnwell[demo]'"
    )


@contextlib.contextmanager
def stage(log: Log, number: int, total: int, title: str, times: dict[str, float]) -> Iterator[None]:
    """Prints a stage as it starts and its time when it ends."""
    log(f"[{number}/{total}] {title} ...")
    t0 = time.perf_counter()
    yield
    times[title] = time.perf_counter() - t0
    log(f"      done in {times[title]:.2f} s")


def run(
    out: str | os.PathLike[str] = "out",
    *,
    size: str = "default",
    workers: int | None = None,
    figures: bool = True,
    figure_dir: str | os.PathLike[str] | None = None,
    log: Log | None = print,
) -> xr.Dataset:
    """Runs the storm case, writes ``storm_case.nc`` (and the figures) and returns the product.

    Parameters
    ----------
    out
        Folder of the product (made if absent), and of the figures unless `figure_dir` is given.
    size
        ``"default"`` or ``"small"`` (a quick case).
    workers
        Runs on a local dask.distributed cluster of this many worker processes (127.0.0.1 only);
        None runs in this process. The numbers are the same.
    figures
        Draws the five figures (needs matplotlib).
    figure_dir
        Folder of the figures, if not `out`.
    log
        Called with each line of progress; None for silence.

    Raises
    ------
    ValueError
        For an unknown `size` or a `workers` below 1, before anything is made.
    CaseError
        For an unusable folder or a missing optional dependency (status 2), and for a full disk
        (status 1): nothing is left behind.
    """
    if size not in SIZES:
        raise ValueError(f"size must be one of {', '.join(SIZES)}, not {size!r}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be a positive number, not {workers}")
    lacking = missing_dependencies(figures, workers is not None)
    if lacking is not None:
        raise CaseError(lacking, status=2)
    say: Log = log if log is not None else (lambda _: None)
    out_dir = Path(out)
    fig_dir = (Path(figure_dir) if figure_dir is not None else out_dir) if figures else None
    created = make_folders(out_dir, *([fig_dir] if fig_dir is not None else []))
    try:
        with contextlib.ExitStack() as stack:
            if workers is not None:
                from dask.distributed import Client, LocalCluster

                cluster = stack.enter_context(
                    LocalCluster(
                        n_workers=workers,
                        threads_per_worker=1,
                        processes=True,
                        host="127.0.0.1",
                        dashboard_address=None,
                        silence_logs=logging.ERROR,
                    )
                )
                stack.enter_context(Client(cluster))
                say(f"dask cluster: {workers} worker processes on 127.0.0.1")
            return _run(SIZES[size], size, workers is not None, out_dir, fig_dir, say)
    except BaseException:
        remove_empty(created)
        raise


def _run(
    dims: Size, size: str, dask: bool, out_dir: Path, fig_dir: Path | None, say: Log
) -> xr.Dataset:
    times: dict[str, float] = {}
    total = 6 if fig_dir is not None else 5
    say(
        f"storm case ({size}): {dims.n_xy} x {dims.n_xy} soundings x {dims.n_levels} levels; "
        f"{SWEEP_ELEVATIONS.size} sweeps x {dims.n_azimuths} azimuths x {dims.n_gates} gates; "
        f"{dims.members} members x {dims.n_azimuths} x {dims.n_sweep_gates} gates"
    )
    t0 = time.perf_counter()
    with stage(say, 1, total, "cold pool and gust front (thermo, cold_pool, gradient)", times):
        cp = cold_pool_stage(synthesize_soundings(dims), dask)
    with stage(say, 2, total, "beam propagation (trace)", times):
        beams = beams_stage()
    with stage(say, 3, total, "winds (trace, vad, profile)", times):
        winds = winds_stage(dims, dask)
    with stage(say, 4, total, "ensemble (perturb, statistics, mode, words)", times):
        ens = ensemble_stage(dims, dask, say)
    with stage(say, 5, total, "CF-NetCDF product", times):
        product = assemble([cp, beams, winds, ens], size)
        path = out_dir / NAME
        write_netcdf(product, path)
        say(f"      {path}")
    if fig_dir is not None:
        with stage(say, 6, total, "figures", times):
            from .figures import draw_all

            for p in draw_all(product, fig_dir):
                say(f"      {p}")
    say(f"total {time.perf_counter() - t0:.2f} s")
    say("summary")
    for line in summary(product):
        say(f"  {line}")
    return product


# ----------------------------------------------------------------------------------------------
# The command


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line instead of usage + message
        self.exit(2, f"{self.prog}: error: {message}\n")


def parser() -> argparse.ArgumentParser:
    doc = sys.modules[__package__].__doc__ or ""
    p = _Parser(prog=PROG, description=doc.split("\n\n")[0])
    p.add_argument(
        "--out", default="out", help="folder for the product and the figures (default: out)"
    )
    p.add_argument(
        "--figures",
        default=None,
        metavar="DIR",
        help="folder for the figures (default: the --out folder)",
    )
    p.add_argument("--size", choices=sorted(SIZES), default="default", help="problem size")
    p.add_argument(
        "--workers",
        type=int,
        default=None,
        metavar="N",
        help="run on a local dask.distributed cluster of N worker processes",
    )
    p.add_argument("--no-figures", action="store_true", help="write the product only")
    p.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    return p


@contextlib.contextmanager
def signals_stop() -> Iterator[None]:
    """SIGTERM, SIGHUP (unless ignored, as under nohup) and SIGINT raise `Stopped` or
    KeyboardInterrupt while the case runs; a second signal during the clean-up is ignored."""

    def stop(signum: int, frame: FrameType | None) -> None:
        for s in caught:
            signal.signal(s, signal.SIG_IGN)
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise Stopped(signum)

    caught = [
        s
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
        if signal.getsignal(s) is not signal.SIG_IGN
    ]
    previous = {s: signal.signal(s, stop) for s in caught}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def out_of_tasks(e: BaseException) -> bool:
    """True for a thread or process that could not be started (a limit such as RLIMIT_NPROC)."""
    if isinstance(e, OSError):
        return e.errno == errno.EAGAIN and e.filename is None
    return isinstance(e, RuntimeError) and "can't start new thread" in str(e)


def say_error(message: str) -> None:
    with contextlib.suppress(OSError):  # stderr may be gone with a closed terminal
        print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def main(argv: Sequence[str] | None = None) -> int:
    """The command line; returns the exit status."""
    args = parser().parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser().error("--workers must be at least 1")
    try:
        with signals_stop():
            run(
                args.out,
                size=args.size,
                workers=args.workers,
                figures=not args.no_figures,
                figure_dir=args.figures,
            )
        return 0
    except BaseException as e:  # every ending is one line; --debug adds the traceback
        if isinstance(e, SystemExit):
            raise
        if args.debug:
            with contextlib.suppress(OSError):
                traceback.print_exc()
        if isinstance(e, Stopped):
            say_error(f"stopped by {signal.Signals(e.signum).name}; no partial file left")
            return 128 + e.signum
        if isinstance(e, KeyboardInterrupt):
            say_error("interrupted; no partial file left")
            return 130
        if isinstance(e, CaseError):
            say_error(f"error: {e}")
            return e.status
        if isinstance(e, MemoryError):
            say_error("error: out of memory (try --size small)")
            return 1
        if out_of_tasks(e):
            say_error(f"error: the thread or process limit is reached (ulimit -u): {e}")
            return 1
        if isinstance(e, OSError) and e.filename is not None:
            say_error(f"error: {e.filename}: {e.strerror or e}")
            return 1
        say_error(f"failed: {type(e).__name__}: {e}")
        return 1
