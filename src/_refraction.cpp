// Ray tracing of radar beams through a refractive-index profile.
#include "frame/frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace {

namespace py = pybind11;
using frame::f64_array;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double deg = 0.017453292519943295;  // pi / 180

// From about this many steps on, the step count no longer fits and the remaining length
// stops shrinking (its rounding exceeds a step), so the segment loop would never end.
constexpr double max_steps = 1099511627776.0;  // 2**40

f64_array trace(const f64_array& rng, const f64_array& elev, const f64_array& h, const f64_array& n,
                double radar_height, double earth_radius, double step, int n_threads) {
    if (rng.ndim() != 1 || elev.ndim() != 1 || h.ndim() != 1 || n.ndim() != 1)
        throw std::invalid_argument("rng, elev, h and n must be one-dimensional");
    if (h.shape(0) != n.shape(0) || h.shape(0) == 0)
        throw std::invalid_argument("the profile needs matching heights and indices");
    if (!(step > 0)) throw std::invalid_argument("step must be positive");
    const std::int64_t n_ranges = rng.shape(0), n_rays = elev.shape(0), n_levels = h.shape(0);
    const double* rp = rng.data();
    for (std::int64_t j = 1; j < n_ranges; ++j)
        if (!(rp[j] >= rp[j - 1])) throw std::invalid_argument("rng must not decrease");
    // Written so that NaN (infinite range and step) is rejected too.
    if (n_ranges > 0 && rp[n_ranges - 1] > 0 && !(rp[n_ranges - 1] / step < max_steps))
        throw std::invalid_argument("too many integration steps");

    f64_array result({n_rays, n_ranges, std::int64_t{3}});
    const double* ep = elev.data();
    const double* hp = h.data();
    const double* n_at = n.data();
    double* out = result.mutable_data();
    const double R = earth_radius;

    const auto ray = [&](std::int64_t i) {
        double* o_ray = out + i * n_ranges * 3;
        if (!frame::finite(ep[i])) {
            std::fill(o_ray, o_ray + n_ranges * 3, nan);
            return;
        }
        double th = ep[i] * deg, r = R + radar_height, phi = 0.0, s = 0.0;

        const auto segment = [&](double d) {
            const double d0 = d / static_cast<double>(static_cast<std::int64_t>(std::ceil(d / step)));
            double o = d;
            do {
                double sn, cs;
                frame::sin_cos(th, &sn, &cs);
                const double z = r - R;
                const std::int64_t k = std::upper_bound(hp, hp + n_levels, z) - hp;

                // Path length to the next level in the direction of travel.
                double f = inf;
                if (std::fabs(sn) < 1e-12) {
                } else if (sn > 0) {
                    if (k < n_levels) f = (hp[k] - z) / sn;
                } else if (k > 0) {
                    if (z > hp[k - 1])
                        f = (hp[k - 1] - z) / sn;
                    else if (k > 1)
                        f = (hp[k - 2] - z) / sn;  // on a level: aim for the one below
                }
                const double w =
                    std::min(d0, std::max(std::max(1e-8 / std::max(1e-300, std::fabs(sn)), 0.001), f));
                const double ds = o <= w ? o : w;

                // A descending ray on a level is in the layer below it.
                std::int64_t m = k - 1;
                if (sn < 0 && k >= 1 && z == hp[k - 1]) m = k - 2;
                double J, K, L;
                if (m < 0) {
                    J = hp[0], K = n_at[0], L = 0.0;
                } else if (m >= n_levels - 1) {
                    J = hp[n_levels - 1], K = n_at[n_levels - 1], L = 0.0;
                } else {
                    J = hp[m], K = n_at[m], L = (n_at[m + 1] - n_at[m]) / (hp[m + 1] - hp[m]);
                }
                const auto q = [&](double rr, double c) {
                    return (L / (K + L * ((rr - R) - J)) + 1.0 / rr) * c;
                };

                const double half = ds / 2;
                const double a1 = sn, b1 = q(r, cs), c1 = cs / r;
                const double r2 = r + half * a1, t2 = th + half * b1;
                double a2, cs2;
                frame::sin_cos(t2, &a2, &cs2);
                const double b2 = q(r2, cs2), c2 = cs2 / r2;
                const double r3 = r + half * a2, t3 = th + half * b2;
                double a3, cs3;
                frame::sin_cos(t3, &a3, &cs3);
                const double b3 = q(r3, cs3), c3 = cs3 / r3;
                const double r4 = r + ds * a3, t4 = th + ds * b3;
                double a4, cs4;
                frame::sin_cos(t4, &a4, &cs4);
                const double b4 = q(r4, cs4), c4 = cs4 / r4;
                const double sixth = ds / 6;
                r += sixth * (a1 + 2 * a2 + 2 * a3 + a4);
                th += sixth * (b1 + 2 * b2 + 2 * b3 + b4);
                phi += sixth * (c1 + 2 * c2 + 2 * c3 + c4);

                if (w >= o) break;
                o = o - ds;
            } while (o > 0);  // a NaN remaining length ends the segment
        };

        for (std::int64_t j = 0; j < n_ranges; ++j) {
            const double d = rp[j] - s;
            if (d > 0) {
                segment(d);
                s = rp[j];
            }
            double* o_j = o_ray + j * 3;
            o_j[0] = r - R;
            o_j[1] = phi * R;
            o_j[2] = th / deg;
        }
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_for(n_rays, n_threads, ray);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_refraction, m) {
    m.doc() = "Ray tracing in a spherically stratified atmosphere";
    m.def("trace", &trace, py::arg("rng"), py::arg("elev"), py::arg("h"), py::arg("n"),
          py::arg("radar_height"), py::arg("earth_radius"), py::arg("step") = 100.0,
          py::arg("n_threads") = 0);
}
