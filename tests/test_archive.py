"""The archive command: same store from Zarr and NetCDF, in-process and on 2 workers; interrupted
runs;
argument errors; streaming in bounded memory."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import xarray as xr
from conftest import VAD_ARGS, assert_same_store, command, held_run, sweeps

import tarnwell
from tarnwell import archive

# input stores are written with xarray, whose consolidated metadata Zarr 3 warns about
pytestmark = pytest.mark.filterwarnings("ignore:Consolidated metadata")


def test_literals() -> None:
    cases = {
        "3": 3,
        "-2": -2,
        "3.0": 3.0,
        "1e-3": 1e-3,
        "10,50,90": (10, 50, 90),
        "5,": (5,),
        "2.5,x": (2.5, "x"),
    }
    cases |= {"height": "height", "nan": float("nan")}
    for text, want in cases.items():
        got = archive.parse_literal(text)
        assert type(got) is type(want) and (got == want or got != got), text
    with pytest.raises(ValueError, match="empty"):
        archive.parse_literal("1,,2")


def test_end_to_end(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    ds = sweeps()
    ds.chunk(sweep=4).to_zarr(tmp_path / "in.zarr")
    ds.to_netcdf(tmp_path / "in.nc", engine="netcdf4")
    ref = tarnwell.vad(ds.vr, min_gates=3, min_spread=0.1)
    runs = {
        "zarr": ["in.zarr", "--chunks", "sweep=3"],
        "netcdf": ["in.nc", "--chunks", "sweep=3"],
        "workers": ["in.zarr", "--chunks", "sweep=3", "--workers", "2"],
    }
    for name, (src, *opts) in runs.items():
        out = tmp_path / f"{name}.zarr"
        assert archive.main([str(tmp_path / src), str(out), "vad", *VAD_ARGS, *opts]) == 0, name
        assert "100% Completed" in capsys.readouterr().err or name == "workers"
        assert_same_store(out, ref.chunk(sweep=3))
        assert_same_store(out, tmp_path / "zarr.zarr")
        assert xr.open_zarr(out).u.encoding["chunks"] == (3, 40)
    assert not list(tmp_path.glob(".*"))  # no temporary store left behind

    # a list literal and a dimension name
    out = tmp_path / "stats.zarr"
    argv = [
        str(tmp_path / "in.zarr"),
        str(out),
        "statistics",
        "--arg",
        "values=dbz",
        "--arg",
        "percentiles=25,75",
    ]
    assert archive.main([*argv, "--arg", "dim=member", "--arg", "min_valid=2"]) == 0
    assert_same_store(
        out, tarnwell.statistics(ds.dbz.chunk(sweep=4), percentiles=(25, 75), min_valid=2).compute()
    )
    # replaced whole by another product
    argv = [
        str(tmp_path / "in.zarr"),
        str(out),
        "vad",
        *VAD_ARGS,
        "--chunks",
        "sweep=3",
        "--overwrite",
    ]
    assert archive.main(argv) == 0
    assert_same_store(out, tmp_path / "zarr.zarr")
    assert not list(tmp_path.glob(".*"))


def test_same_bits_whatever_the_chunks_and_workers(tmp_path: Path) -> None:
    # one chunk of a sweep and ten; on one worker (cluster or, for few chunks, in process) and two
    ds = sweeps(n_sweep=20, n_range=30, n_azimuth=90)
    ds.chunk(sweep=10).to_zarr(tmp_path / "in.zarr")
    ref = tarnwell.vad(ds.vr, min_gates=3, min_spread=0.1)
    for per in (1, 10):
        for workers in ("1", "2"):
            out = tmp_path / f"out_{per}_{workers}.zarr"
            argv = [str(tmp_path / "in.zarr"), str(out), "vad", *VAD_ARGS]
            argv += ["--chunks", f"sweep={per}"]
            assert archive.main([*argv, "--workers", workers]) == 0, (per, workers)
            assert_same_store(out, ref.chunk(sweep=per))


def test_stores_of_both_zarr_formats_raw_or_compressed_give_the_same_bits(tmp_path: Path) -> None:
    # raw chunks are read file by file into the blocks, here across and within stored chunks
    # (blocks of 3 sweeps over stored pairs, edge chunks of range padded in their files)
    ds = sweeps(n_sweep=9, n_range=30, n_azimuth=90)
    ref = tarnwell.vad(ds.vr, min_gates=3, min_spread=0.1)
    stored = ds.chunk(sweep=2, range=7)
    raw = {"vr": {"compressors": None}}
    stored.to_zarr(tmp_path / "zstd.zarr")
    stored.to_zarr(tmp_path / "raw.zarr", encoding=raw)
    stored.to_zarr(tmp_path / "raw2.zarr", zarr_format=2, encoding={"vr": {"compressor": None}})
    for name in ("zstd", "raw", "raw2"):
        for chunks in (["--chunks", "sweep=3"], ["--chunks", "range=30"]):
            out = tmp_path / f"out_{name}_{chunks[1][0]}.zarr"
            argv = [str(tmp_path / f"{name}.zarr"), str(out), "vad", *VAD_ARGS, *chunks]
            assert archive.main([*argv, "--workers", "1"]) == 0, (name, chunks)
            want = ref.chunk(sweep=3) if chunks[1].startswith("sweep") else ref.chunk(sweep=2)
            assert_same_store(out, want)
    # the chunk count that decides on a cluster, from the metadata files of either format
    for name in ("zstd", "raw2"):
        store = tmp_path / f"{name}.zarr"
        assert archive.stored_chunks(store, {}, ["vr"]) == 5 * 5  # 9 sweeps by 2, 30 gates by 7
        assert archive.stored_chunks(store, {"range": 30}) == 5
        assert archive.stored_chunks(store, {}, ["elevation"]) == 5  # per sweep
    graph = archive.open_input(tmp_path / "raw2.zarr", {}, ["vr"]).vr.data.__dask_graph__()
    nodes = [getattr(v, "value", v) for v in dict(graph).values()]
    assert any(isinstance(v, archive.RawChunks) for v in nodes)  # else the test proves nothing


def test_chunk_files_written_directly_read_back_as_zarr_writes_them(tmp_path: Path) -> None:
    # whole chunks of raw or zstd arrays are written as files of their own; every other write
    # (part of a chunk, another codec, another dtype than the array's) is left to Zarr
    import zarr

    rng = np.random.default_rng(1)
    group = zarr.open_group(str(tmp_path / "s.zarr"), mode="w")
    cases = {
        "zstd": {},
        "raw": {"compressors": None},
        "ints": {"compressors": None},
        "gzip": {"compressors": zarr.codecs.GzipCodec()},
    }
    for name, kw in cases.items():
        dtype = "i4" if name == "ints" else "f8"
        group.create_array(name, shape=(7, 5), chunks=(3, 5), dtype=dtype, fill_value=0, **kw)
        array = zarr.open_array(str(tmp_path / "s.zarr" / name), mode="r+")
        want = rng.normal(size=(7, 5)).astype(dtype)
        for start in (0, 3, 6):  # the last chunk is an edge chunk, padded in its file
            region = (slice(start, min(start + 3, 7)), slice(0, 5))
            own = archive._chunk_file(array, str(tmp_path / "s.zarr" / name), region, want[region])
            assert (own is None) == (name == "gzip"), name
            if own is None:
                array[region] = want[region]
            else:
                Path(own[0]).parent.mkdir(parents=True, exist_ok=True)
                Path(own[0]).write_bytes(own[1])
        np.testing.assert_array_equal(zarr.open_array(str(tmp_path / "s.zarr" / name))[:], want)
        part = (slice(1, 3), slice(0, 5))
        assert archive._chunk_file(array, "", part, want[part]) is None
        other = want[:3].astype("f4" if name == "ints" else "i4")
        assert archive._chunk_file(array, "", (slice(0, 3), slice(0, 5)), other) is None


def test_workers_import_the_task_modules_before_any_task() -> None:
    # dask.array and dask.array.chunk imported from two threads of a fresh worker at once deadlock
    # on the module locks; a worker, restarted ones too, imports them before it is given a task
    from distributed import Client, LocalCluster

    names = ("dask.array", "dask.array.chunk", "zarr")

    def missing() -> list[str]:
        return [m for m in names if m not in sys.modules]

    kw = {"threads_per_worker": 1, "host": "127.0.0.1", "dashboard_address": None}
    with LocalCluster(n_workers=1, **kw) as cluster, Client(cluster, timeout="60s") as client:
        assert client.submit(missing, pure=False).result(60) == list(names)  # else proves nothing
        client.restart(timeout="60s")
        client.register_plugin(archive._worker_plugin(), name="tarnwell-imports")
        assert client.submit(missing, pure=False).result(60) == []
        client.restart(timeout="60s")
        assert client.submit(missing, pure=False).result(60) == []


def test_workers_keep_glibcs_own_mmap_threshold(monkeypatch: pytest.MonkeyPatch) -> None:
    # dask's MALLOC_TRIM_THRESHOLD_ would make every chunk-sized block fresh pages from the
    # kernel (a chunk read twice as slow); forked workers and spawned restarts go without it
    from distributed import Client

    # a nanny leaves its workers' variables in the environment of the process that started it
    monkeypatch.delenv("MALLOC_TRIM_THRESHOLD_", raising=False)

    def environ() -> tuple[str | None, str | None]:
        import os

        return os.environ.get("MALLOC_TRIM_THRESHOLD_"), os.environ.get("OMP_NUM_THREADS")

    forked = archive.start_fork_server()
    with archive._local_cluster(1, None, forked) as cluster, Client(cluster) as client:
        assert client.submit(environ, pure=False).result(60) == (None, "1")
        client.restart(timeout="60s")
        assert client.submit(environ, pure=False).result(60) == (None, "1")


def test_memory_limit_reaches_every_worker(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # the limit each worker reports to the scheduler, on one worker (a store of more chunks than
    # run in process) and two
    from dask.utils import parse_bytes
    from distributed import Client

    limits: list[list[int]] = []
    start = archive._local_cluster

    def recorded(*args: object) -> object:
        cluster = start(*args)  # type: ignore[arg-type]
        with Client(cluster, set_as_default=False) as client:
            got = client.run(lambda dask_worker: dask_worker.memory_manager.memory_limit)
        limits.append(sorted(got.values()))
        return cluster

    monkeypatch.setattr(archive, "_local_cluster", recorded)
    ds = sweeps(n_sweep=archive.SMALL_JOB + 2, n_range=4, n_azimuth=36)
    ds.chunk(sweep=1).to_zarr(tmp_path / "in.zarr")
    ref = tarnwell.vad(ds.vr, min_gates=3, min_spread=0.1)
    for workers in ("1", "2"):
        out = tmp_path / f"out{workers}.zarr"
        argv = [str(tmp_path / "in.zarr"), str(out), "vad", *VAD_ARGS, "--workers", workers]
        assert archive.main([*argv, "--memory-limit", "700MiB"]) == 0
        assert_same_store(out, ref.chunk(sweep=1))
    assert limits == [[parse_bytes("700MiB")] * n for n in (1, 2)]


def test_workers_environment_is_read_without_importing_distributed(tmp_path: Path) -> None:
    # the fork server starts before distributed is imported: its defaults are read from its
    # configuration file, under the user's settings, as the import would merge them
    code = """
import os, sys
from tarnwell import archive
before = archive.worker_environ()
assert "distributed" not in sys.modules
import distributed
assert before == archive.worker_environ(), (before, archive.worker_environ())
assert before["OMP_NUM_THREADS"] == os.environ["WANT"] and "MALLOC_TRIM_THRESHOLD_" not in before
"""
    (tmp_path / "dask.yaml").write_text(
        "distributed:\n  nanny:\n    pre-spawn-environ:\n      OMP_NUM_THREADS: 3\n"
    )
    for user, want in (({}, "1"), ({"DASK_CONFIG": str(tmp_path)}, "3")):
        env = {**os.environ, **user, "WANT": want}
        done = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, timeout=120
        )
        assert done.returncode == 0, done.stderr.decode()[-800:]


def test_package_on_a_store_with_a_coordinate_in_one_chunk(tmp_path: Path) -> None:
    ds = sweeps(n_sweep=4, n_range=3)
    ds.chunk(sweep=2).assign_coords(elevation=ds.elevation).to_zarr(tmp_path / "in.zarr")
    vr = xr.open_zarr(
        tmp_path / "in.zarr"
    ).vr  # as stored: vr in chunks of 2 sweeps, elevation in one
    lazy = tarnwell.vad(vr, min_gates=3, min_spread=0.1).compute()
    xr.testing.assert_identical(lazy, tarnwell.vad(ds.vr, min_gates=3, min_spread=0.1))


def test_interrupted_runs_resume(tmp_path: Path) -> None:
    ds = sweeps(n_sweep=16, n_range=50, n_azimuth=90)
    ds.chunk(sweep=1).assign_coords(elevation=ds.elevation).to_zarr(
        tmp_path / "in.zarr"
    )  # coordinate in one chunk
    src, out, ref = tmp_path / "in.zarr", tmp_path / "out.zarr", tmp_path / "ref.zarr"
    hold = tmp_path / "go"
    assert archive.main([str(src), str(ref), "vad", *VAD_ARGS]) == 0

    # killed outright with all but the last chunk written: no OUT; the same command resumes
    proc = held_run(command(src, out, "vad", *VAD_ARGS), hold, stderr=subprocess.DEVNULL)
    proc.kill()
    proc.wait(30)
    assert not out.exists() and len(archive.temporaries(out)) == 1
    done = subprocess.run(
        command(src, out, "vad", *VAD_ARGS), timeout=120, capture_output=True, text=True
    )
    assert done.returncode == 0 and "resuming: 15 of 16 chunks" in done.stderr, done.stderr
    assert_same_store(out, ref)
    assert not archive.temporaries(out)

    # Ctrl-C while replacing OUT: the old store stays, the finished chunks are kept and resumed
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    argv = command(src, out, "vad", *VAD_ARGS[:-1], "min_spread=0.2", "--overwrite")
    proc = held_run(argv, hold, stderr=subprocess.PIPE)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert b"interrupted" in err.splitlines()[-1] and b"15 finished chunks are kept" in err
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before
    assert len(archive.temporaries(out)) == 1
    done = subprocess.run(argv, timeout=120, capture_output=True, text=True)
    assert done.returncode == 0 and "resuming: 15 of 16" in done.stderr, done.stderr
    assert_same_store(out, tarnwell.vad(ds.vr, min_gates=3, min_spread=0.2).chunk(sweep=1))
    assert not archive.temporaries(out)

    # finished chunks from before the machine restarted (recorded with no sync) are not trusted:
    # one of them damaged, the rerun starts afresh and gives the right result
    argv = command(src, out, "vad", *VAD_ARGS, "--overwrite")
    proc = held_run(argv, hold, stderr=subprocess.DEVNULL)
    proc.kill()
    proc.wait(30)
    (tmp,) = archive.temporaries(out)
    job = json.loads((tmp / archive.JOB).read_text())
    (tmp / archive.JOB).write_text(json.dumps({**job, "boot": "a boot before"}))
    chunk = next(p for p in (tmp / "u").rglob("*") if p.is_file() and p.name != "zarr.json")
    chunk.write_bytes(bytes(len(chunk.read_bytes())))
    done = subprocess.run(argv, timeout=120, capture_output=True, text=True)
    assert done.returncode == 0 and "restarted" in done.stderr, done.stderr
    assert "resuming" not in done.stderr
    assert_same_store(out, ref)
    assert not archive.temporaries(out)


def test_argument_errors(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    sweeps(n_sweep=2, n_range=3).to_zarr(tmp_path / "in.zarr")
    (tmp_path / "taken.zarr").mkdir()
    src, out = str(tmp_path / "in.zarr"), str(tmp_path / "out.zarr")
    cases = [
        ([src, out, "vads", *VAD_ARGS], "'vads'"),
        ([src, out, "vad", *VAD_ARGS, "--arg", "gates=3"], "'gates'"),
        ([src, out, "vad", *VAD_ARGS[:4]], "'min_spread'"),
        ([src, out, "vad", *VAD_ARGS, "--arg", "elevation=elev"], "'elev'"),
        ([src, out, "vad", *VAD_ARGS, "--arg", "min_gates"], "'min_gates'"),
        ([src, out, "vad", *VAD_ARGS, "--arg", "min_gates=4"], "min_gates: given twice"),
        ([src, out, "vad", *VAD_ARGS, "--chunks", "sweep=many"], "sweep=many"),
        ([src, out, "vad", *VAD_ARGS, "--chunks", "time=2"], "'time'"),
        (
            [src, out, "vad", *VAD_ARGS, "--workers", "2", "--scheduler", "tcp://127.0.0.1:9"],
            "--scheduler",
        ),
        ([src, out, "vad", *VAD_ARGS, "--workers", "0"], "--workers 0"),
        ([src + "x", out, "vad", *VAD_ARGS], "in.zarrx"),
        ([src, str(tmp_path / "taken.zarr"), "vad", *VAD_ARGS], "taken.zarr"),
        (
            [src, out, "vad", *VAD_ARGS, "--arg", "azimuth_dim=bearing"],
            "'bearing'",
        ),  # the function's own check
        (
            [
                src,
                out,
                "statistics",
                "--arg",
                "values=dbz",
                "--arg",
                "dim=member",
                "--arg",
                "percentiles=50,101",
            ],
            "percentiles",
        ),
    ]
    for argv, culprit in cases:
        # never connects: the scheduler address is a closed port, where connecting would fail with 1
        assert (
            archive.main(
                [*argv, "--scheduler", "tcp://127.0.0.1:9"] if "--workers" not in argv else argv
            )
            == 2
        )
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and culprit in err and "error" in err, (argv, err)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.zarr", "taken.zarr"]


def peak_rss(args: list[str]) -> int:
    """Peak resident memory in bytes of a command run to completion in a fresh child."""
    probe = (
        "import resource, subprocess, sys\n"
        "subprocess.run(sys.argv[1:], check=True, stderr=subprocess.DEVNULL)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe, *args], check=True, capture_output=True, timeout=300
    )
    return int(done.stdout) * 1024


def test_streams_in_bounded_memory(tmp_path: Path) -> None:
    peaks, sizes = [], []
    for scale in (1, 10):
        n_chunks, per_chunk = 64, 2_000 * scale
        rng = np.random.default_rng(scale)
        shape = (n_chunks, per_chunk)
        t = rng.uniform(250.0, 300.0, shape)
        ds = xr.Dataset(
            {
                "t": (("y", "x"), t),
                "p": (("y", "x"), rng.uniform(5e4, 1e5, shape)),
                "td": (("y", "x"), t - rng.uniform(0.0, 20.0, shape)),
            }
        )
        src = tmp_path / f"in{scale}.zarr"
        ds.chunk(y=1).to_zarr(src)
        sizes.append(ds.nbytes)
        del ds, t
        args = ["thermo", "--arg", "t=t", "--arg", "p=p", "--arg", "td=td"]
        peaks.append(peak_rss(command(src, tmp_path / f"out{scale}.zarr", *args)))
    grown, input_grown = peaks[1] - peaks[0], sizes[1] - sizes[0]
    assert grown < input_grown / 4, (peaks, sizes)
