// Cold-pool, wind-profile and baroclinity kernels.
#include "frame/frame.hpp"

#include <bit>
#include <limits>
#include <stdexcept>

namespace {

namespace py = pybind11;
using frame::f64_array;
using frame::finite;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// max(x, 0) that lets NaN through.
inline double at_least_zero(double x) { return x < 0 ? 0.0 : x; }

f64_array thermo_py(const f64_array& t, const f64_array& p, const f64_array& td, int n_threads) {
    const std::int64_t n = t.size();
    if (p.size() != n || td.size() != n) throw std::invalid_argument("size mismatch");

    f64_array result({std::int64_t{4}, n});
    const double* tp = t.data();
    const double* pp = p.data();
    const double* tdp = td.data();
    double* out = result.mutable_data();

    const auto element = [&](std::int64_t i) {
        const double T = tp[i], P = pp[i], D = tdp[i];
        // Capped at the temperature; a NaN dew point stays NaN (a plain min would drop it).
        const double dp = std::isnan(D) ? D : (D < T ? D : T);
        const double q = 100000.0 / P;  // shared by both powers
        const double theta = T * std::pow(q, 0.28542059262205427);
        const double x = dp - 273.15;
        const double e = 611.2 * std::exp((17.67 * x) / (x + 243.5));
        const double r = (0.6219569156569429 * e) / (P - e);
        const double L = std::log(T / dp);
        const double r_g = 1000.0 * r;
        const double t_l = 1 / (L / 800.0 + 1 / (dp - 56.0)) + 56.0;
        // 0.2854 is Bolton's own exponent, not a rounding of the 0.28542059262205427 (Rd/cp) of θ.
        const double theta_e = (T * std::pow(q, 0.2854 * (1 - 0.00028 * r_g))) *
                               std::exp(((3.376 / t_l - 0.00254) * r_g) * (r_g * 0.00081 + 1));
        const double theta_v = ((1 + r / 0.6219569156569429) * theta) / (r + 1);
        out[i] = r;
        out[n + i] = theta;
        out[2 * n + i] = theta_v;
        out[3 * n + i] = theta_e;
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n, 4096, n_threads, element);
    }
    return result;
}

f64_array cold_pool_py(const f64_array& z, const f64_array& b, const f64_array& bottom, double threshold,
                       const f64_array& top, int n_threads) {
    if (b.ndim() != 2 || z.ndim() != 2) throw std::invalid_argument("z and b must be 2-D");
    if (z.shape(0) != b.shape(0) || z.shape(1) != b.shape(1)) throw std::invalid_argument("shape mismatch");
    const std::int64_t n_cols = b.shape(0), n_levels = b.shape(1);
    if (bottom.size() != n_cols || top.size() != n_cols) throw std::invalid_argument("shape mismatch");

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
        const auto write = [&](double S, double d, double flag) {
            *intensity = std::sqrt(at_least_zero(S + S));
            *depth = d;
            *open_top = flag;
        };
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
                    write(S, t, 0.0);
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
                write(S, z_x - z0, 0.0);
                return;
            }
            S += ((-b_p - b_k) * 0.5) * (z_k - z_p);
            z_p = z_k;
            b_p = b_k;
        }
        write(S, z_p - z0, 1.0);
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_cols, 64, n_threads, column);
    }
    return result;
}

f64_array profile_py(const f64_array& z, const f64_array& u, const f64_array& v, const f64_array& ground,
                     double bottom, double top, const f64_array& cu, const f64_array& cv, int n_threads) {
    if (u.ndim() != 2) throw std::invalid_argument("u must be 2-D");
    const std::int64_t n_cols = u.shape(0), n_levels = u.shape(1);
    if (z.size() != n_cols * n_levels || v.size() != n_cols * n_levels || ground.size() != n_cols ||
        cu.size() != n_cols || cv.size() != n_cols)
        throw std::invalid_argument("shape mismatch");

    f64_array result({std::int64_t{7}, n_cols});
    const double* zp = z.data();
    const double* up = u.data();
    const double* vp = v.data();
    const double* ground_p = ground.data();
    const double* cu_p = cu.data();
    const double* cv_p = cv.data();
    double* out = result.mutable_data();

    const auto column = [&](std::int64_t c) {
        double* res = out + c;  // quantity q at res[q * n_cols]
        for (std::int64_t q = 0; q < 7; ++q) res[q * n_cols] = nan;
        const std::int64_t n = n_levels;
        if (n < 1) return;
        const double* zc = zp + c * n;
        const double* uc = up + c * n;
        const double* vc = vp + c * n;
        const auto valid = [&](std::int64_t k) { return finite(zc[k]) && finite(uc[k]) && finite(vc[k]); };

        // Wind at height h, walking the valid levels from k with a the last valid level passed
        // (-1 for none); below(k) sees every valid level passed below h. A bound outside the data
        // is taken from the nearest level only within 1e-6; a NaN or infinite h always fails.
        // On return every valid level before k is below h.
        const auto wind_at = [&](double h, std::int64_t& k, std::int64_t& a, double& U, double& V,
                                 const auto& below) {
            for (; k < n; ++k) {
                if (!valid(k)) continue;
                const double z_k = zc[k];
                if (z_k == h) {
                    U = uc[k];
                    V = vc[k];
                    return true;
                }
                if (z_k > h) {
                    if (a < 0) {
                        if (!(z_k - h <= 1e-6)) return false;
                        U = uc[k];
                        V = vc[k];
                        return true;
                    }
                    const double w = (h - zc[a]) / (z_k - zc[a]);
                    U = (uc[k] - uc[a]) * w + uc[a];
                    V = (vc[k] - vc[a]) * w + vc[a];
                    return true;
                }
                below(k);
                a = k;  // below h, or h is NaN
            }
            if (a < 0 || !(h - zc[a] <= 1e-6)) return false;
            U = uc[a];
            V = vc[a];
            return true;
        };

        double g = ground_p[c];
        if (!finite(g)) {
            std::int64_t k = 0;
            while (k < n && !valid(k)) ++k;
            if (k == n) return;
            g = zc[k];
        }
        const double z_bot = bottom + g, z_top = top + g;

        double u_b, v_b, u_t, v_t;
        std::int64_t k_b = 0, a_b = -1;
        if (!wind_at(z_bot, k_b, a_b, u_b, v_b, [](std::int64_t) {})) return;

        // The layer walk rides on the top search: the levels that search passes below the top
        // are, once above the bottom, the layer's interior in index order. The valid levels
        // before k_b lie below z_bot, so when the top is not lower the search resumes there.
        const double c_u = cu_p[c], c_v = cv_p[c];
        double z_p = z_bot, u_p = u_b, v_p = v_b;
        double i_u = 0.0, i_v = 0.0, H = 0.0;
        const auto layer = [&](std::int64_t k) {
            const double z_k = zc[k], u_k = uc[k], v_k = vc[k];
            if (z_k <= z_bot) return;
            const double dz = z_k - z_p;
            i_u = ((u_p + u_k) * 0.5) * dz + i_u;
            i_v = ((v_p + v_k) * 0.5) * dz + i_v;
            H = ((v_p - c_v) * (u_k - c_u) - (u_p - c_u) * (v_k - c_v)) + H;
            z_p = z_k;
            u_p = u_k;
            v_p = v_k;
        };
        std::int64_t k_t = 0, a_t = -1;
        if (z_top >= z_bot) {
            k_t = k_b;
            a_t = a_b;
        }
        if (!wind_at(z_top, k_t, a_t, u_t, v_t, layer)) return;
        res[0] = u_b;
        res[n_cols] = v_b;
        res[2 * n_cols] = u_t;
        res[3 * n_cols] = v_t;

        // The last segment, from the last level inside the layer to its top, closes both sums.
        if (finite(c_u) && finite(c_v))
            res[4 * n_cols] = ((u_t - c_u) * (v_p - c_v) - (v_t - c_v) * (u_p - c_u)) + H;
        if (z_top > z_bot) {
            res[5 * n_cols] = (((u_p + u_t) * 0.5) * (z_top - z_p) + i_u) / (z_top - z_bot);
            res[6 * n_cols] = (((v_p + v_t) * 0.5) * (z_top - z_p) + i_v) / (z_top - z_bot);
        } else {
            res[5 * n_cols] = u_b;
            res[6 * n_cols] = v_b;
        }
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_cols, 64, n_threads, column);
    }
    return result;
}

f64_array gradient_py(const f64_array& f, const f64_array& x, const f64_array& y, int n_threads) {
    if (f.ndim() != 3) throw std::invalid_argument("f must be 3-D (batch, y, x)");
    const std::int64_t n_batch = f.shape(0), n_y = f.shape(1), n_x = f.shape(2);
    if (x.size() != n_x || y.size() != n_y) throw std::invalid_argument("coordinate size");

    f64_array result({std::int64_t{2}, n_batch, n_y, n_x});
    const std::int64_t field = n_y * n_x;
    const std::int64_t plane = n_batch * field;
    const double* fp = f.data();
    const double* xp = x.data();
    const double* yp = y.data();
    double* out = result.mutable_data();

    // One point on one axis. A neighbour that is missing (or beyond the end) is replaced by
    // the point itself, together with its coordinate, so one division covers the centred and
    // both one-sided differences. Both neighbours missing would give 0/0: say NaN explicitly.
    const auto derivative = [](double v, double l, double r, double c_l, double c, double c_r) {
        const bool l_ok = finite(l), r_ok = finite(r);
        const double hi = r_ok ? r : v, lo = l_ok ? l : v;
        const double c_hi = r_ok ? c_r : c, c_lo = l_ok ? c_l : c;
        const double d = (hi - lo) / (c_hi - c_lo);
        // Selected bitwise so that the division stays unconditional and the row loops vectorize.
        const std::uint64_t keep = -static_cast<std::uint64_t>(finite(v) & (l_ok | r_ok));
        return std::bit_cast<double>((std::bit_cast<std::uint64_t>(d) & keep) |
                                     (std::bit_cast<std::uint64_t>(nan) & ~keep));
    };

    const auto row = [&](std::int64_t r) {
        if (n_x < 1) return;
        const std::int64_t b = r / n_y, j = r % n_y;
        const double* v = fp + b * field + j * n_x;
        double* dx = out + b * field + j * n_x;
        double* dy = dx + plane;

        if (n_x == 1) {
            dx[0] = nan;
        } else {
            dx[0] = derivative(v[0], nan, v[1], xp[0], xp[0], xp[1]);
            for (std::int64_t i = 1; i < n_x - 1; ++i)
                dx[i] = derivative(v[i], v[i - 1], v[i + 1], xp[i - 1], xp[i], xp[i + 1]);
            const std::int64_t e = n_x - 1;
            dx[e] = derivative(v[e], v[e - 1], nan, xp[e - 1], xp[e], xp[e]);
        }

        // Rows beyond either end are missing; the row itself stands in for the pointer.
        const bool has_up = j > 0, has_down = j + 1 < n_y;
        const double* up = has_up ? v - n_x : v;
        const double* down = has_down ? v + n_x : v;
        const double c = yp[j];
        const double c_l = has_up ? yp[j - 1] : c, c_r = has_down ? yp[j + 1] : c;
        if (has_up && has_down) {
            for (std::int64_t i = 0; i < n_x; ++i) dy[i] = derivative(v[i], up[i], down[i], c_l, c, c_r);
        } else if (has_up) {
            for (std::int64_t i = 0; i < n_x; ++i) dy[i] = derivative(v[i], up[i], nan, c_l, c, c_r);
        } else if (has_down) {
            for (std::int64_t i = 0; i < n_x; ++i) dy[i] = derivative(v[i], nan, down[i], c_l, c, c_r);
        } else {
            for (std::int64_t i = 0; i < n_x; ++i) dy[i] = nan;
        }
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_batch * n_y, 8, n_threads, row);
    }
    return result;
}

// Solves M x = rhs (4 x 4) by Gaussian elimination with partial pivoting, a tie keeping the upper
// row; M and rhs are overwritten. False on an exact zero pivot; else det is the determinant.
bool solve_pivoted(double (&M)[4][4], double (&rhs)[4], double (&x)[4], double& det) {
    double D4 = 1;
    for (int k = 0; k < 3; ++k) {
        int piv = k;
        double best = std::fabs(M[k][k]);
        for (int r = k + 1; r < 4; ++r) {
            if (std::fabs(M[r][k]) > best) {
                best = std::fabs(M[r][k]);
                piv = r;
            }
        }
        if (M[piv][k] == 0) return false;
        if (piv != k) {
            for (int q = 0; q < 4; ++q) std::swap(M[k][q], M[piv][q]);
            std::swap(rhs[k], rhs[piv]);
            D4 = -D4;
        }
        D4 = D4 * M[k][k];
        for (int r = k + 1; r < 4; ++r) {
            const double g = M[r][k] / M[k][k];
            for (int q = k; q < 4; ++q) M[r][q] -= g * M[k][q];
            rhs[r] -= g * rhs[k];
        }
    }
    if (M[3][3] == 0) return false;
    det = D4 * M[3][3];
    x[3] = rhs[3] / M[3][3];
    x[2] = (rhs[2] - M[2][3] * x[3]) / M[2][2];
    x[1] = ((rhs[1] - M[1][2] * x[2]) - M[1][3] * x[3]) / M[1][1];
    x[0] = (((rhs[0] - M[0][1] * x[1]) - M[0][2] * x[2]) - M[0][3] * x[3]) / M[0][0];
    return true;
}

f64_array vad_py(const f64_array& vr, const f64_array& az, const f64_array& cos_el, std::int64_t min_gates,
                 double min_spread, int n_threads) {
    if (vr.ndim() != 2 || az.ndim() != 2) throw std::invalid_argument("vr, az must be 2-D");
    if (az.shape(0) != vr.shape(0) || az.shape(1) != vr.shape(1))
        throw std::invalid_argument("shape mismatch");
    const std::int64_t n_rows = vr.shape(0), m = vr.shape(1);
    if (cos_el.size() != n_rows) throw std::invalid_argument("shape mismatch");

    f64_array result({std::int64_t{8}, n_rows});
    const double* vp = vr.data();
    const double* ap = az.data();
    const double* cp = cos_el.data();
    double* out = result.mutable_data();
    const double gates = static_cast<double>(min_gates);

    const auto fit = [&](std::int64_t i) {
        double* res[8];
        for (int k = 0; k < 8; ++k) {
            res[k] = out + k * n_rows + i;
            *res[k] = nan;
        }
        if (m < 1) {
            *res[4] = 0.0;
            return;
        }
        const double* vr_i = vp + i * m;
        const double* az_i = ap + i * m;
        const auto valid = [&](std::int64_t j) { return finite(vr_i[j]) && finite(az_i[j]); };

        // Sines and cosines are recomputed in each pass, nothing per sample is kept; the sums
        // of the double angle ride along with the centred sums, and the normal equations of
        // the second fit with the residuals, each sum still in sample order. The sine-cosine
        // calls are the bulk of the work: five per sample instead of six.
        double S_s = 0, S_c = 0, S_v = 0;
        std::int64_t count = 0;
        for (std::int64_t j = 0; j < m; ++j) {
            if (!valid(j)) continue;
            double s, c;
            frame::sin_cos(az_i[j], &s, &c);
            S_s += s;
            S_c += c;
            S_v += vr_i[j];
            ++count;
        }
        const double n = static_cast<double>(count);
        *res[4] = n;
        if (!(n >= gates && count >= 3)) return;

        const double v_bar = S_v / n, s_bar = S_s / n, c_bar = S_c / n;
        double S_ss = 0, S_cc = 0, S_sc = 0, S_sv = 0, S_cv = 0, S_s2 = 0, S_c2 = 0;
        for (std::int64_t j = 0; j < m; ++j) {
            if (!valid(j)) continue;
            double s, c, s2, c2;
            frame::sin_cos(az_i[j], &s, &c);
            frame::sin_cos(2 * az_i[j], &s2, &c2);
            const double ds = s - s_bar, dc = c - c_bar, dv = vr_i[j] - v_bar;
            S_ss += ds * ds;
            S_cc += dc * dc;
            S_sc += ds * dc;
            S_sv += ds * dv;
            S_cv += dc * dv;
            S_s2 += s2;
            S_c2 += c2;
        }
        const double D2 = S_ss * S_cc - S_sc * S_sc;
        if (!(D2 / (n * n) >= min_spread)) return;

        const double b_s = (S_cc * S_sv - S_sc * S_cv) / D2;
        const double b_c = (S_ss * S_cv - S_sc * S_sv) / D2;
        const double a0 = (v_bar - s_bar * b_s) - c_bar * b_c;
        const double s2_bar = S_s2 / n, c2_bar = S_c2 / n;
        // Normal equations in the centred regressors (sin, cos, sin 2az, cos 2az).
        double rss = 0, M[4][4] = {}, rhs[4] = {};
        for (std::int64_t j = 0; j < m; ++j) {
            if (!valid(j)) continue;
            double s, c, s2, c2;
            frame::sin_cos(az_i[j], &s, &c);
            frame::sin_cos(2 * az_i[j], &s2, &c2);
            const double r = ((vr_i[j] - a0) - b_s * s) - b_c * c;
            rss += r * r;
            const double d[4] = {s - s_bar, c - c_bar, s2 - s2_bar, c2 - c2_bar};
            const double dv = vr_i[j] - v_bar;
            for (int p = 0; p < 4; ++p) {
                for (int q = p; q < 4; ++q) M[p][q] += d[p] * d[q];
                rhs[p] += d[p] * dv;
            }
        }
        *res[0] = b_s / cp[i];
        *res[1] = b_c / cp[i];
        *res[2] = a0;
        *res[3] = std::sqrt(rss / n);
        for (int p = 1; p < 4; ++p)
            for (int q = 0; q < p; ++q) M[p][q] = M[q][p];

        double x[4], D4;
        if (!solve_pivoted(M, rhs, x, D4)) return;
        if (!(D4 != 0 && D4 / (((n * n) * n) * n) >= 0.25 * min_spread)) return;
        *res[5] = (((v_bar - s_bar * x[0]) - c_bar * x[1]) - s2_bar * x[2]) - c2_bar * x[3];
        *res[6] = x[2];
        *res[7] = x[3];
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_rows, 64, n_threads, fit);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_tarnwell, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("thermo", &thermo_py, py::arg("t"), py::arg("p"), py::arg("td"), py::arg("n_threads") = 0);
    m.def("cold_pool", &cold_pool_py, py::arg("z"), py::arg("b"), py::arg("bottom"), py::arg("threshold"),
          py::arg("top"), py::arg("n_threads") = 0);
    m.def("profile", &profile_py, py::arg("z"), py::arg("u"), py::arg("v"), py::arg("ground"),
          py::arg("bottom"), py::arg("top"), py::arg("cu"), py::arg("cv"), py::arg("n_threads") = 0);
    m.def("gradient", &gradient_py, py::arg("f"), py::arg("x"), py::arg("y"), py::arg("n_threads") = 0);
    m.def("vad", &vad_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
}
