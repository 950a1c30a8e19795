import numpy as np
import pytest
from scipy.integrate import solve_ivp

import _refraction
from _refraction import trace

R = 6_371_000.0
DEG = 0.017453292519943295


def reference(elev, s_end, h, n, radar_height, below_on_level=False, max_step=np.inf):
    """High-accuracy integration of the same ray equations through the piecewise-linear
    profile (index constant outside it); returns (height, ground distance, elevation in
    degrees) at s_end."""
    h, n = np.asarray(h, float), np.asarray(n, float)
    slopes = np.diff(n) / np.diff(h)

    def rhs(_, y):
        r, th, _phi = y
        z = r - R
        # the layer a ray on a level belongs to: the one above, or below for `below_on_level`
        m = np.searchsorted(h, z, side="left" if below_on_level else "right") - 1
        inside = 0 <= m < len(h) - 1
        L = slopes[m] if inside else 0.0
        J, K = (h[m], n[m]) if inside else (h[0], n[0]) if m < 0 else (h[-1], n[-1])
        return [np.sin(th), (L / (K + L * (z - J)) + 1 / r) * np.cos(th), np.cos(th) / r]

    sol = solve_ivp(
        rhs,
        (0.0, s_end[-1]),
        [R + radar_height, elev * DEG, 0.0],
        method="DOP853",
        t_eval=s_end,
        rtol=1e-12,
        atol=[1e-7, 1e-14, 1e-16],
        max_step=max_step,
    )
    r, th, phi = sol.y
    return np.stack([r - R, phi * R, th / DEG], axis=-1)


def straight(elev, s, radar_height):
    """Closed form of a straight ray (constant index)."""
    r0, t0 = R + radar_height, np.radians(elev)[:, None]
    z = np.sqrt(r0**2 + s**2 + 2 * r0 * s * np.sin(t0)) - R
    phi = np.arctan2(s * np.cos(t0), r0 + s * np.sin(t0))
    return np.stack(np.broadcast_arrays(z, phi * R, np.degrees(t0 + phi)), axis=-1)


def test_module_and_arguments():
    assert _refraction.__doc__ == "Ray tracing in a spherically stratified atmosphere"
    rng = np.array([0.0, 500.0, 1000.0])
    rng.flags.writeable = False  # read-only inputs work
    base = trace(rng, [1.0], [0.0], [1.0003], 10.0, R)
    assert base.shape == (1, 3, 3) and base.dtype == np.float64
    kw = trace(
        rng=[0, 500, 1000],
        elev=[1],
        h=[0],
        n=[1.0003],
        radar_height=10,
        earth_radius=R,
        step=100.0,
        n_threads=0,
    )
    np.testing.assert_array_equal(kw, base)
    with pytest.raises(TypeError):
        trace(rng, [1.0], [0.0], [1.0003], 10.0, R, n_threads=1.0)
    with pytest.raises(TypeError):
        trace(rng, [1.0], [0.0], [1.0003], 10.0, R, n_threads=2**31)


@pytest.mark.parametrize(
    "args, message",
    [
        (([[1.0]], [[1.0]], [0, 1], [1.0], 0.0), "rng, elev, h and n must be one-dimensional"),
        (([2.0, 1.0], 1.0, [0, 1], [1.0], 0.0), "rng, elev, h and n must be one-dimensional"),
        (([2.0, 1.0], [1.0], [0, 1], [1.0], 0.0), "the profile needs matching heights and indices"),
        (([2.0, 1.0], [1.0], [], [], 0.0), "the profile needs matching heights and indices"),
        (([2.0, 1.0], [1.0], [0], [1.0], np.nan), "step must be positive"),
        (([np.inf], [1.0], [0], [1.0], -1.0), "step must be positive"),
        (([2.0, 1.0, np.inf], [1.0], [0], [1.0], 100.0), "rng must not decrease"),
        (([0.0, np.nan], [1.0], [0], [1.0], 100.0), "rng must not decrease"),
        (([np.nan, 1.0], [1.0], [0], [1.0], 100.0), "rng must not decrease"),
        (([0.0, np.inf], [1.0], [0], [1.0], 100.0), "too many integration steps"),
        (([1e20], [1.0], [0], [1.0], 100.0), "too many integration steps"),
        (([2.0**40 * 100], [1.0], [0], [1.0], 100.0), "too many integration steps"),
        (([np.inf], [1.0], [0], [1.0], np.inf), "too many integration steps"),  # inf / inf is NaN
    ],
)
def test_errors_in_order(args, message):
    rng, elev, h, n, step = args
    with pytest.raises(ValueError) as e:
        trace(rng, elev, h, n, 0.0, R, step)
    assert str(e.value) == message


def test_edge_cases():
    h, n = [0.0, 1000.0], [1.0003, 1.00026]
    assert trace([0.0, 1.0], np.empty(0), h, n, 0.0, R).shape == (0, 2, 3)
    assert trace(np.empty(0), [1.0, 2.0], h, n, 0.0, R).shape == (2, 0, 3)
    elev = np.array([0.5, np.nan, np.inf, -np.inf, -3.0])
    out = trace([0.0, 0.0, 1000.0], elev, h, n, 25.0, R)
    launch = np.stack([np.full(2, (R + 25.0) - R), np.zeros(2), np.full(2, 0.0)], axis=-1)
    for i in (0, 4):
        launch[:, 2] = (elev[i] * DEG) / DEG
        np.testing.assert_array_equal(out[i, :2], launch)
        np.testing.assert_array_equal(
            out[i, 2], trace([1000.0], elev[i : i + 1], h, n, 25.0, R)[0, 0]
        )
    assert np.isnan(out[1:4]).all() and np.isfinite(out[[0, 4]]).all()
    # a lone NaN range, a range of -inf and non-positive ranges leave the launch state
    for rng in ([np.nan], [-np.inf, 0.0], [-5.0, -1.0]):
        np.testing.assert_array_equal(
            trace(rng, [0.5], h, n, 25.0, R)[0, -1], [(R + 25.0) - R, 0.0, (0.5 * DEG) / DEG]
        )


def test_constant_index_is_straight():
    s = np.array([0.0, 50.0, 1234.5, 20_000.0, 150_000.0, 300_000.0])
    elev = np.array([-2.0, 0.0, 0.5, 10.0, 89.0])
    for h, n in (([0.0], [1.0003]), ([0.0, 5000.0, 9000.0], [1.0003, 1.0003, 1.0003])):
        out = trace(s, elev, h, n, 120.0, R)
        np.testing.assert_allclose(out, straight(elev, s, 120.0), rtol=0, atol=1e-6)
        assert (np.diff(out[..., 2], axis=1) > 0).all()  # the elevation grows along a straight ray
    # about a million steps for one ray still runs
    far = trace([1e8], [0.0], [0.0], [1.0], 0.0, R)
    np.testing.assert_allclose(far, straight(np.zeros(1), np.array([1e8]), 0.0), rtol=1e-10)


def test_linear_gradient_against_reference():
    h, n = [-1000.0, 60_000.0], [1.000313, 1.000313 - 40e-9 * 61_000]
    s = np.linspace(0.0, 150_000.0, 16)
    elev = np.array([-0.3, 0.5, 2.0, 10.0])
    out = trace(s, elev, h, n, 30.0, R)
    for i, e in enumerate(elev):
        np.testing.assert_allclose(out[i], reference(e, s, h, n, 30.0), rtol=0, atol=1e-5)
    # 4/3 effective earth radius (gradient -1/(4R)): loose physical sanity only
    h43, n43 = [0.0, 30_000.0], [1.000313, 1.000313 - 30_000 / (4 * R)]
    out = trace(s, elev[1:], h43, n43, 30.0, R)
    ke = 4 / 3 * R
    z43 = np.sqrt(s**2 + ke**2 + 2 * s * ke * np.sin(np.radians(elev[1:, None]))) - ke + 30.0
    np.testing.assert_allclose(out[..., 0], z43, rtol=1e-3, atol=1.0)
    assert (out[..., 0] < straight(elev[1:], s, 30.0)[..., 0] + 1e-6).all()


DUCT_H = [0.0, 50.0, 100.0, 150.0, 200.0, 250.0, 300.0, 2000.0]
DUCT_N = list(
    1.00035 + np.cumsum([0.0, -4e-7, -2e-7, -3.5e-7, -2.5e-7, -3e-7, -3e-7, -4e-8 * 34]) * 50
)


def test_duct_and_levels():
    # Steps aim at levels along the tangent, so a curved ray meets the slope change a little off the
    # step's end: about a millimetre here, against metres for a wrong layer.
    s = np.linspace(0.0, 100_000.0, 41)
    out = trace(s, [0.1, -0.05], DUCT_H, DUCT_N, 120.0, R)
    for i, e in enumerate([0.1, -0.05]):
        np.testing.assert_allclose(
            out[i], reference(e, s, DUCT_H, DUCT_N, 120.0), rtol=0, atol=5e-3
        )
        z, el = out[i, :, 0], out[i, :, 2]
        assert z.min() < DUCT_H[0] and el.min() < 0  # turned down, descended through every level
    assert out[0, :, 2].max() > 0 and out[0, :, 0].max() < 150.0  # trapped: rises, then turns down

    # starting exactly on a level: ascending rays are in the layer above ...
    np.testing.assert_allclose(
        trace(s, [0.2], DUCT_H, DUCT_N, 150.0, R)[0],
        reference(0.2, s, DUCT_H, DUCT_N, 150.0),
        rtol=0,
        atol=5e-3,
    )
    # ... descending ones in the layer below, also on the first level (constant index below it)
    h, n = [0.0, 150.0, 1000.0], [1.00035, 1.00035 - 150 * 3e-7, 1.00035 - 150 * 3e-7]
    for e in (-1e-14, -0.2):
        down = trace(s, [e], h, n, 150.0, R)[0]
        np.testing.assert_allclose(down, reference(e, s, h, n, 150.0, True), rtol=0, atol=5e-3)
        assert down[1:, 0].max() < 150.0
    below = s[s <= 40_000.0]  # the ray stays below the profile until about 45 km
    np.testing.assert_allclose(
        trace(below, [-0.2], h, n, 0.0, R), straight(np.array([-0.2]), below, 0.0), atol=1e-6
    )


def test_threads_do_not_change_results():
    elev = np.linspace(-1.0, 5.0, 37)
    elev[5] = np.nan
    rng = np.linspace(0.0, 60_000.0, 97)
    runs = [trace(rng, elev, DUCT_H, DUCT_N, 120.0, R, 250.0, t) for t in (1, 2, 3, 8, 0, -1)]
    for out in runs[1:]:
        np.testing.assert_array_equal(out, runs[0])
    np.testing.assert_array_equal(
        trace(rng, elev[7:8], DUCT_H, DUCT_N, 120.0, R, 250.0, 8)[0], runs[0][7]
    )
