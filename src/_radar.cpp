// Radar sweep kernels: VAD fits of every range gate of a sweep in its (azimuth, range) layout.
#include "frame/frame.hpp"

#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using frame::f64_array;
using frame::finite;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Gates fitted together: their samples of one ray lie side by side, so each pass streams the
// sweep ray by ray and keeps the gates' sums in the frame.
constexpr std::int64_t gate_block = 64;

// The fits of `vad` for every gate (column) of an (azimuth, range) sweep. A gate's sums run
// over the rays in ray order with the same operations as `vad`'s row kernel, so the results
// equal `vad` on the transposed sweep bit for bit; the rays' sines and cosines are taken once
// per call instead of once per sample.
f64_array vad_sweep_py(const f64_array& vr, const f64_array& az, const f64_array& cos_el,
                       std::int64_t min_gates, double min_spread, int n_threads) {
    if (vr.ndim() != 2) throw std::invalid_argument("vr must be 2-D");
    const std::int64_t n_rays = vr.shape(0), n_gates = vr.shape(1);
    if (frame::count(az) != n_rays) throw std::invalid_argument("az needs one angle per ray");
    if (frame::count(cos_el) != n_gates) throw std::invalid_argument("cos_el needs one value per gate");

    f64_array result({std::int64_t{8}, n_gates});
    if (result.size() == 0) return result;
    const double* ap = az.data();
    // Per ray: sine and cosine of the azimuth and of its double; rays without a finite
    // azimuth are left out of the list altogether.
    std::vector<std::int64_t> rays;
    std::vector<double> ts, tc, ts2, tc2;
    rays.reserve(static_cast<std::size_t>(n_rays));
    for (std::int64_t j = 0; j < n_rays; ++j) {
        if (!finite(ap[j])) continue;
        double s, c, s2, c2;
        frame::sin_cos(ap[j], &s, &c);
        frame::sin_cos(2 * ap[j], &s2, &c2);
        rays.push_back(j);
        ts.push_back(s);
        tc.push_back(c);
        ts2.push_back(s2);
        tc2.push_back(c2);
    }
    const std::int64_t n_ok = static_cast<std::int64_t>(rays.size());
    const std::int64_t* ray = rays.data();
    const double *sp = ts.data(), *cp_ = tc.data(), *s2p = ts2.data(), *c2p = tc2.data();
    const double* vp = vr.data();
    const double* ce = cos_el.data();
    double* out = result.mutable_data();
    const double gates = static_cast<double>(min_gates);
    const std::int64_t n_blocks = (n_gates + gate_block - 1) / gate_block;

    const auto block = [&](std::int64_t b) {
        const std::int64_t g0 = b * gate_block;
        const std::int64_t G = std::min(gate_block, n_gates - g0);
        double* res[8];
        for (int k = 0; k < 8; ++k) {
            res[k] = out + k * n_gates + g0;
            for (std::int64_t g = 0; g < G; ++g) res[k][g] = nan;
        }
        // A missing sample adds an exact zero: the sums start at +0 and never become -0, so
        // adding zero leaves them as skipping would, and the loops stay free of branches.
        double S_s[gate_block] = {}, S_c[gate_block] = {}, S_v[gate_block] = {}, n[gate_block] = {};
        for (std::int64_t k = 0; k < n_ok; ++k) {
            const double* x = vp + ray[k] * n_gates + g0;
            const double s = sp[k], c = cp_[k];
            for (std::int64_t g = 0; g < G; ++g) {
                const bool ok = finite(x[g]);
                S_s[g] += ok ? s : 0.0;
                S_c[g] += ok ? c : 0.0;
                S_v[g] += ok ? x[g] : 0.0;
                n[g] += ok ? 1.0 : 0.0;
            }
        }
        bool any = false;
        double v_bar[gate_block], s_bar[gate_block], c_bar[gate_block];
        for (std::int64_t g = 0; g < G; ++g) {
            res[4][g] = n[g];
            any = any || (n[g] >= gates && n[g] >= 3);
            v_bar[g] = S_v[g] / n[g];
            s_bar[g] = S_s[g] / n[g];
            c_bar[g] = S_c[g] / n[g];
        }
        if (!any) return;

        double S_ss[gate_block] = {}, S_cc[gate_block] = {}, S_sc[gate_block] = {};
        double S_sv[gate_block] = {}, S_cv[gate_block] = {}, S_s2[gate_block] = {}, S_c2[gate_block] = {};
        for (std::int64_t k = 0; k < n_ok; ++k) {
            const double* x = vp + ray[k] * n_gates + g0;
            const double s = sp[k], c = cp_[k], s2 = s2p[k], c2 = c2p[k];
            for (std::int64_t g = 0; g < G; ++g) {
                const bool ok = finite(x[g]);
                const double ds = s - s_bar[g], dc = c - c_bar[g], dv = x[g] - v_bar[g];
                S_ss[g] += ok ? ds * ds : 0.0;
                S_cc[g] += ok ? dc * dc : 0.0;
                S_sc[g] += ok ? ds * dc : 0.0;
                S_sv[g] += ok ? ds * dv : 0.0;
                S_cv[g] += ok ? dc * dv : 0.0;
                S_s2[g] += ok ? s2 : 0.0;
                S_c2[g] += ok ? c2 : 0.0;
            }
        }
        bool fit[gate_block];
        double b_s[gate_block], b_c[gate_block], a0[gate_block], s2_bar[gate_block], c2_bar[gate_block];
        any = false;
        for (std::int64_t g = 0; g < G; ++g) {
            const double D2 = S_ss[g] * S_cc[g] - S_sc[g] * S_sc[g];
            fit[g] = n[g] >= gates && n[g] >= 3 && D2 / (n[g] * n[g]) >= min_spread;
            any = any || fit[g];
            b_s[g] = (S_cc[g] * S_sv[g] - S_sc[g] * S_cv[g]) / D2;
            b_c[g] = (S_ss[g] * S_cv[g] - S_sc[g] * S_sv[g]) / D2;
            a0[g] = (v_bar[g] - s_bar[g] * b_s[g]) - c_bar[g] * b_c[g];
            s2_bar[g] = S_s2[g] / n[g];
            c2_bar[g] = S_c2[g] / n[g];
        }
        if (!any) return;

        // Residuals and the normal equations of the second-harmonic fit (upper triangle).
        double rss[gate_block] = {}, M[10][gate_block] = {}, rhs[4][gate_block] = {};
        for (std::int64_t k = 0; k < n_ok; ++k) {
            const double* x = vp + ray[k] * n_gates + g0;
            const double s = sp[k], c = cp_[k], s2 = s2p[k], c2 = c2p[k];
            for (std::int64_t g = 0; g < G; ++g) {
                const bool ok = finite(x[g]);
                const double r = ((x[g] - a0[g]) - b_s[g] * s) - b_c[g] * c;
                rss[g] += ok ? r * r : 0.0;
                const double d[4] = {s - s_bar[g], c - c_bar[g], s2 - s2_bar[g], c2 - c2_bar[g]};
                const double dv = x[g] - v_bar[g];
                int e = 0;
                for (int p = 0; p < 4; ++p) {
                    for (int q = p; q < 4; ++q, ++e) M[e][g] += ok ? d[p] * d[q] : 0.0;
                    rhs[p][g] += ok ? d[p] * dv : 0.0;
                }
            }
        }

        for (std::int64_t g = 0; g < G; ++g) {
            if (!fit[g]) continue;
            res[0][g] = b_s[g] / ce[g0 + g];
            res[1][g] = b_c[g] / ce[g0 + g];
            res[2][g] = a0[g];
            res[3][g] = std::sqrt(rss[g] / n[g]);
            double A[4][4], y[4];
            int e = 0;
            for (int p = 0; p < 4; ++p) {
                for (int q = p; q < 4; ++q, ++e) A[p][q] = A[q][p] = M[e][g];
                y[p] = rhs[p][g];
            }
            // Gaussian elimination with partial pivoting; a tie keeps the upper row.
            double D4 = 1;
            bool singular = false;
            for (int k = 0; k < 3 && !singular; ++k) {
                int piv = k;
                double best = std::fabs(A[k][k]);
                for (int r = k + 1; r < 4; ++r) {
                    if (std::fabs(A[r][k]) > best) {
                        best = std::fabs(A[r][k]);
                        piv = r;
                    }
                }
                if (A[piv][k] == 0) {
                    singular = true;
                    break;
                }
                if (piv != k) {
                    for (int q = 0; q < 4; ++q) std::swap(A[k][q], A[piv][q]);
                    std::swap(y[k], y[piv]);
                    D4 = -D4;
                }
                D4 = D4 * A[k][k];
                for (int r = k + 1; r < 4; ++r) {
                    const double f = A[r][k] / A[k][k];
                    for (int q = k; q < 4; ++q) A[r][q] -= f * A[k][q];
                    y[r] -= f * y[k];
                }
            }
            if (singular || A[3][3] == 0) continue;
            D4 = D4 * A[3][3];
            const double x3 = y[3] / A[3][3];
            const double x2 = (y[2] - A[2][3] * x3) / A[2][2];
            const double x1 = ((y[1] - A[1][2] * x2) - A[1][3] * x3) / A[1][1];
            const double x0 = (((y[0] - A[0][1] * x1) - A[0][2] * x2) - A[0][3] * x3) / A[0][0];
            const double nn = n[g];
            if (!(D4 != 0 && D4 / (((nn * nn) * nn) * nn) >= 0.25 * min_spread)) continue;
            res[5][g] = (((v_bar[g] - s_bar[g] * x0) - c_bar[g] * x1) - s2_bar[g] * x2) - c2_bar[g] * x3;
            res[6][g] = x2;
            res[7][g] = x3;
        }
    };

    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_blocks, 1, n_threads, block);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels in the (azimuth, range) layout (multithreaded).";
    m.def("vad_sweep", &vad_sweep_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"),
          py::arg("min_gates"), py::arg("min_spread"), py::arg("n_threads") = 0);
}
