"""The archive command under the faults of real use, each as the real command in a child process
held
at a known point (the TARNWELL_ARCHIVE_HOLD test hook), never racing the clock: colliding runs, a
careless --overwrite, killed workers, absent and damaged chunks, absurd sizes, signals, a full
disk, a failed sync."""

from __future__ import annotations

import errno
import os
import shutil
import signal
import subprocess
from pathlib import Path

import numpy as np
import pytest
import xarray as xr
from conftest import VAD_ARGS, assert_same_store, command, held_run, sweeps, wait_held

from tarnwell import archive

pytestmark = pytest.mark.filterwarnings("ignore:Consolidated metadata")


@pytest.fixture
def case(tmp_path: Path) -> tuple[Path, Path, xr.Dataset]:
    """IN (16 sweeps, a chunk each) and the uninterrupted result of the command on it."""
    ds = sweeps(n_sweep=16, n_range=50, n_azimuth=90)
    ds.chunk(sweep=1).to_zarr(tmp_path / "in.zarr")
    assert (
        archive.main([str(tmp_path / "in.zarr"), str(tmp_path / "ref.zarr"), "vad", *VAD_ARGS]) == 0
    )
    return tmp_path / "in.zarr", tmp_path / "ref.zarr", ds


def run(*args: object, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command(*args), capture_output=True, text=True, timeout=timeout)


def last_line(err: str) -> str:
    """The command's own last line (distributed's workers may log after it)."""
    return [line for line in err.splitlines() if line.startswith(archive.PROG)][-1]


def test_one_writer_per_out(case: tuple[Path, Path, xr.Dataset], tmp_path: Path) -> None:
    src, ref, _ = case
    out, hold = tmp_path / "out.zarr", tmp_path / "go"
    for second in ([], ["--overwrite"]):  # the second run refused whether or not it may replace
        first = held_run(
            command(src, out, "vad", *VAD_ARGS, "--overwrite"), hold, stderr=subprocess.PIPE
        )
        done = run(src, out, "vad", *VAD_ARGS, *second)
        assert done.returncode == 2, done.stderr
        assert f"being written by another run (pid {first.pid})" in done.stderr
        hold.touch()
        _, err = first.communicate(timeout=120)
        assert first.returncode == 0, err
        assert_same_store(out, ref)
    # the second waits for the first, then replaces its result with its own
    first = held_run(
        command(src, out, "vad", *VAD_ARGS, "--overwrite"), hold, stderr=subprocess.DEVNULL
    )
    waiter = subprocess.Popen(
        command(src, out, "vad", *VAD_ARGS, "--overwrite", "--wait"), stderr=subprocess.DEVNULL
    )
    hold.touch()
    assert first.wait(120) == 0 and waiter.wait(120) == 0
    assert_same_store(out, ref)
    # started together, no hold: whichever comes first writes OUT, the other refuses or replaces it
    shutil.rmtree(out)
    procs = [
        subprocess.Popen(command(src, out, "vad", *VAD_ARGS), stderr=subprocess.DEVNULL)
        for _ in range(2)
    ]
    codes = sorted(p.wait(120) for p in procs)
    assert codes == [0, 2]
    assert_same_store(out, ref)
    assert not archive.temporaries(out) and not archive.lock_name(out).exists()


def test_overwrite_replaces_only_own_stores(
    case: tuple[Path, Path, xr.Dataset], tmp_path: Path
) -> None:
    src, ref, _ = case
    user = tmp_path / "results"
    user.mkdir()
    (user / "notes.txt").write_text("mine")
    (
        tmp_path / f".{ref.name}.0123456789ab.old"
    ).mkdir()  # a user's folder under a name like the command's
    link = tmp_path / "link.zarr"
    link.symlink_to(ref)
    (tmp_path / "work").mkdir()
    before = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
    cases = {
        str(tmp_path): "holds IN",
        ".": "working directory",
        str(src): "is IN",
        str(src / "vr"): "inside IN",
        str(user): "not a store this command wrote",
        str(link): "symbolic link",
        str(tmp_path / "in.zarr" / ".."): "holds IN",
    }
    for target, culprit in cases.items():
        done = subprocess.run(
            command(src, target, "vad", *VAD_ARGS, "--overwrite"),
            cwd=tmp_path / "work" if target == "." else "/",
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 2 and culprit in done.stderr and done.stderr.count("\n") == 1, (
            done.stderr
        )
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == before
    # a store the command wrote is replaced; a name up to the file system's limit works
    long = tmp_path / ("w" * 250 + ".zarr")
    for out in (ref, long):
        done = run(src, out, "vad", *VAD_ARGS, "--overwrite")
        assert done.returncode == 0, done.stderr
        assert not archive.temporaries(out)
    assert_same_store(long, ref)


def test_killed_workers_end_the_run(case: tuple[Path, Path, xr.Dataset], tmp_path: Path) -> None:
    src, ref, _ = case
    out, hold = tmp_path / "out.zarr", tmp_path / "go"
    ready = Path(f"{hold}.held")
    for _ in range(3):
        proc = held_run(
            command(src, out, "vad", *VAD_ARGS, "--workers", "2"), hold, stderr=subprocess.PIPE
        )
        for kill in range(4):  # the worker holding the last chunk, each time it is held again
            if kill:
                wait_held(proc, ready, bound=300.0)  # a worker restarts first
            pid = int(ready.read_text())
            ready.unlink()
            os.kill(pid, signal.SIGKILL)
        _, err = proc.communicate(timeout=300)
        line = last_line(err.decode())
        assert proc.returncode == 1 and "workers were lost" in line and "kept" in line, line
        assert not out.exists() and len(archive.temporaries(out)) == 1
    done = run(src, out, "vad", *VAD_ARGS, "--workers", "2")
    assert done.returncode == 0 and "resuming: 15 of 16" in done.stderr, done.stderr
    assert_same_store(out, ref)


@pytest.mark.parametrize("stored", ["zstd", "raw"])  # raw chunks are read file by file
def test_absent_damaged_and_absurd_inputs(
    case: tuple[Path, Path, xr.Dataset], tmp_path: Path, stored: str
) -> None:
    src, ref, ds = case
    if stored == "raw":
        ds.chunk(sweep=1).to_zarr(src, mode="w", encoding={"vr": {"compressors": None}})
    (src / "vr" / "c" / "3" / "0" / "0").unlink()  # lost in an interrupted copy
    done = run(src, tmp_path / "a.zarr", "vad", *VAD_ARGS)
    assert (
        done.returncode == 1 and "'vr'" in done.stderr and "'c/3/0/0' is absent" in done.stderr
    ), done.stderr
    assert done.stderr.count("\n") == 1 and not (tmp_path / "a.zarr").exists()
    done = run(src, tmp_path / "a.zarr", "vad", *VAD_ARGS, "--allow-missing-chunks")
    assert done.returncode == 0 and "warning: 1 chunks absent" in done.stderr, done.stderr
    got = xr.open_zarr(tmp_path / "a.zarr").load()
    assert np.isnan(got.u[3]).all() and got.drop_sel(sweep=3).u.equals(
        xr.open_zarr(ref).u.drop_sel(sweep=3)
    )

    (src / "vr" / "c" / "5" / "0" / "0").write_bytes(b"not zstd")  # damaged (and short)
    done = run(
        src, tmp_path / "b.zarr", "vad", *VAD_ARGS, "--allow-missing-chunks", "--chunks", "sweep=4"
    )
    assert (
        done.returncode == 1 and "IN variable 'vr', chunk 'c/5/0/0' cannot be read" in done.stderr
    ), done.stderr
    assert "Traceback" not in done.stderr and not archive.temporaries(tmp_path / "b.zarr")

    # a few kB declaring 10**7 sweeps (a chunk each): refused at once
    import dask.array as da

    huge = xr.Dataset(
        {"vr": (("sweep", "range", "azimuth"), da.zeros((10**7, 2, 4), chunks=(10**5, 2, 4)))},
        coords={"azimuth": ("azimuth", [0.0, 90.0, 180.0, 270.0], {"units": "degrees"})},
    )
    huge.to_zarr(tmp_path / "huge.zarr", compute=False, encoding={"vr": {"chunks": (1, 2, 4)}})
    done = run(
        tmp_path / "huge.zarr",
        tmp_path / "c.zarr",
        "vad",
        *VAD_ARGS,
        "--arg",
        "elevation=0.5",
        timeout=60,
    )
    assert done.returncode == 1 and "'vr' declares 10000000 chunks" in done.stderr, done.stderr


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_signals(case: tuple[Path, Path, xr.Dataset], tmp_path: Path, signum: int) -> None:
    src, ref, _ = case
    out, hold = tmp_path / "out.zarr", tmp_path / "go"
    proc = held_run(command(src, out, "vad", *VAD_ARGS), hold, stderr=subprocess.PIPE)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 128 + signum and "kept" in last_line(err.decode()), err
    assert not out.exists() and not archive.lock_name(out).exists()
    assert run(src, out, "vad", *VAD_ARGS).returncode == 0
    assert_same_store(out, ref)


def test_full_disk(case: tuple[Path, Path, xr.Dataset], tmp_path: Path) -> None:
    src, _, _ = case
    small = tmp_path / "small"
    small.mkdir()
    # a 200 kB file system of its own, in a private mount namespace (needs root and unshare)
    script = (
        'mount -t tmpfs -o size=200k tmpfs "$1" || exit 99; d=$1; shift;'
        ' "$@"; rc=$?; ls -A "$d"; exit $rc'
    )
    args = ["unshare", "-m", "--propagation", "unchanged", "sh", "-c", script, "sh", str(small)]
    if (
        shutil.which("unshare") is None
        or subprocess.run([*args, "true"], capture_output=True).returncode == 99
    ):
        pytest.skip("no private mount namespace here (needs root and unshare) to make a full disk")
    done = subprocess.run(
        [*args, *command(src, small / "out.zarr", "vad", *VAD_ARGS, "--chunks", "sweep=4")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    lines = done.stderr.strip().splitlines()
    assert done.returncode == 1, done.stderr
    assert "no space left on OUT's file system" in lines[-1] and "MB free" in lines[-1], done.stderr
    assert done.stdout.strip() == ""  # nothing left on the full file system


def test_a_failed_sync_fails_the_run(
    case: tuple[Path, Path, xr.Dataset], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # the result is synced to disk before it replaces OUT: an I/O error there leaves OUT as it was
    src, ref, _ = case
    out = tmp_path / "out.zarr"
    shutil.copytree(ref, out)
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}

    def fails(folder: Path) -> None:
        raise OSError(errno.EIO, "cannot sync OUT to disk: Input/output error")

    monkeypatch.setattr(archive, "_sync", fails)
    argv = [str(src), str(out), "vad", *VAD_ARGS[:-1], "min_spread=0.2", "--overwrite"]
    assert archive.main(argv) == 1
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before
    assert not archive.temporaries(out) and not archive.lock_name(out).exists()
