"""perturb on the inputs users hand over: lazy scales kept lazy, scales and fields off the gates
refused with a message naming them, scalar scales without per-gate memory, quantities converted."""

import tracemalloc

import dask
import numpy as np
import pytest
import xarray as xr

import _ensemble
import tarnwell

KNOT = 1852.0 / 3600.0
KEY = (2026, 12)


def same(a, b):
    """Bit for bit (NaNs included)."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def sweep(n_az=5, n_rng=8, seed=1):
    r = np.random.default_rng(seed)
    coords = {"azimuth": np.arange(n_az) * 72.0, "range": 250.0 * np.arange(n_rng)}
    dims = ("azimuth", "range")
    dbz = xr.DataArray(r.uniform(0, 60, (n_az, n_rng)), dims=dims, coords=coords)
    fac = xr.DataArray(r.uniform(0.05, 0.3, (6, n_az, n_rng)), dims=("row",) + dims, coords=coords)
    return dbz, fac


def test_lazy_fac_stays_lazy_and_is_computed_once():
    dbz, fac = sweep()
    calls = []

    def counted(block):
        calls.append(block.shape)
        return block

    lazy_fac = fac.chunk(azimuth=2)
    meta = np.empty((0, 0, 0))
    lazy_fac = lazy_fac.copy(data=lazy_fac.data.map_blocks(counted, dtype=np.float64, meta=meta))
    runs = []

    def counting_get(dsk, keys, **kwargs):
        runs.append(len(dsk))
        return dask.get(dsk, keys, **kwargs)

    kw = dict(members=7, key=KEY, bias_dbz=np.arange(7.0))
    ref = tarnwell.perturb(dbz=dbz, zdr=dbz / 20, vel=dbz - 30, fac=fac, **kw)
    rows = [lazy_fac[0], 0.1, lazy_fac[2], 0.2, lazy_fac[4], lazy_fac[5]]
    mixed_ref = tarnwell.perturb(
        dbz=dbz, zdr=dbz / 20, vel=dbz - 30, fac=[fac[0], 0.1, fac[2], 0.2, fac[4], fac[5]], **kw
    )
    with dask.config.set(scheduler=counting_get):
        # Fields in memory, fac lazy: a graph, nothing computed (the first call is the whole
        # array, the second six rows of it, a chunked call the same).
        whole = tarnwell.perturb(dbz=dbz, zdr=dbz / 20, vel=dbz - 30, fac=lazy_fac, **kw)
        mixed = tarnwell.perturb(dbz=dbz, zdr=dbz / 20, vel=dbz - 30, fac=rows, **kw)
        chunked = tarnwell.perturb(dbz=dbz, vel=dbz - 30, fac=lazy_fac, chunks=3, **kw)
        assert runs == [] and calls == []
        assert whole.dbz.chunks is not None and chunked.dbz.chunks[0] == (3, 3, 1)
        for ds, expected in ((whole, ref), (mixed, mixed_ref)):
            calls.clear()
            out = ds.compute()
            # one scheduler run, each block of fac's source computed once (not once per row)
            assert len(runs) == 1 and len(calls) == 3
            runs.clear()
            for name in expected.data_vars:
                assert same(out[name].values, expected[name].values)
        calls.clear()
        out = chunked.compute()
        assert len(calls) == 3
        assert same(out.vel.values, ref.vel.values) and same(out.dbz.values, ref.dbz.values)


def test_scales_off_the_gates_are_refused_naming_fac():
    dbz, fac = sweep()
    shifted = fac.assign_coords(range=fac.range + 125.0)
    kw = dict(dbz=dbz, members=2, key=KEY)
    with pytest.raises(ValueError, match=r"perturb: fac is not aligned with dbz"):
        tarnwell.perturb(fac=shifted, **kw)
    with pytest.raises(ValueError, match=r"perturb: fac\[3\] is not aligned with dbz"):
        tarnwell.perturb(fac=[0.1, 0, 0, shifted[3], 0, 0], **kw)
    with pytest.raises(ValueError, match=r"dbz and fac\[5\] differ in size along 'range' \(8 "):
        tarnwell.perturb(fac=[0.1, 0, 0, 0, 0, fac[5].isel(range=slice(0, 6))], **kw)
    with pytest.raises(ValueError, match=r"fac\[0\] has dimensions \['row'\]"):
        tarnwell.perturb(fac=[fac, 0, 0, 0, 0, 0], **kw)


def test_fields_on_different_gates_name_both_and_the_common_range():
    dbz, _ = sweep(n_rng=12)
    zdr = (dbz / 20).isel(range=slice(0, 7))
    msg = (
        r"perturb: dbz and zdr differ in size along 'range' \(12 against 7\); select a common "
        r"range first, e\.g\. \.isel\(range=slice\(0, 7\)\) on both"
    )
    with pytest.raises(ValueError, match=msg):
        tarnwell.perturb(dbz=dbz, zdr=zdr, fac=[0.1] * 6, members=2, key=KEY)
    with pytest.raises(ValueError, match="zdr is not aligned with dbz"):
        tarnwell.perturb(
            dbz=dbz.isel(range=slice(1, 8)), zdr=zdr, fac=[0.1] * 6, members=2, key=KEY
        )
    ok = tarnwell.perturb(
        dbz=dbz.isel(range=slice(0, 7)), zdr=zdr, fac=[0.1] * 6, members=2, key=KEY
    )
    assert ok.zdr.shape == (2, 5, 7)


def test_nexrad_reflectivity_and_zdr_gates(shared_data):
    """In one NEXRAD sweep reflectivity and ZDR have different gate counts."""
    level2 = pytest.importorskip("metpy.io").Level2File(
        str(shared_data / "radar" / "KLBB20160601_150025_V06")
    )
    rays = level2.sweeps[0]

    def moment(name, units):
        hdr = rays[0][4][name][0]
        gates = min(len(r[4][name][1]) for r in rays)
        rng = (hdr.first_gate + hdr.gate_width * np.arange(gates)) * 1e3
        values = np.array([r[4][name][1][:gates] for r in rays], dtype=np.float64)
        return xr.DataArray(
            values, dims=("azimuth", "range"), coords={"range": rng}, attrs={"units": units}
        )

    dbz, zdr = moment(b"REF", "dBZ"), moment(b"ZDR", "dB")
    assert dbz.sizes["range"] != zdr.sizes["range"]
    n = min(dbz.sizes["range"], zdr.sizes["range"])
    with pytest.raises(ValueError, match=rf"differ in size along 'range'.*slice\(0, {n}\)"):
        tarnwell.perturb(dbz=dbz, zdr=zdr, fac=[0.2, 0.1, 0.1, 0, 0, 0], members=2, key=KEY)
    common = dict(range=slice(0, n))
    ens = tarnwell.perturb(
        dbz=dbz.isel(common), zdr=zdr.isel(common), fac=[0.2, 0.1, 0.1, 0, 0, 0], members=2, key=KEY
    )
    assert ens.zdr.shape == (2, dbz.sizes["azimuth"], n)


def test_scalar_scales_cost_no_per_gate_memory_beyond_the_kernel():
    n, members = 10**6, 2
    dbz = xr.DataArray(np.linspace(0.0, 60.0, n).reshape(1000, 1000), dims=("azimuth", "range"))
    vel = xr.DataArray(np.linspace(-20.0, 20.0, n).reshape(1000, 1000), dims=("azimuth", "range"))
    tarnwell.perturb(dbz=dbz[:2], fac=[0.2] * 6, members=members, key=KEY)  # imports, caches
    tracemalloc.start()
    try:
        ens = tarnwell.perturb(
            dbz=dbz, vel=vel, fac=[0.2, 0, 0, 0, 0, 0.5], members=members, key=KEY
        )
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    result = members * 2 * n * 8
    # The fields go to the kernel as they are; the only per-gate cost is the kernel's own
    # (6, gates) array of scales (48 bytes per gate).
    assert peak < result + 48 * n + 2**20, peak - result
    fac = np.empty((6, n))
    fac[:] = np.array([0.2, 0, 0, 0, 0, 0.5])[:, None]
    raw = _ensemble.perturb(
        dbz.values, [], [], [], vel.values, 17, fac, np.zeros(2), np.zeros(2), *KEY, 0
    )
    assert same(ens.vel.values, raw[:, 1].reshape(2, 1000, 1000))
    # Lazily, the graph holds the six numbers, not the expanded scales.
    lazy = tarnwell.perturb(
        dbz=dbz, vel=vel, fac=[0.2, 0, 0, 0, 0, 0.5], members=members, key=KEY, chunks=1
    )
    graph = dict(lazy.vel.data.__dask_graph__())
    assert all(not (isinstance(v, np.ndarray) and v.size >= n * 6) for v in graph.values())
    assert same(lazy.vel.values, ens.vel.values)


def test_quantities_and_encoded_fields():
    pint_xarray = pytest.importorskip("pint_xarray")  # noqa: F841
    dbz, _ = sweep()
    vel = (dbz - 30).assign_attrs(units="m s-1")
    knots = (vel / KNOT).assign_attrs(units="knots")
    kw = dict(members=3, key=KEY)
    ref = tarnwell.perturb(dbz=dbz, vel=vel, fac=[0.2, 0, 0, 0, 0, 1.0], **kw)
    # A knots field and a knots spread are converted; pint-backed in, pint-backed out.
    q = tarnwell.perturb(dbz=dbz, vel=knots.pint.quantify(), fac=[0.2, 0, 0, 0, 0, 1.0], **kw)
    assert str(q.vel.data.units) == "meter / second"
    np.testing.assert_allclose(q.vel.data.magnitude, ref.vel.values, rtol=1e-13, atol=1e-12)
    ureg = q.vel.data._REGISTRY
    in_knots = ureg.Quantity(1 / KNOT, "kt")
    spread = tarnwell.perturb(dbz=dbz, vel=vel, fac=[0.2, 0, 0, 0, 0, in_knots], **kw)
    np.testing.assert_allclose(spread.vel.values, ref.vel.values, rtol=1e-13)
    with pytest.raises(ValueError, match=r"fac\[5\]: unit 'dB' is logarithmic"):
        in_db = xr.DataArray(1.0, attrs={"units": "dB"})
        tarnwell.perturb(dbz=dbz, vel=vel, fac=[0.2, 0, 0, 0, 0, in_db], **kw)
    with pytest.raises(ValueError, match="vel is still encoded"):
        tarnwell.perturb(dbz=dbz, vel=vel.assign_attrs(scale_factor=0.5), fac=[0.1] * 6, **kw)
    with pytest.raises(ValueError, match="bias_dbz must be in dBZ or dB"):
        tarnwell.perturb(dbz=dbz, fac=[0.1] * 6, bias_dbz=ureg.Quantity(np.ones(3), "m/s"), **kw)
