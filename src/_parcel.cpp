// Convective parcels: CAPE, CIN and the condensation, free-convection and equilibrium levels.
#include "frame/frame.hpp"

#include <limits>
#include <stdexcept>

namespace {

namespace py = pybind11;
using frame::f64_array;
using frame::finite;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The constants of thermo, and Rd = kappa * 1005.7 J kg-1 K-1.
constexpr double kappa = 0.28542059262205427;
constexpr double eps = 0.6219569156569429;
constexpr double rd = 287.04749;

// Newton's method on the pseudo-adiabat: converged once a step is at most newton_tolerance
// (K), or once quadratic convergence (error after step s about s^3 / s_prev^2) puts the
// remaining error below newton_estimate; NaN after newton_steps.
constexpr double newton_tolerance = 1e-10;
constexpr double newton_estimate = 1e-12;
constexpr int newton_steps = 50;

constexpr std::int64_t n_out = 9;

// Mixing ratio, potential temperature and Bolton's theta-e at one level, with thermo's
// formulas in thermo's order of operations (D already capped at T).
struct air {
    double r, theta, theta_e, t_l;
};

inline air thermo_at(double T, double P, double D) {
    const double q = 100000.0 / P;
    const double theta = T * std::pow(q, kappa);
    const double x = D - 273.15;
    const double e = 611.2 * std::exp((17.67 * x) / (x + 243.5));
    const double r = (eps * e) / (P - e);
    const double L = std::log(T / D);
    const double r_g = 1000.0 * r;
    const double t_l = 1 / (L / 800.0 + 1 / (D - 56.0)) + 56.0;
    const double theta_e = (T * std::pow(q, 0.2854 * (1 - 0.00028 * r_g))) *
                           std::exp(((3.376 / t_l - 0.00254) * r_g) * (r_g * 0.00081 + 1));
    return {r, theta, theta_e, t_l};
}

// thermo's mixing ratio alone.
inline double mixing_ratio(double P, double D) {
    const double x = D - 273.15;
    const double e = 611.2 * std::exp((17.67 * x) / (x + 243.5));
    return (eps * e) / (P - e);
}

// Capped at the temperature; a NaN dew point stays NaN (a plain min would drop it).
inline double capped(double D, double T) { return std::isnan(D) ? D : (D < T ? D : T); }

inline double virtual_temperature(double T, double r) { return (T * (1 + r / eps)) / (1 + r); }

// Temperature of saturated air at P whose theta-e is exp(ln_theta_e); its mixing ratio in *r.
// Newton's method on ln theta-e (at saturation T_L = T and L = 0) from `guess`; NaN when
// it did not converge within newton_steps.
inline double pseudo_adiabat(double guess, double P, double lnq, double ln_theta_e, double* r) {
    double T = guess, last = nan;
    for (int it = 0; it < newton_steps; ++it) {
        const double x = T - 273.15;
        const double a = x + 243.5;
        const double e = 611.2 * std::exp((17.67 * x) / a);
        const double pe = P - e;
        const double r_s = (eps * e) / pe;
        const double r_g = 1000.0 * r_s;
        const double m = 3.376 / T - 0.00254;
        const double w = r_g * 0.00081 + 1;
        const double f = (std::log(T) + (0.2854 * (1 - 0.00028 * r_g)) * lnq + (m * r_g) * w) - ln_theta_e;
        // The derivative only steers the steps (the root is f's): one division, reusing m.
        const double inv_t = (m + 0.00254) * (1 / 3.376);
        const double dr_g = (r_g * P) * ((17.67 * 243.5) / ((a * a) * pe));
        const double df = ((inv_t - ((0.2854 * 0.00028) * dr_g) * lnq) - ((m + 0.00254) * inv_t * r_g) * w) +
                          m * (dr_g * w + (r_g * 0.00081) * dr_g);
        const double step = f / df;
        T = T - step;
        const double size = std::fabs(step);
        if (size <= newton_tolerance ||
            (size < 1e-3 && ((size * size) * size) / (last * last) <= newton_estimate)) {
            *r = r_s - (dr_g * 0.001) * step;  // carried over the last step to first order
            return T;
        }
        last = step;
    }
    *r = nan;
    return nan;
}

f64_array parcel_py(const f64_array& p, const f64_array& t, const f64_array& td, const f64_array& z, int kind,
                    double depth, bool use_virtual, int n_threads) {
    if (t.ndim() != 2) throw std::invalid_argument("t must be 2-D");
    const std::int64_t n_cols = t.shape(0), n_levels = t.shape(1);
    const std::int64_t full = n_cols * n_levels;
    // p, td and z: one profile per column, or one shared by all (z: none at all, empty).
    const auto stride = [&](const f64_array& a, bool optional) -> std::int64_t {
        const std::int64_t m = static_cast<std::int64_t>(a.size());
        if (m == full) return n_levels;
        if (m == n_levels) return 0;
        if (optional && m == 0) return -1;
        throw std::invalid_argument("shape mismatch");
    };
    const std::int64_t sp = stride(p, false), sd = stride(td, false), sz = stride(z, true);
    if (kind < 0 || kind > 2) throw std::invalid_argument("kind must be 0, 1 or 2");
    if (!(depth > 0)) throw std::invalid_argument("depth must be positive");

    f64_array result({n_out, n_cols});
    const double* pp = p.data();
    const double* tp = t.data();
    const double* dp = td.data();
    const double* zp = z.data();
    double* out = result.mutable_data();

    const auto column = [&](std::int64_t c) {
        double* res = out + c;  // quantity q at res[q * n_cols]
        for (std::int64_t q = 0; q < n_out; ++q) res[q * n_cols] = nan;
        const std::int64_t n = n_levels;
        const double* pc = pp + c * sp;
        const double* tc = tp + c * n;
        const double* dc = dp + c * sd;
        const double* zc = sz < 0 ? nullptr : zp + c * sz;
        const auto valid = [&](std::int64_t k) { return finite(pc[k]) && finite(tc[k]) && finite(dc[k]); };

        // Valid levels must rise: positive pressures, strictly decreasing.
        std::int64_t s = -1;
        double p_prev = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            if (!valid(k)) continue;
            if (!(pc[k] > 0) || (s >= 0 && !(pc[k] < p_prev))) return;
            if (s < 0) s = k;
            p_prev = pc[k];
        }
        if (s < 0) return;
        const double p_s = pc[s];

        // The parcel: its level k0 (the integration's start), pressure, temperature, dew point.
        std::int64_t k0 = s;
        double P0 = p_s, T0 = tc[s], D0 = capped(dc[s], tc[s]);
        if (kind == 2) {  // most unstable: largest theta-e within the lowest `depth`
            const double p_top = p_s - depth;
            double best = -1.0;
            for (std::int64_t k = s; k < n; ++k) {
                if (!valid(k)) continue;
                if (pc[k] < p_top) break;
                const double th_e = thermo_at(tc[k], pc[k], capped(dc[k], tc[k])).theta_e;
                if (th_e > best) {
                    best = th_e;
                    k0 = k;
                }
            }
            P0 = pc[k0];
            T0 = tc[k0];
            D0 = capped(dc[k0], tc[k0]);
        } else if (kind == 1) {  // mixed layer: pressure-weighted means of theta and r
            const double p_top = p_s - depth;
            const air a0 = thermo_at(T0, P0, D0);
            double p_a = p_s, th_a = a0.theta, r_a = a0.r;
            double s_th = 0.0, s_r = 0.0;
            bool closed = false;
            for (std::int64_t k = s + 1; k < n && !closed; ++k) {
                if (!valid(k)) continue;
                const air ak = thermo_at(tc[k], pc[k], capped(dc[k], tc[k]));
                double p_b = pc[k], th_b = ak.theta, r_b = ak.r;
                if (p_b <= p_top) {
                    if (p_b < p_top) {  // the layer's top, linear in ln p between the levels
                        const double w = std::log(p_top / p_a) / std::log(p_b / p_a);
                        th_b = (th_b - th_a) * w + th_a;
                        r_b = (r_b - r_a) * w + r_a;
                        p_b = p_top;
                    }
                    closed = true;
                }
                s_th = ((th_a + th_b) * 0.5) * (p_a - p_b) + s_th;
                s_r = ((r_a + r_b) * 0.5) * (p_a - p_b) + s_r;
                p_a = p_b;
                th_a = th_b;
                r_a = r_b;
            }
            if (!closed) return;  // the layer is deeper than the column
            const double theta_ml = s_th / (p_s - p_top), r_ml = s_r / (p_s - p_top);
            T0 = theta_ml / std::pow(100000.0 / P0, kappa);
            // Dew point of r_ml at P0: thermo's vapour-pressure formula inverted.
            const double e = (r_ml * P0) / (eps + r_ml);
            const double y = std::log(e / 611.2);
            D0 = capped((243.5 * y) / (17.67 - y) + 273.15, T0);
        }
        if (!(finite(T0) && finite(D0))) return;

        const air a0 = thermo_at(T0, P0, D0);
        const double ln_theta_e = std::log(a0.theta_e);
        const double t_lcl = a0.t_l;
        double p_lcl = P0 * std::pow(t_lcl / T0, 1.0 / kappa);  // along the dry adiabat
        if (!(finite(ln_theta_e) && finite(p_lcl) && t_lcl > 0)) return;
        if (p_lcl > P0) p_lcl = P0;  // T_L a rounding above T0 (saturated parcel)
        const double lnq_lcl = std::log(100000.0 / p_lcl);
        const double r0 = a0.r;

        // Walk the nodes (levels from k0, the LCL, the zero crossings of B) upward, the
        // trapezoidal rule in ln p on each piece. phase 0: below the LFC, summing CIN;
        // phase 1: above it, summing CAPE up to the top of the last buoyant piece.
        int phase = 0;
        double cin = 0.0, cape = 0.0, cape_el = 0.0;
        double lfc_p = nan, lfc_lnq = nan, el_p = nan, el_lnq = nan;
        double a_lnq = 0, a_B = 0, a_p = 0;
        bool a_above = false;
        const auto piece = [&](double b_lnq, double b_B, double b_p) {
            const double area = ((a_B + b_B) * 0.5) * (b_lnq - a_lnq);
            const bool buoyant = a_B > 0 || b_B > 0;
            if (phase == 0) {
                if (a_above && buoyant) {
                    phase = 1;
                    lfc_p = a_p;
                    lfc_lnq = a_lnq;
                } else if (!buoyant) {
                    cin = cin + area;
                }
            }
            if (phase == 1) {
                cape = cape + area;
                if (buoyant) {
                    cape_el = cape;
                    el_p = b_p;
                    el_lnq = b_lnq;
                }
            }
        };
        // The segment from the last node to (b_lnq, b_B, b_p), split where B changes sign.
        const auto segment = [&](double b_lnq, double b_B, double b_p, bool b_above) {
            if ((a_B < 0 && b_B > 0) || (a_B > 0 && b_B < 0)) {
                const double x = ((0 - a_B) * (b_lnq - a_lnq)) / (b_B - a_B) + a_lnq;
                const double x_p = 100000.0 / std::exp(x);
                piece(x, 0.0, x_p);
                a_lnq = x;
                a_B = 0.0;
                a_p = x_p;
            }
            piece(b_lnq, b_B, b_p);
            a_lnq = b_lnq;
            a_B = b_B;
            a_p = b_p;
            a_above = b_above;
        };

        // Newton's start: the parcel temperature one level below, carried along the slope
        // dT/d(ln p) of the last step (the LCL the first point).
        double T_last = t_lcl, lnq_last = lnq_lcl, slope = 0.0;
        bool first = true;
        for (std::int64_t k = k0; k < n; ++k) {
            if (!valid(k)) continue;
            const double P = pc[k], Te = tc[k];
            const double lnq = std::log(100000.0 / P);
            double Tp, rp;
            if (first) {
                Tp = T0;
                rp = r0;
            } else if (P > p_lcl) {
                Tp = T0 * std::pow(P / P0, kappa);
                rp = r0;
            } else {
                Tp = pseudo_adiabat(slope * (lnq - lnq_last) + T_last, P, lnq, ln_theta_e, &rp);
                slope = (Tp - T_last) / (lnq - lnq_last);
                T_last = Tp;
                lnq_last = lnq;
            }
            double B = Tp - Te;
            if (use_virtual)
                B = virtual_temperature(Tp, rp) - virtual_temperature(Te, mixing_ratio(P, capped(dc[k], Te)));
            if (std::isnan(B)) return;  // absurd data (vapour pressure above p, a failed root)
            const bool above = P <= p_lcl;
            if (first) {
                first = false;
            } else {
                if (a_p > p_lcl && p_lcl > P) {  // the LCL between two levels: B linear in ln p
                    const double B_lcl = ((B - a_B) * (lnq_lcl - a_lnq)) / (lnq - a_lnq) + a_B;
                    segment(lnq_lcl, B_lcl, p_lcl, true);
                }
                segment(lnq, B, P, above);
            }
            a_lnq = lnq;
            a_B = B;
            a_p = P;
            a_above = above;
        }

        res[2 * n_cols] = p_lcl;
        res[3 * n_cols] = t_lcl;
        if (phase == 1) {
            res[0] = rd * cape_el;
            res[n_cols] = rd * cin;
            res[4 * n_cols] = lfc_p;
            if (!(a_B > 0)) res[5 * n_cols] = el_p;  // else still buoyant at the top level
        } else {
            res[0] = 0.0;
            res[n_cols] = 0.0;
        }
        if (zc == nullptr) return;

        // Heights, linear in ln p between the valid levels that have one.
        const double targets[3] = {p_lcl, res[4 * n_cols], res[5 * n_cols]};
        const double target_lnq[3] = {lnq_lcl, lfc_lnq, el_lnq};
        std::int64_t b = -1;
        for (std::int64_t k = s; k < n; ++k) {
            if (!(valid(k) && finite(zc[k]))) continue;
            if (b >= 0) {
                for (int j = 0; j < 3; ++j) {
                    const double x = targets[j];
                    if (!(pc[b] >= x && x >= pc[k])) continue;
                    double h;
                    if (x == pc[b]) {
                        h = zc[b];
                    } else if (x == pc[k]) {
                        h = zc[k];
                    } else {
                        const double lnq_b = std::log(100000.0 / pc[b]);
                        const double lnq_k = std::log(100000.0 / pc[k]);
                        const double w = (target_lnq[j] - lnq_b) / (lnq_k - lnq_b);
                        h = (zc[k] - zc[b]) * w + zc[b];
                    }
                    res[(6 + j) * n_cols] = h;
                }
            } else {
                for (int j = 0; j < 3; ++j)
                    if (targets[j] == pc[k]) res[(6 + j) * n_cols] = zc[k];
            }
            b = k;
        }
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_cols, 64, n_threads, column);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_parcel, m) {
    m.doc() = "Convective parcels: CAPE, CIN, LCL, LFC and EL of columns (multithreaded).";
    m.def("parcel", &parcel_py, py::arg("p"), py::arg("t"), py::arg("td"), py::arg("z"), py::arg("kind"),
          py::arg("depth"), py::arg("virtual"), py::arg("n_threads") = 0);
}
