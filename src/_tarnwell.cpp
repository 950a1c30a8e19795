// Cold-pool, wind-profile and baroclinity kernels.
#include "frame/frame.hpp"

#include <limits>
#include <stdexcept>

namespace {

namespace py = pybind11;
using frame::f64_array;
using frame::finite;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// max(x, 0) that lets NaN through.
inline double at_least_zero(double x) { return x < 0 ? 0.0 : x; }

f64_array cold_pool_py(const f64_array& z, const f64_array& b, const f64_array& bottom,
                       double threshold, const f64_array& top, int n_threads) {
    if (b.ndim() != 2 || z.ndim() != 2) throw std::invalid_argument("z and b must be 2-D");
    if (z.shape(0) != b.shape(0) || z.shape(1) != b.shape(1))
        throw std::invalid_argument("shape mismatch");
    const std::int64_t n_cols = b.shape(0), n_levels = b.shape(1);
    if (frame::count(bottom) != n_cols || frame::count(top) != n_cols)
        throw std::invalid_argument("shape mismatch");

    f64_array result({std::int64_t{3}, n_cols});
    const double* zp = z.data();
    const double* bp = b.data();
    const double* bottom_p = bottom.data();
    const double* top_p = top.data();
    double* out = result.mutable_data();

    const auto column = [&](std::int64_t c) {
        double* intensity = out + c;
        double* depth = out + n_cols + c;
        double* open_top = out + 2 * n_cols + c;
        *intensity = *depth = *open_top = nan;
        const std::int64_t n = n_levels;
        if (n < 1) return;
        const double* zc = zp + c * n;
        const double* bc = bp + c * n;
        const double lo = bottom_p[c];
        const double t = top_p[c];

        std::int64_t s = 0;
        const bool from_bottom = finite(lo);
        while (s < n && !(finite(zc[s]) && finite(bc[s]) && (!from_bottom || zc[s] >= lo))) ++s;
        if (s == n) return;

        const double z0 = zc[s], b0 = bc[s];
        double z_p = z0, b_p = b0, S = 0.0;
        if (finite(t)) {
            const double z_top = t + z0;
            for (std::int64_t k = s + 1; k < n; ++k) {
                const double z_k = zc[k], b_k = bc[k];
                if (!(finite(z_k) && finite(b_k))) continue;
                if (z_k >= z_top) {
                    const double b_top = ((b_k - b_p) * (z_top - z_p)) / (z_k - z_p) + b_p;
                    S = S + ((-b_p - b_top) * 0.5) * (z_top - z_p);
                    *intensity = std::sqrt(at_least_zero(S + S));
                    *depth = t;
                    *open_top = 0.0;
                    return;
                }
                S += ((-b_p - b_k) * 0.5) * (z_k - z_p);
                z_p = z_k;
                b_p = b_k;
            }
            return;  // the data end below the layer top
        }

        const double beta = threshold;
        if (b0 >= beta) {
            *intensity = *depth = *open_top = 0.0;
            return;
        }
        for (std::int64_t k = s + 1; k < n; ++k) {
            const double z_k = zc[k], b_k = bc[k];
            if (!(finite(z_k) && finite(b_k))) continue;
            if (b_k >= beta) {
                const double z_x = ((beta - b_p) * (z_k - z_p)) / (b_k - b_p) + z_p;
                S = S + ((-b_p - beta) * 0.5) * (z_x - z_p);
                *intensity = std::sqrt(at_least_zero(S + S));
                *depth = z_x - z0;
                *open_top = 0.0;
                return;
            }
            S += ((-b_p - b_k) * 0.5) * (z_k - z_p);
            z_p = z_k;
            b_p = b_k;
        }
        *intensity = std::sqrt(at_least_zero(S + S));
        *depth = z_p - z0;
        *open_top = 1.0;
    };

    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_cols, 64, n_threads, column);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_tarnwell, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("cold_pool", &cold_pool_py, py::arg("z"), py::arg("b"), py::arg("bottom"),
          py::arg("threshold"), py::arg("top"), py::arg("n_threads") = 0);
}
