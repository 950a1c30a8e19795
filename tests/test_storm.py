"""The storm case at its small size: files, the NetCDF product and the science it holds; the
command's endings (signals, a full disk, an unusable OUT) as one line, with nothing left behind."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

pytest.importorskip("matplotlib")
pytest.importorskip("netCDF4")

from tarnwell import storm  # noqa: E402  (only once the optional dependencies are known present)

FIGURES = ("cold_pool.png", "beams.png", "winds.png", "ensemble.png", "classes.png")


@pytest.fixture(scope="module")
def case(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    out = tmp_path_factory.mktemp("storm")
    storm.run(out, size="small", log=None)
    with xr.open_dataset(out / "storm_case.nc", engine="netcdf4") as ds:
        return out, ds.load()


def test_files_and_cf_product(case: tuple[Path, xr.Dataset]) -> None:
    out, ds = case
    for name in FIGURES:
        assert (out / name).stat().st_size > 10_000, name
    # no temporaries
    assert sorted(p.name for p in out.iterdir()) == sorted([*FIGURES, "storm_case.nc"])
    assert ds.attrs["Conventions"].startswith("CF-")
    expected = {
        "cold_pool_intensity": "m s-1",
        "cold_pool_depth": "m",
        "theta_e_gradient": "K km-1",
        "surface_theta_e": "K",
        "beam_height_standard": "m",
        "beam_height_duct": "m",
        "beam_height_four_thirds": "m",
        "vad_u": "m s-1",
        "wind_u": "m s-1",
        "helicity_0_1km": "m2 s-2",
        "helicity_0_3km": "m2 s-2",
        "storm_motion_u": "m s-1",
        "dbz_mean": "dBZ",
        "dbz_std": "dBZ",
        "dbz_p10": "dBZ",
        "dbz_p90": "dBZ",
        "zdr_std": "dB",
        "class_mode": "1",
        "class_agreement": "1",
    }
    for name, unit in expected.items():
        assert ds[name].attrs["units"] == unit, name
        assert ds[name].attrs["long_name"], name
    for coord in ("x", "y", "beam_range", "gate_range", "azimuth", "range", "profile_z"):
        assert "units" in ds[coord].attrs, coord
    assert ds.sizes["member"] >= 50


def test_cold_pool_strongest_at_outflow_centre(case: tuple[Path, xr.Dataset]) -> None:
    _, ds = case
    c = ds["cold_pool_intensity"]
    j, i = np.unravel_index(int(np.nanargmax(c.values)), c.shape)
    cx, cy = storm.OUTFLOW_CENTRE
    assert np.hypot(float(ds["x"][i]) - cx, float(ds["y"][j]) - cy) < 0.15 * storm.OUTFLOW_RADIUS
    assert 15.0 < float(c[j, i]) < 35.0  # m s-1, a strong outflow
    dist = np.hypot(ds["x"] - cx, ds["y"] - cy)
    assert float(c.where(dist > 2.0 * storm.OUTFLOW_RADIUS).max()) < 2.0  # undisturbed air
    # The gust front (strong θe gradient) rings the pool near its edge.
    front = dist.where(ds["theta_e_gradient"] > 2.0)
    assert 0.7 * storm.OUTFLOW_RADIUS < float(front.median()) < 1.3 * storm.OUTFLOW_RADIUS


def test_duct_bends_beams_below_standard(case: tuple[Path, xr.Dataset]) -> None:
    _, ds = case
    far = ds["beam_range"] >= 100_000.0
    for elevation in (0.5, 1.0, 2.0):
        std = ds["beam_height_standard"].sel(beam_elevation=elevation).where(far, drop=True)
        duct = ds["beam_height_duct"].sel(beam_elevation=elevation).where(far, drop=True)
        assert bool((duct < std - 50.0).all()), elevation
    # The lowest beam stays airborne in the standard atmosphere but is trapped by the duct.
    lowest = ds["beam_height_standard"].sel(beam_elevation=0.0)
    assert float(lowest.min()) >= storm.RADAR_HEIGHT - 1.0
    assert float(ds["beam_height_duct"].sel(beam_elevation=0.0).min()) < 0.0
    # The 4/3-earth model matches the standard atmosphere closely and misses the duct.
    err_std = np.abs(ds["beam_height_four_thirds"] - ds["beam_height_standard"]).where(far)
    err_duct = np.abs(ds["beam_height_four_thirds"] - ds["beam_height_duct"]).where(far)
    assert float(err_std.sel(beam_elevation=0.5).max()) < 50.0
    assert float(err_duct.sel(beam_elevation=0.5).max()) > 200.0


def test_winds_and_helicity_match_the_truth(case: tuple[Path, xr.Dataset]) -> None:
    _, ds = case
    n = ds["vad_n_valid"]
    ok = ds["vad_u"].notnull()
    assert int(ok.sum()) > 0.5 * ok.size
    # Each fit's standard error: 1 m s-1 of noise over n samples, two parameters per component.
    sigma = 1.0 * np.sqrt(2.0 / n) / np.cos(np.deg2rad(ds["gate_local_elevation"]))
    err = np.hypot(ds["vad_u"] - ds["true_u_at_gate"], ds["vad_v"] - ds["true_v_at_gate"])
    assert float((err / sigma).where(ok).max()) < 6.0
    assert float((err / sigma).where(ok).mean()) < 2.0
    for name in ("helicity_0_1km", "helicity_0_3km"):
        vad, truth = float(ds[name].sel(source="vad")), float(ds[name].sel(source="truth"))
        assert truth > 150.0 and abs(vad - truth) < 0.05 * truth, name
    assert ds.attrs["member_regenerated_identical"] == 1


def test_bad_arguments(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="size"):
        storm.run(tmp_path, size="huge", log=None)
    with pytest.raises(ValueError, match="workers"):
        storm.run(tmp_path, size="small", workers=0, log=None)
    assert not any(tmp_path.iterdir())


def test_workers_give_the_same_product(case: tuple[Path, xr.Dataset], tmp_path: Path) -> None:
    pytest.importorskip("distributed")
    _, local = case
    on_cluster = storm.run(tmp_path, size="small", workers=2, figures=False, log=None)
    for name in local.data_vars:
        assert np.array_equal(local[name].values, on_cluster[name].values, equal_nan=True), name


def test_outputs_readable_and_failed_write_leaves_nothing(
    case: tuple[Path, xr.Dataset], tmp_path: Path
) -> None:
    out, _ = case
    umask = os.umask(0)
    os.umask(umask)
    for p in out.iterdir():  # as any new file, not private as temporary files are made
        assert p.stat().st_mode & 0o777 == 0o666 & ~umask, p
    bad = xr.Dataset({"x": ("n", np.array([{"a": 1}], dtype=object))})
    with pytest.raises(ValueError):  # xarray refuses to serialise Python objects
        storm.write_netcdf(bad, tmp_path / "storm_case.nc")
    assert not any(tmp_path.iterdir())


def test_classes_follow_the_thresholds() -> None:
    dbz = xr.DataArray([5.0, 15.0, 34.9, 35.0, 55.0, 55.0, np.nan, 20.0])
    zdr = xr.DataArray([0.0, 0.5, 1.0, 2.0, 0.3, 2.5, 1.0, np.nan])
    codes = storm.classify(dbz, zdr).values
    np.testing.assert_array_equal(codes, [0, 1, 1, 2, 3, 2, np.nan, np.nan])
    assert codes.dtype == np.float32


def test_command_line_checks() -> None:
    with pytest.raises(SystemExit):
        storm.main(["--workers", "0"])
    with pytest.raises(SystemExit):
        storm.main(["--size", "huge"])


def test_optional_dependencies_checked_first(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    real = storm.command.importlib.util.find_spec
    monkeypatch.setattr(
        storm.command.importlib.util,
        "find_spec",
        lambda name: None if name == "matplotlib" else real(name),
    )
    wanted = r"matplotlib \(for the figures.*tarnwell\[demo\]"
    with pytest.raises(storm.CaseError, match=wanted) as e:
        storm.run(tmp_path / "out", size="small", log=None)
    assert e.value.status == 2 and not any(tmp_path.iterdir())
    assert storm.command.missing_dependencies(figures=False, workers=False) is None


def test_figures_leave_the_backend_alone() -> None:
    probe = (
        "import sys, matplotlib; matplotlib.use('svg'); import tarnwell.storm; "
        "assert 'matplotlib.pyplot' not in sys.modules; import tarnwell.storm.figures; "
        "print(matplotlib.get_backend(), 'matplotlib.pyplot' in sys.modules)"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["svg", "False"]


def command(out: Path, *more: str) -> list[str]:
    return [
        sys.executable,
        "-m",
        "tarnwell.storm",
        "--size",
        "small",
        "--no-figures",
        "--out",
        str(out),
        *more,
    ]


def one_line(stderr: str) -> str:
    lines = [ln for ln in stderr.splitlines() if ln.strip()]
    assert len(lines) == 1 and "Traceback" not in stderr, stderr
    return lines[0]


def default_signals() -> None:  # a test run in the background inherits SIGINT ignored
    for s in (signal.SIGINT, signal.SIGHUP):
        signal.signal(s, signal.SIG_DFL)


@pytest.mark.parametrize(
    ("signum", "status"),
    [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129), (None, 0)],
)
def test_signal_while_the_product_is_written(
    tmp_path: Path, signum: int | None, status: int
) -> None:
    out, fifo = tmp_path / "new" / "out", tmp_path / "hold"
    os.mkfifo(fifo)
    env = {**os.environ, "TARNWELL_STORM_HOLD": str(fifo)}
    with subprocess.Popen(
        command(out),
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=default_signals,
    ) as proc:
        watchdog = threading.Timer(300.0, proc.kill)  # a bound, never reached by a working command
        watchdog.start()
        try:
            assert proc.stderr is not None
            held = proc.stderr.readline()  # blocks until the command is at the hold point
            assert "holding storm_case.nc" in held, held + proc.stderr.read()
            # Held with the whole product written under its hidden temporary name.
            (tmp,) = out.iterdir()
            assert tmp.name.startswith(".storm_case.nc.") and tmp.stat().st_size > 1_000_000
            if signum is None:
                with open(fifo, "w") as f:
                    f.write("go\n")
            else:
                proc.send_signal(signum)
            rest = proc.stderr.read()
            assert proc.wait() == status, rest
        finally:
            watchdog.cancel()
            proc.kill()
    if signum is None:
        assert rest == "" and [p.name for p in out.iterdir()] == ["storm_case.nc"]
    else:
        name = signal.Signals(signum).name
        assert (name if signum != signal.SIGINT else "interrupted") in one_line(rest)
        assert not (tmp_path / "new").exists()  # the folders it made go too


def test_task_limit_is_one_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    dask_distributed = pytest.importorskip("dask.distributed")

    def no_threads(**kwargs: object) -> None:  # as under a low RLIMIT_NPROC
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(dask_distributed, "LocalCluster", no_threads)
    assert (
        storm.main(
            ["--size", "small", "--no-figures", "--workers", "1", "--out", str(tmp_path / "out")]
        )
        == 1
    )
    assert "thread or process limit" in one_line(capsys.readouterr().err)
    assert not any(tmp_path.iterdir())


def test_unusable_out(tmp_path: Path) -> None:
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    done = subprocess.run(command(blocker / "out"), capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert "OUT is not writable" in one_line(done.stderr) and "Not a directory" in done.stderr
    debug = subprocess.run(
        command(blocker / "out", "--debug"), capture_output=True, text=True, timeout=120
    )
    assert debug.returncode == 2 and "Traceback" in debug.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


def private_mounts_possible() -> str | None:
    """Why a private mount namespace with a tmpfs cannot be made here, else None."""
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        return "unshare or mount is absent"
    if os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "unchanged", "true"],
        capture_output=True,
        timeout=60,
    )
    if done.returncode != 0:
        return f"no mount namespace: {done.stderr.decode().strip()}"
    return None


def in_mount_namespace(script: str, *args: str) -> subprocess.CompletedProcess[str]:
    """script run by sh in a private mount namespace (its mounts vanish with it)."""
    shared = "shared:" in Path("/proc/self/mountinfo").read_text()
    propagation = [] if shared else ["--propagation", "unchanged"]  # private already
    return subprocess.run(
        ["unshare", "--mount", *propagation, "sh", "-c", script, "sh", *args],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_full_disk_and_read_only_out(tmp_path: Path) -> None:
    reason = private_mounts_possible()
    if reason is not None:
        pytest.skip(reason)
    full, ro = tmp_path / "full", tmp_path / "ro"
    full.mkdir()
    ro.mkdir()
    # A 1 MB tmpfs (the small product takes about 2.7 MB) and a read-only one.
    script = (
        'mount -t tmpfs -o size=1m tmpfs "$1" && mount -t tmpfs -o ro,size=1m tmpfs "$2" '
        '|| exit 99; where=$3; shift 3; "$@" --out "$where/out"; echo "status $?"; '
        'ls -A "$where"'
    )
    for where, status, words in (
        (full, 1, ["no space left on OUT's file system", "MB needed", "MB free"]),
        (ro, 2, ["OUT is not writable", "Read-only file system"]),
    ):
        done = in_mount_namespace(
            script, str(full), str(ro), str(where), *command(where / "out")[:-2]
        )
        assert done.returncode == 0, done.stderr
        line = one_line(done.stderr)
        assert all(w in line for w in words), line
        listing = done.stdout.split("status ")[1].split()
        assert listing[0] == str(status) and listing[1:] == [], done.stdout  # nothing left
