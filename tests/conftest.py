"""Helpers shared by the test modules."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

# The real sample files (radar volumes, soundings) beside the checkout, or where TARNWELL_DATA says.
DATA_DIR = Path(os.environ.get("TARNWELL_DATA") or Path(__file__).resolve().parents[2] / "shared" / "data")


@pytest.fixture(scope="session")
def shared_data() -> Path:
    """The folder of real sample files; tests that need it skip, with the path, where it is absent."""
    if not (DATA_DIR / "README.md").is_file():
        host = os.environ.get("TARNWELL_HOST_DATA")  # set by scripts/env.sh where the host has them
        if host:
            pytest.fail(f"the host has the sample files in {host}, but {DATA_DIR} is not visible here")
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
