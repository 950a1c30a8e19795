"""The four analyses of the storm case, each a Dataset of product variables.

1. cold pool and gust front: ``thermo`` gives θ, θv and θe of the soundings, the buoyancy is θv
   against the undisturbed sounding, ``cold_pool`` maps the intensity and depth and ``gradient``
   of the near-surface θe outlines the gust front;
2. beam propagation: ``trace`` through a standard atmosphere and through a surface duct for a
   fan of elevations, beside the 4/3-earth model;
3. winds: ``vad`` per sweep and gate of the volume scan, with each gate's height and local
   elevation from the traced beam; the gate winds binned into a profile; ``profile`` for the
   storm motion, the 0-1 km and 0-3 km storm-relative helicity and the mean wind;
4. ensemble: ``perturb`` makes the reflectivity and ZDR sweep an ensemble, ``statistics`` and
   ``mode`` of a threshold classification summarise it; one member is regenerated alone, and from
   the raw stream words of ``_ensemble.words``, to show it is identical.

Each stage takes ``dask``: True when the case runs on a cluster, so that inputs are chunked and
the package functions build graphs that the cluster computes.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
import xarray as xr

import _ensemble
import tarnwell

from .case import (
    ANEMOMETER,
    BEAM_ELEVATIONS,
    CLASSES,
    COLD_POOL_THRESHOLD,
    EARTH_RADIUS,
    ENSEMBLE_KEY,
    GUST_FRONT_GRADIENT,
    HAIL_DBZ,
    HAIL_ZDR,
    HEAVY_RAIN_DBZ,
    LIGHT_RAIN_DBZ,
    PROFILE_STEP,
    PROFILE_TOP,
    RADAR,
    RADAR_HEIGHT,
    SWEEP_ELEVATIONS,
    SWEEP_RANGE,
    VAD_MIN_GATES,
    VAD_MIN_SPREAD,
    FloatArray,
    G,
    Size,
    attrs,
    index_profile,
    profile_heights,
    storm_reflectivity,
    synthesize_volume_scan,
    true_wind,
)

Log = Callable[[str], None]


def chunked(x: xr.DataArray, dask: bool, **chunks: int) -> xr.DataArray:
    """x as dask chunks when the case runs on a cluster, else as it is."""
    return x.chunk(chunks) if dask else x


# ----------------------------------------------------------------------------------------------
# Stage 1: cold pool and gust front


def cold_pool_stage(snd: xr.Dataset, dask: bool) -> xr.Dataset:
    """θ, θv, θe; buoyancy against the environment; cold-pool maps; the θe gradient at the
    ground."""
    n_y = snd.sizes["y"]
    y_chunk = max(1, n_y // 4)
    t = chunked(snd["t"], dask, y=y_chunk)
    p = chunked(snd["p"], dask, y=y_chunk)
    td = chunked(snd["td"], dask, y=y_chunk)
    th = tarnwell.thermo(t, p, td)
    env = tarnwell.thermo(snd["t_env"], snd["p_env"], snd["td_env"]).compute()
    thv_env = env["virtual_potential_temperature"]
    b = G * (th["virtual_potential_temperature"] - thv_env) / thv_env
    b.attrs = attrs("buoyancy against the undisturbed sounding", "m s-2")
    z = snd["height"]
    cp = tarnwell.cold_pool(z, b, dim="level", threshold=COLD_POOL_THRESHOLD)
    theta_e0 = th["equivalent_potential_temperature"].isel(level=0).drop_vars(["level", "height"])
    grad = tarnwell.gradient(theta_e0, x_dim="x", y_dim="y")
    cp, grad = cp.compute(), grad.compute()
    th0 = th.isel(level=0).drop_vars(["level", "height"]).compute()
    b0 = b.isel(level=0).drop_vars(["level", "height"]).compute()
    magnitude = (grad["dfdx"] ** 2 + grad["dfdy"] ** 2) ** 0.5 * 1000.0  # K km-1

    top = f"{COLD_POOL_THRESHOLD:g} m s-2"
    out = xr.Dataset(
        coords={"x": snd["x"], "y": snd["y"], "level": snd["level"], "height": snd["height"]}
    )
    out["cold_pool_intensity"] = cp["intensity"].assign_attrs(
        attrs(
            "cold-pool intensity sqrt(2 * integral of -b dz) up to where the buoyancy reaches "
            f"{top}",
            "m s-1",
        )
    )
    out["cold_pool_depth"] = cp["depth"].assign_attrs(attrs("cold-pool depth", "m"))
    out["cold_pool_open_top"] = cp["open_top"].assign_attrs(
        attrs(f"1 where the data ended before the buoyancy reached {top}", "1")
    )
    out["surface_theta"] = th0["potential_temperature"].assign_attrs(
        attrs("potential temperature at the lowest level", "K", "air_potential_temperature")
    )
    out["surface_theta_v"] = th0["virtual_potential_temperature"].assign_attrs(
        attrs("virtual potential temperature at the lowest level", "K")
    )
    out["surface_theta_e"] = th0["equivalent_potential_temperature"].assign_attrs(
        attrs(
            "equivalent potential temperature at the lowest level",
            "K",
            "air_equivalent_potential_temperature",
        )
    )
    out["surface_mixing_ratio"] = th0["mixing_ratio"].assign_attrs(
        attrs("water vapour mixing ratio at the lowest level", "kg kg-1", "humidity_mixing_ratio")
    )
    out["surface_buoyancy"] = b0.assign_attrs(attrs("buoyancy at the lowest level", "m s-2"))
    out["theta_e_gradient"] = magnitude.assign_attrs(
        attrs("magnitude of the horizontal gradient of theta_e at the lowest level", "K km-1")
    )
    out = out.assign_coords(x=snd["x"], y=snd["y"])
    for name, long in (
        ("potential_temperature", "potential temperature"),
        ("virtual_potential_temperature", "virtual potential temperature"),
        ("equivalent_potential_temperature", "equivalent potential temperature"),
    ):
        out[f"environment_{name}"] = env[name].assign_attrs(
            attrs(f"{long} of the undisturbed sounding", "K")
        )
    return out


def gust_front_mask(cp: xr.Dataset) -> xr.DataArray:
    """Points whose near-surface θe gradient exceeds GUST_FRONT_GRADIENT."""
    return cp["theta_e_gradient"] > GUST_FRONT_GRADIENT


# ----------------------------------------------------------------------------------------------
# Stage 2: beam propagation


def four_thirds_height(rng: FloatArray, elev: FloatArray, h0: float) -> FloatArray:
    """Beam height (m) of the 4/3-earth model, (elevation, range).

    h = sqrt(r² + kₑ² + 2 r kₑ sin θ) − kₑ + h0 with kₑ = 4/3 of the earth's radius (Doviak and
    Zrnić, Doppler Radar and Weather Observations, eq. 2.28b).
    """
    ke = 4.0 / 3.0 * EARTH_RADIUS
    s = np.sin(np.deg2rad(elev))[:, None]
    return np.sqrt(rng[None] ** 2 + ke**2 + 2.0 * rng[None] * ke * s) - ke + h0


def beams_stage() -> xr.Dataset:
    """Traced beams through the standard and the ducting atmosphere, and the 4/3-earth model."""
    rng = np.arange(0.0, 200001.0, 500.0)
    out = xr.Dataset(
        coords={
            "beam_elevation": (
                "beam_elevation",
                BEAM_ELEVATIONS,
                attrs("launch elevation", "degree"),
            ),
            "beam_range": ("beam_range", rng, attrs("range along the beam", "m")),
            "profile_height": (
                "profile_height",
                profile_heights(),
                attrs("height above ground", "m", "height"),
            ),
        }
    )
    for name, duct in (("standard", False), ("duct", True)):
        n = index_profile(duct)
        tr = tarnwell.trace(n, rng=rng, elev=BEAM_ELEVATIONS, radar_height=RADAR_HEIGHT).compute()
        tr = tr.rename({"elevation": "beam_elevation", "range": "beam_range"}).drop_vars(
            ["beam_elevation", "beam_range"]
        )
        out[f"beam_height_{name}"] = tr["height"].assign_attrs(
            attrs(f"beam height above ground, {name} atmosphere", "m")
        )
        out[f"beam_ground_distance_{name}"] = tr["ground_distance"].assign_attrs(
            attrs(f"ground distance of the beam, {name} atmosphere", "m")
        )
        out[f"refractivity_{name}"] = xr.DataArray(
            (n.values - 1.0) * 1e6,
            dims="profile_height",
            attrs=attrs(f"refractivity (n - 1) * 1e6, {name} atmosphere", "1"),
        )
    out["beam_height_four_thirds"] = xr.DataArray(
        four_thirds_height(rng, BEAM_ELEVATIONS, RADAR_HEIGHT),
        dims=("beam_elevation", "beam_range"),
        attrs=attrs("beam height above ground, 4/3-earth model", "m"),
    )
    return out


# ----------------------------------------------------------------------------------------------
# Stage 3: winds


def gate_winds(size: Size, dask: bool) -> tuple[FloatArray, xr.Dataset, xr.DataArray, xr.Dataset]:
    """Gate ranges (m), the traced beams of the sweeps, the volume scan and its VAD fit of every
    sweep and gate."""
    # The same extent at every size.
    gates = np.asarray(1000.0 + np.arange(size.n_gates) * (75000.0 / size.n_gates), np.float64)
    beams = tarnwell.trace(
        index_profile(False), rng=gates, elev=SWEEP_ELEVATIONS, radar_height=RADAR_HEIGHT
    ).compute()
    vr = synthesize_volume_scan(beams["height"], beams["local_elevation"], size)
    fit = tarnwell.vad(
        chunked(vr, dask, elevation=3),
        azimuth_dim="azimuth",
        elevation=beams["local_elevation"],
        min_gates=int(VAD_MIN_GATES * size.n_azimuths),
        min_spread=VAD_MIN_SPREAD,
    ).compute()
    return gates, beams, vr, fit


def wind_profiles(vr: xr.DataArray, size: Size) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Heights (m) and (source, height) winds: the volume's profile and the truth.

    The profile is `tarnwell.wind_profile` of the volume, one sweep per launch elevation, with the
    gate heights traced through the same standard atmosphere as the scan; levels every
    PROFILE_STEP, the surface at the datum (the antenna RADAR_HEIGHT above it).
    """
    sweeps = [vr.isel(elevation=i).to_dataset(name="VRADH") for i in range(vr.sizes["elevation"])]
    levels = np.arange(PROFILE_STEP / 2, PROFILE_TOP, PROFILE_STEP)
    prof = tarnwell.wind_profile(
        sweeps,
        heights=levels,
        n=index_profile(False),
        radar_height=RADAR_HEIGHT,
        min_gates=int(VAD_MIN_GATES * size.n_azimuths),
        min_spread=VAD_MIN_SPREAD,
    )
    # The surface wind of an anemometer anchors the profile at the ground.
    z = np.concatenate([[ANEMOMETER], levels])
    us, vs = true_wind(ANEMOMETER)
    ut, vt = true_wind(z)
    u = np.stack([np.concatenate([[us], prof["u"].values]), ut])
    v = np.stack([np.concatenate([[vs], prof["v"].values]), vt])
    return z, u, v


def winds_stage(size: Size, dask: bool) -> xr.Dataset:
    """VAD winds at every gate, the wind profile, storm motion, helicity and mean wind."""
    gates, beams, vr, fit = gate_winds(size, dask)
    z, u, v = wind_profiles(vr, size)
    source = ["vad", "truth"]
    coords = {
        "source": source,
        "profile_z": ("profile_z", z, attrs("height above ground", "m", "height")),
    }
    zda = xr.DataArray(z, dims="profile_z", attrs={"units": "m"})
    uda = xr.DataArray(u, dims=("source", "profile_z"), coords=coords, attrs={"units": "m s-1"})
    vda = xr.DataArray(v, dims=("source", "profile_z"), coords=coords, attrs={"units": "m s-1"})

    # Right-mover motion by the internal dynamics method (Bunkers et al. 2000), height-weighted.
    motion = tarnwell.storm_motion(zda, uda, vda, dim="profile_z").compute()
    cu, cv = motion["right_u"], motion["right_v"]

    def layer(top: float) -> xr.Dataset:
        return tarnwell.profile(
            zda, uda, vda, dim="profile_z", bottom=0.0, top=top, cu=cu, cv=cv
        ).compute()

    srh1, srh3 = layer(1000.0), layer(3000.0)

    out = xr.Dataset(
        coords={
            "sweep_elevation": (
                "sweep_elevation",
                SWEEP_ELEVATIONS,
                attrs("launch elevation of the sweep", "degree"),
            ),
            "gate_range": ("gate_range", gates, attrs("range along the beam", "m")),
            "source": (
                "source",
                source,
                attrs("vad: retrieved from the volume scan; truth: the synthetic wind"),
            ),
            "profile_z": coords["profile_z"],
        }
    )
    ren = {"elevation": "sweep_elevation", "range": "gate_range"}

    def gate(x: xr.DataArray) -> xr.DataArray:
        # The product's own coordinates (with their attributes) replace the results' ones.
        return x.rename(ren).drop_vars(["sweep_elevation", "gate_range"], errors="ignore")

    gate_dims = ("sweep_elevation", "gate_range")
    out["gate_height"] = gate(beams["height"]).assign_attrs(
        attrs("gate height above ground (traced beam)", "m")
    )
    out["gate_local_elevation"] = gate(beams["local_elevation"]).assign_attrs(
        attrs("local elevation of the beam at the gate", "degree")
    )
    out["vad_u"] = gate(fit["u"]).assign_attrs(attrs("VAD eastward wind", "m s-1", "eastward_wind"))
    out["vad_v"] = gate(fit["v"]).assign_attrs(
        attrs("VAD northward wind", "m s-1", "northward_wind")
    )
    out["vad_rms"] = gate(fit["rms"]).assign_attrs(attrs("rms residual of the VAD fit", "m s-1"))
    out["vad_n_valid"] = gate(fit["n_valid"]).assign_attrs(
        attrs("valid azimuths of the VAD fit", "1")
    )
    gu, gv = true_wind(beams["height"].values)
    out["true_u_at_gate"] = (gate_dims, gu, attrs("true eastward wind at the gate", "m s-1"))
    out["true_v_at_gate"] = (gate_dims, gv, attrs("true northward wind at the gate", "m s-1"))
    out["wind_u"] = uda.assign_attrs(attrs("eastward wind profile", "m s-1", "eastward_wind"))
    out["wind_v"] = vda.assign_attrs(attrs("northward wind profile", "m s-1", "northward_wind"))
    out["storm_motion_u"] = cu.assign_attrs(attrs("eastward storm motion (right mover)", "m s-1"))
    out["storm_motion_v"] = cv.assign_attrs(attrs("northward storm motion (right mover)", "m s-1"))
    out["helicity_0_1km"] = srh1["helicity"].assign_attrs(
        attrs("storm-relative helicity 0-1 km", "m2 s-2")
    )
    out["helicity_0_3km"] = srh3["helicity"].assign_attrs(
        attrs("storm-relative helicity 0-3 km", "m2 s-2")
    )
    out["mean_wind_u_0_6km"] = motion["mean_u"].assign_attrs(
        attrs("0-6 km mean eastward wind", "m s-1")
    )
    out["mean_wind_v_0_6km"] = motion["mean_v"].assign_attrs(
        attrs("0-6 km mean northward wind", "m s-1")
    )
    return out


# ----------------------------------------------------------------------------------------------
# Stage 4: ensemble


def classify(dbz: xr.DataArray, zdr: xr.DataArray) -> xr.DataArray:
    """Class codes 0..3 of CLASSES by thresholds of reflectivity and ZDR, NaN where data are
    missing."""
    code = (dbz >= LIGHT_RAIN_DBZ).astype(np.float64) + (dbz >= HEAVY_RAIN_DBZ).astype(np.float64)
    code = code.where(~((dbz >= HAIL_DBZ) & (zdr < HAIL_ZDR)), 3.0)
    return code.where(dbz.notnull() & zdr.notnull()).astype(np.float32)


def member_from_words(dbz: FloatArray, fac0: FloatArray, bias: float, member: int) -> FloatArray:
    """Reflectivity of one member rebuilt from the raw words of the stream (gates in C order).

    The Box-Muller transform of the first two words of each gate, u in (0, 1] and v in [0, 1)
    from their upper 53 bits, and dB = 10 log10(e) ≈ 4.3429 times the log-normal factor.
    """
    w = _ensemble.words(ENSEMBLE_KEY[0], ENSEMBLE_KEY[1], member, 0, dbz.size)
    out = np.empty(dbz.size)
    flat, f0 = dbz.ravel(), fac0.ravel()
    for g in range(dbz.size):
        u = float((int(w[g, 0]) >> 11) + 1) * 2.0**-53
        v = float(int(w[g, 1]) >> 11) * 2.0**-53
        z0 = math.sqrt(math.log(u) * -2.0) * math.cos(v * 6.283185307179586)
        out[g] = (bias + flat[g]) + 4.342944819032518 * (z0 * f0[g])
    return out.reshape(dbz.shape)


def ensemble_stage(size: Size, dask: bool, log: Log) -> xr.Dataset:
    """The perturbed sweep's statistics and classes, and the regenerated member checked."""
    az = np.arange(size.n_azimuths) * (360.0 / size.n_azimuths)
    rng_m = (np.arange(size.n_sweep_gates) + 0.5) * (SWEEP_RANGE / size.n_sweep_gates)
    a, r_km = np.deg2rad(az)[:, None], rng_m[None, :] / 1000.0
    gx, gy = RADAR[0] + r_km * np.sin(a), RADAR[1] + r_km * np.cos(a)
    dbz_true, zdr_true = storm_reflectivity(gx, gy)
    coords = {
        "azimuth": ("azimuth", az, attrs("azimuth clockwise from north", "degree")),
        "range": ("range", rng_m, attrs("range along the beam", "m")),
    }
    dims = ("azimuth", "range")
    dbz = xr.DataArray(dbz_true, dims=dims, coords=coords, attrs={"units": "dBZ"})
    zdr = xr.DataArray(zdr_true, dims=dims, coords=coords, attrs={"units": "dB"})

    # Errors grow where the signal is weak; the h and v errors are strongly correlated, so the ZDR
    # error is much smaller than the reflectivity error.
    fac0 = 0.12 + 0.25 * np.exp(-np.clip(dbz_true - 5.0, 0.0, None) / 12.0)
    fac = np.stack(
        [
            fac0,
            0.9 * fac0,
            0.04 + 0.5 * (fac0 - 0.12),
            np.zeros_like(fac0),
            np.zeros_like(fac0),
            np.zeros_like(fac0),
        ]
    )
    fac_da = xr.DataArray(fac, dims=("factor", *dims), coords=coords)
    # Calibration biases (dB) of the members.
    biases = np.random.default_rng(5).normal(0.0, [[1.0], [0.15]], (2, size.members))
    az_chunk = max(1, size.n_azimuths // 4)
    ens = tarnwell.perturb(
        dbz=chunked(dbz, dask, azimuth=az_chunk),
        zdr=chunked(zdr, dask, azimuth=az_chunk),
        fac=fac_da,
        members=size.members,
        key=ENSEMBLE_KEY,
        bias_dbz=biases[0],
        bias_zdr=biases[1],
        chunks=10 if dask else None,
    )
    st_dbz = tarnwell.statistics(ens["dbz"], percentiles=(10, 50, 90))
    st_zdr = tarnwell.statistics(ens["zdr"], percentiles=(10, 50, 90))
    classes = tarnwell.mode(classify(ens["dbz"], ens["zdr"]), n_codes=len(CLASSES))
    st_dbz, st_zdr, classes = (x.compute() for x in (st_dbz, st_zdr, classes))

    # Any member regenerates alone, bit for bit; its reflectivity also follows from the raw words.
    k = size.members - 13
    alone = tarnwell.perturb(
        dbz=dbz,
        zdr=zdr,
        fac=fac_da,
        members=1,
        key=ENSEMBLE_KEY,
        m0=k,
        bias_dbz=biases[0, k : k + 1],
        bias_zdr=biases[1, k : k + 1],
    )
    member_k = ens["dbz"].isel(member=k).compute()
    same_alone = bool(np.array_equal(alone["dbz"].isel(member=0).values, member_k.values))
    rebuilt = member_from_words(dbz_true, fac0, float(biases[0, k]), k)
    same_words = bool(np.array_equal(rebuilt, member_k.values))
    log(
        f"      member {k} regenerated alone: {'identical' if same_alone else 'DIFFERENT'}; "
        f"rebuilt from the stream words: {'identical' if same_words else 'DIFFERENT'}"
    )

    out = xr.Dataset(
        coords={
            **coords,
            "gate_x": (dims, gx, attrs("x distance of the gate", "km", "projection_x_coordinate")),
            "gate_y": (dims, gy, attrs("y distance of the gate", "km", "projection_y_coordinate")),
            "member": ("member", np.arange(size.members), attrs("ensemble member")),
        }
    )
    out["dbz"] = dbz.assign_attrs(attrs("reflectivity", "dBZ", "equivalent_reflectivity_factor"))
    out["zdr"] = zdr.assign_attrs(attrs("differential reflectivity", "dB"))
    for name, st, unit, long in (
        ("dbz", st_dbz, "dBZ", "reflectivity"),
        ("zdr", st_zdr, "dB", "differential reflectivity"),
    ):
        out[f"{name}_mean"] = st["mean"].assign_attrs(attrs(f"ensemble mean {long}", unit))
        out[f"{name}_std"] = st["std"].assign_attrs(
            attrs(f"ensemble spread (standard deviation) of {long}", unit)
        )
        for q in (10, 50, 90):
            pq = st["percentiles"].sel(percentile=q).drop_vars("percentile")
            out[f"{name}_p{q}"] = pq.assign_attrs(
                attrs(f"{q}th percentile of the ensemble {long}", unit)
            )
    out["bias_dbz"] = (
        "member",
        biases[0],
        attrs("calibration bias of the member's reflectivity", "dB"),
    )
    out["bias_zdr"] = ("member", biases[1], attrs("calibration bias of the member's ZDR", "dB"))
    out["class_mode"] = classes["mode"].assign_attrs(
        attrs(
            "most likely class among the members",
            "1",
            flag_values=np.arange(len(CLASSES), dtype=np.int8),
            flag_meanings=" ".join(c.replace(" ", "_") for c in CLASSES),
        )
    )
    out["class_agreement"] = classes["fraction"].assign_attrs(
        attrs("fraction of the members that give the most likely class", "1")
    )
    out = out.assign_coords(coords)  # with their attributes, which the results do not carry
    out.attrs["member_regenerated"] = k
    out.attrs["member_regenerated_identical"] = int(same_alone and same_words)
    return out
