"""Helpers shared by the test modules: the real sample files, bit and value equality, the package
cases (each function beside its bare kernel) and the archive's input stores.

Test modules import the helpers from here (``from conftest import same_bits``; pyproject puts
tests/ on the path) and never from one another.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import xarray as xr

import _ensemble
import _refraction
import _tarnwell
import tarnwell
from tarnwell import archive

# The real sample files (radar volumes, soundings) beside the checkout, or where TARNWELL_DATA says.
DATA_DIR = Path(
    os.environ.get("TARNWELL_DATA") or Path(__file__).resolve().parents[2] / "shared" / "data"
)


@pytest.fixture(scope="session")
def shared_data() -> Path:
    """The folder of real sample files; tests needing it skip, with the path, where it is absent."""
    if not (DATA_DIR / "README.md").is_file():
        host = os.environ.get("TARNWELL_HOST_DATA")  # set by scripts/env.sh where the host has them
        if host:
            pytest.fail(
                f"the host has the sample files in {host}, but {DATA_DIR} is not visible here"
            )
        pytest.skip(f"real sample files absent: {DATA_DIR} (set TARNWELL_DATA to their folder)")
    return DATA_DIR


# --- Real radar files as xradar-model trees -----------------------------------------------------

# Level II moment names and their xradar names.
NEXRAD_MOMENTS = {
    b"VEL": "VRADH",
    b"REF": "DBZH",
    b"SW": "WRADH",
    b"ZDR": "ZDR",
    b"PHI": "PHIDP",
    b"RHO": "RHOHV",
}
NEXRAD_UNITS = {
    "VRADH": "m s-1",
    "WRADH": "m s-1",
    "DBZH": "dBZ",
    "ZDR": "dB",
    "PHIDP": "degree",
    "RHOHV": "1",
}


def read_nexrad(path: Path | str, moments: tuple[str, ...] = ("VRADH", "DBZH")) -> xr.DataTree:
    """A NEXRAD Level II volume as an `xarray.DataTree` in xradar's data model.

    Nodes ``sweep_0``, ``sweep_1``, ... hold ``(azimuth, range)`` Datasets with the `moments`
    asked for (NaN beyond a moment's last gate; a sweep without any of them holds none), the
    coordinates ``elevation(azimuth)``, ``time(azimuth)`` and ``range`` (m, gate centres) and the
    ``nyquist_velocity`` (m s-1); the root holds the radar's ``latitude``, ``longitude`` and
    ``altitude`` (m above sea level: site elevation plus feedhorn height) and the volume time.
    """
    from metpy.io import Level2File

    f = Level2File(str(path))
    vol = f.sweeps[0][0][1]
    epoch = np.datetime64("1970-01-01T00:00:00", "ms")
    nodes: dict[str, xr.Dataset] = {}
    for i, rays in enumerate(f.sweeps):
        hdr = [r[0] for r in rays]
        az = np.array([h.az_angle for h in hdr])
        el = np.array([h.el_angle for h in hdr])
        time = epoch + np.array([(h.date - 1) * 86400000 + h.time_ms for h in hdr]).astype(
            "timedelta64[ms]"
        )
        names = [k for k in NEXRAD_MOMENTS if k in rays[0][4] and NEXRAD_MOMENTS[k] in moments]
        n_gates = max((rays[0][4][k][0].num_gates for k in names), default=0)
        first, width = (
            (rays[0][4][names[0]][0].first_gate, rays[0][4][names[0]][0].gate_width)
            if names
            else (0.0, 0.25)
        )
        data = {}
        for k in names:
            values = np.full((len(rays), n_gates), np.nan)
            for j, r in enumerate(rays):
                gate = r[4][k][1]
                values[j, : gate.size] = gate
            name = NEXRAD_MOMENTS[k]
            data[name] = (("azimuth", "range"), values, {"units": NEXRAD_UNITS[name]})
        nodes[f"sweep_{i}"] = xr.Dataset(
            data,
            coords={
                "azimuth": ("azimuth", az, {"units": "degree"}),
                "elevation": ("azimuth", el, {"units": "degree"}),
                "time": ("azimuth", time),
                "range": ("range", 1000.0 * (first + width * np.arange(n_gates)), {"units": "m"}),
                "nyquist_velocity": ((), float(rays[0][3].nyq_vel), {"units": "m s-1"}),
                "sweep_mode": ((), "azimuth_surveillance"),
            },
        )
    root = xr.Dataset(
        coords={
            "latitude": ((), float(vol.lat), {"units": "degrees_north"}),
            "longitude": ((), float(vol.lon), {"units": "degrees_east"}),
            "altitude": ((), float(vol.site_amsl + vol.feedhorn_agl), {"units": "m"}),
            "time": ((), np.datetime64(f.dt, "ms")),
        }
    )
    return xr.DataTree.from_dict({"/": root, **nodes})


def read_cfradial(path: Path | str) -> xr.DataTree:
    """A CfRadial 1 file (one Dataset of rays, ``sweep_start_ray_index``...) as a sweep tree.

    Each sweep becomes an ``(azimuth, range)`` node of the file's ``(time, range)`` fields;
    ``nyquist_velocity`` becomes a coordinate; the unit ``m/s`` is read as ``m s-1``.
    """
    ds = xr.open_dataset(path)
    fields = [k for k, v in ds.data_vars.items() if v.dims == ("time", "range")]
    nodes: dict[str, xr.Dataset] = {}
    for i, (a, b) in enumerate(zip(ds.sweep_start_ray_index.values, ds.sweep_end_ray_index.values)):
        rays = ds.isel(time=slice(int(a), int(b) + 1))
        sweep = rays[fields].swap_dims(time="azimuth").reset_coords("time")
        sweep = sweep.set_coords("time")
        if "nyquist_velocity" in rays:
            sweep = sweep.assign_coords(
                nyquist_velocity=("azimuth", rays.nyquist_velocity.values, {"units": "m s-1"})
            )
        sweep = sweep.assign_coords(sweep_mode=str(np.char.decode(ds.sweep_mode.values[i])).strip())
        nodes[f"sweep_{i}"] = sweep.load()
    root = xr.Dataset(
        coords={
            k: ((), float(ds[k].values), dict(ds[k].attrs))
            for k in ("latitude", "longitude", "altitude")
        }
    )
    ds.close()
    return xr.DataTree.from_dict({"/": root, **nodes})


@pytest.fixture(scope="session")
def nexrad_volume(shared_data: Path) -> xr.DataTree:
    """The Lubbock NEXRAD volume of the shared sample files (velocity and reflectivity)."""
    return read_nexrad(shared_data / "radar" / "KLBB20160601_150025_V06")


@pytest.fixture(scope="session")
def cfradial_volume(shared_data: Path) -> xr.DataTree:
    """The Ka-band CfRadial sample (four PPI sweeps of reflectivity)."""
    return read_cfradial(shared_data / "radar" / "example_plot_ppi_single_sweep.nc")


def read_sounding(path: Path | str) -> xr.Dataset:
    """An upper-air text table (PRES HGHT TEMP DWPT ... DRCT SKNT, 7-character columns) as a
    Dataset over ``level`` with ``p`` (hPa), ``z`` (m), ``t`` and ``td`` (degC), ``u`` and
    ``v`` (knots, from DRCT and SKNT); empty fields are NaN, levels without a height dropped."""
    lines = Path(path).read_text().splitlines()
    dashes = [i for i, line in enumerate(lines) if line.startswith("-----")]
    rows = []
    for line in lines[dashes[1] + 1 :]:
        fields = [line[7 * k : 7 * k + 7].strip() for k in range(11)]
        try:
            rows.append([float(f) if f else np.nan for f in fields])
        except ValueError:
            break
    table = np.array(rows)
    table = table[np.isfinite(table[:, 1])]
    drct, sknt = np.deg2rad(table[:, 6]), table[:, 7]
    level = {"dims": "level"}
    return xr.Dataset(
        {
            "p": xr.DataArray(table[:, 0], **level, attrs={"units": "hPa"}),
            "z": xr.DataArray(table[:, 1], **level, attrs={"units": "m"}),
            "t": xr.DataArray(table[:, 2], **level, attrs={"units": "degC"}),
            "td": xr.DataArray(table[:, 3], **level, attrs={"units": "degC"}),
            "u": xr.DataArray(-sknt * np.sin(drct), **level, attrs={"units": "knots"}),
            "v": xr.DataArray(-sknt * np.cos(drct), **level, attrs={"units": "knots"}),
        }
    )


@pytest.fixture(scope="session")
def soundings(shared_data: Path) -> list[xr.Dataset]:
    """The two Norman OK soundings of the shared sample files."""
    return [
        read_sounding(shared_data / "soundings" / name)
        for name in ("may4_sounding.txt", "20110522_OUN_12Z.txt")
    ]


# --- equality -----------------------------------------------------------------------------------


def same_bits(a: Any, b: Any) -> bool:
    """Bit for bit: the same shape, dtype and bytes, so NaN payloads and the sign of zero count.

    For two runs of one computation (threads, chunks, workers). None equals only None; tuples and
    lists compare element by element.
    """
    if a is None or b is None:
        return a is b
    if isinstance(a, (tuple, list)) or isinstance(b, (tuple, list)):
        return (
            isinstance(a, (tuple, list))
            and isinstance(b, (tuple, list))
            and len(a) == len(b)
            and all(same_bits(x, y) for x, y in zip(a, b, strict=True))
        )
    x, y = np.asarray(a), np.asarray(b)
    return x.shape == y.shape and x.dtype == y.dtype and x.tobytes() == y.tobytes()


def same_values(a: Any, b: Any) -> bool:
    """Equal as float64 values, NaN equal to NaN and the sign of zero compared.

    For a result against a reference computed another way (where a NaN's payload or a float32's
    widening may differ and do not matter).
    """
    x, y = np.asarray(a, float), np.asarray(b, float)
    equal = (x == y) & (np.signbit(x) == np.signbit(y)) | np.isnan(x) & np.isnan(y)
    return x.shape == y.shape and bool(np.all(equal))


def same_ds(a: xr.Dataset, b: xr.Dataset) -> None:
    """Asserts the same data variables, in order, with the same dimensions and bits, and the same
    coordinate names."""
    assert list(a.data_vars) == list(b.data_vars)
    for name in a.data_vars:
        assert a[name].dims == b[name].dims, name
        assert same_bits(a[name].values, b[name].values), name
    assert a.coords.keys() == b.coords.keys()


# --- one case per package function: the package call and the bare kernel on the same data --------

rng = np.random.default_rng(42)


def noisy(shape, lo, hi, holes=0.05):
    x = rng.uniform(lo, hi, shape)
    x[rng.random(shape) < holes] = np.nan
    return x


# --- one case per function: the package call and the bare kernel on the same data ----------------


def thermo_case():
    coords = {"time": [1, 2, 3], "x": ("x", np.arange(5.0), {"units": "km"}), "label": "a"}
    t = xr.DataArray(noisy((3, 4, 5), 250, 305), dims=("time", "y", "x"), coords=coords)
    p = xr.DataArray(rng.uniform(5e4, 1e5, (4, 5)), dims=("y", "x"))
    td = t - rng.uniform(0, 10, (3, 4, 5))
    ds = tarnwell.thermo(t, p, td)
    tb, pb, tdb = xr.broadcast(t, p, td)
    ref = _tarnwell.thermo(tb.values, pb.values, tdb.values).reshape(4, 3, 4, 5)

    def call(**a):
        return tarnwell.thermo(a["t"], a["p"], a["td"])

    return ds, ref, ("time", "y", "x"), {"t": t, "p": p, "td": td}, call


def cold_pool_case():
    z = xr.DataArray(np.linspace(0, 3000, 30), dims="level")
    b = xr.DataArray(
        noisy((4, 6, 30), -0.1, 0.05), dims=("y", "x", "level"), coords={"y": np.arange(4) * 1e3}
    )
    bottom = xr.DataArray(rng.uniform(0, 200, 6), dims="x")
    ds = tarnwell.cold_pool(z, b, dim="level", bottom=bottom, threshold=-0.01, top=1500.0)
    zb = np.broadcast_to(z.values, (24, 30))
    ref = _tarnwell.cold_pool(
        zb,
        b.values.reshape(24, 30),
        np.broadcast_to(bottom.values, (4, 6)),
        -0.01,
        np.full(24, 1500.0),
    ).reshape(3, 4, 6)

    def call(**a):
        return tarnwell.cold_pool(
            a["z"], a["b"], dim="level", bottom=a["bottom"], threshold=-0.01, top=1500.0
        )

    return ds, ref, ("y", "x"), {"z": z, "b": b, "bottom": bottom}, call


def profile_case():
    z = xr.DataArray(np.sort(rng.uniform(0, 4000, (5, 40)), axis=1), dims=("x", "level"))
    u = xr.DataArray(noisy((5, 40), -10, 30), dims=("x", "level"))
    v = xr.DataArray(noisy((5, 40), -10, 30), dims=("x", "level"))
    cu = xr.DataArray(rng.uniform(0, 10, 5), dims="x")
    ds = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=3000.0, cu=cu, cv=2.0)
    ref = _tarnwell.profile(
        z.values, u.values, v.values, np.full(5, np.nan), 0.0, 3000.0, cu.values, np.full(5, 2.0)
    )

    def call(**a):
        return tarnwell.profile(
            a["z"], a["u"], a["v"], dim="level", bottom=0.0, top=3000.0, cu=a["cu"], cv=2.0
        )

    return ds, ref, ("x",), {"z": z, "u": u, "v": v, "cu": cu}, call


def gradient_case():
    x, y = np.cumsum(rng.uniform(500, 1500, 9)), np.cumsum(rng.uniform(500, 1500, 7))
    f = xr.DataArray(noisy((2, 7, 9), 280, 300), dims=("t", "y", "x"), coords={"x": x, "y": y})
    ds = tarnwell.gradient(f)
    ref = _tarnwell.gradient(f.values, x, y)
    return ds, ref, ("t", "y", "x"), {"f": f}, lambda **a: tarnwell.gradient(a["f"])


def vad_case():
    az = np.arange(0.5, 360.0, 5.0)
    el = rng.normal(1.5, 0.01, az.size)
    coords = {"azimuth": az, "elevation": ("azimuth", el), "range": np.arange(6) * 250.0}
    vr = xr.DataArray(
        noisy((az.size, 6, 2), -20, 20, 0.1), dims=("azimuth", "range", "sweep"), coords=coords
    )
    ds = tarnwell.vad(vr, min_gates=5, min_spread=0.05)
    rows = vr.transpose("range", "sweep", "azimuth").values.reshape(12, az.size)
    mean_el = xr.DataArray(el, dims="azimuth").mean("azimuth", skipna=True).values
    cos_el = np.cos(np.deg2rad(mean_el))
    ref = _tarnwell.vad(
        rows, np.broadcast_to(np.deg2rad(az), rows.shape), np.full(12, cos_el), 5, 0.05
    )

    def call(**a):
        return tarnwell.vad(a["vr"], min_gates=5, min_spread=0.05)

    return ds, ref.reshape(8, 6, 2), ("range", "sweep"), {"vr": vr}, call


def statistics_case():
    values = xr.DataArray(noisy((3, 20, 4), 0, 50).astype(np.float32), dims=("y", "member", "x"))
    ds = tarnwell.statistics(values, percentiles=[5, 50, 95], min_valid=3)
    rows = values.transpose("member", ...).values.reshape(20, 12)
    mean, std, pct = _ensemble.statistics(rows, [5, 50, 95], 3)
    ref = np.concatenate([mean[None], std[None], pct]).reshape(5, 3, 4)

    def call(**a):
        return tarnwell.statistics(a["values"], percentiles=[5, 50, 95], min_valid=3)

    return ds, ref, ("y", "x"), {"values": values}, call


def mode_case():
    values = xr.DataArray(np.floor(noisy((20, 3, 4), 0, 5)), dims=("member", "y", "x"))
    ds = tarnwell.mode(values, n_codes=4, min_valid=2)
    ref = np.stack(_ensemble.mode(values.values.reshape(20, 12), 4, 2)).reshape(2, 3, 4)

    def call(**a):
        return tarnwell.mode(a["values"], n_codes=4, min_valid=2)

    return ds, ref, ("y", "x"), {"values": values}, call


def trace_case():
    h = np.linspace(0, 5000, 26)
    n = xr.DataArray(1 + 3e-4 * np.exp(-h / 7000), dims="height", coords={"height": h})
    r, e = np.arange(0, 60e3, 2e3), np.array([0.0, 0.5, 1.5])
    ds = tarnwell.trace(n, rng=r, elev=e, radar_height=20.0, step=200.0)
    ref = np.moveaxis(_refraction.trace(r, e, h, n.values, 20.0, 6371000.0, 200.0), -1, 0)

    def call(**a):
        return tarnwell.trace(a["n"], rng=r, elev=e, radar_height=20.0, step=200.0)

    return ds, ref, ("elevation", "range"), {"n": n}, call


CASES = [
    thermo_case,
    cold_pool_case,
    profile_case,
    gradient_case,
    vad_case,
    statistics_case,
    mode_case,
    trace_case,
]


# --- input stores of the archive command --------------------------------------------------------

VAD_ARGS = ["--arg", "vr=vr", "--arg", "min_gates=3", "--arg", "min_spread=0.1"]


def sweeps(n_sweep: int = 12, n_range: int = 40, n_azimuth: int = 180, seed: int = 0) -> xr.Dataset:
    """Radial velocities (sweep, range, azimuth), an elevation per sweep and an ensemble field."""
    rng = np.random.default_rng(seed)
    az = np.arange(n_azimuth) * (360.0 / n_azimuth)
    u, v = rng.uniform(-20.0, 20.0, (2, n_sweep, n_range, 1))
    noise = rng.normal(0.0, 1.0, (n_sweep, n_range, n_azimuth))
    vr = u * np.sin(np.radians(az)) + v * np.cos(np.radians(az)) + noise
    vr[rng.random(vr.shape) < 0.05] = np.nan
    return xr.Dataset(
        {
            "vr": (("sweep", "range", "azimuth"), vr),
            "dbz": (("member", "sweep", "range"), rng.normal(20.0, 5.0, (7, n_sweep, n_range))),
        },
        coords={
            "sweep": np.arange(n_sweep),
            "range": ("range", 250.0 * np.arange(1, n_range + 1), {"units": "m"}),
            "azimuth": ("azimuth", az, {"units": "degrees"}),
            "elevation": ("sweep", 0.5 + np.arange(n_sweep) % 5.0, {"units": "degrees"}),
        },
    )


def assert_same_store(a: Path, b: Path | xr.Dataset) -> None:
    """Same variables, coordinates, attributes and chunks; values equal bit for bit."""
    x = xr.open_zarr(a).load()
    y = b if isinstance(b, xr.Dataset) else xr.open_zarr(b).load()
    if isinstance(b, xr.Dataset):  # the mark of a store the archive command wrote
        assert x.attrs.pop(archive.MARK)
    xr.testing.assert_identical(x, y)
    for k in x.variables:
        xv, yv = np.asarray(x[k].values), np.asarray(y[k].values)
        assert xv.tobytes() == yv.tobytes(), k
        if not isinstance(b, xr.Dataset):
            assert x[k].encoding.get("chunks") == y[k].encoding.get("chunks"), k


def command(*args: object) -> list[str]:
    return [sys.executable, "-m", "tarnwell.archive", *map(str, args)]


def wait_held(proc: subprocess.Popen[bytes], ready: Path, bound: float = 120.0) -> None:
    """Returns once the command's held chunk has written `ready` (the known point); `bound` only
    detects a hang, it is no race: reaching the point takes seconds."""
    deadline = time.monotonic() + bound
    while not ready.exists():
        if proc.poll() is not None:
            err = proc.stderr.read().decode()[-3000:] if proc.stderr else ""
            raise AssertionError(f"the command ended before it reached the held chunk: {err}")
        assert time.monotonic() < deadline, f"the command never reached the held chunk in {bound} s"
        time.sleep(0.01)


def held_run(argv: list[str], hold: Path, **kw: Any) -> subprocess.Popen[bytes]:
    """The command started with its last chunk held until `hold` exists; returns once it is held."""
    hold.unlink(missing_ok=True)
    ready = Path(f"{hold}.held")
    ready.unlink(missing_ok=True)
    proc = subprocess.Popen(argv, env=os.environ | {archive.HOLD_VARIABLE: str(hold)}, **kw)
    wait_held(proc, ready)
    return proc
