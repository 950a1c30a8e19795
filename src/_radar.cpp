// Radar sweep kernels: VAD fits of every range gate of a sweep in its (azimuth, range) layout.
#include "frame/frame.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using frame::f64_array;
using frame::finite;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// v where ok, else +0, by masking the bits: a select the compiler vectorises (the conditional
// form leaves the loops scalar).
inline double keep(bool ok, double v) {
    const std::uint64_t mask = std::uint64_t{0} - std::uint64_t{ok};
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & mask);
}

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
    if (static_cast<std::int64_t>(az.size()) != n_rays)
        throw std::invalid_argument("az needs one angle per ray");
    if (static_cast<std::int64_t>(cos_el.size()) != n_gates)
        throw std::invalid_argument("cos_el needs one value per gate");

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
                const double v = x[g];
                const bool ok = finite(v);
                S_s[g] += keep(ok, s);
                S_c[g] += keep(ok, c);
                S_v[g] += keep(ok, v);
                n[g] += keep(ok, 1.0);
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
        double S_sv[gate_block] = {}, S_cv[gate_block] = {};
        double S_s2[gate_block] = {}, S_c2[gate_block] = {};
        for (std::int64_t k = 0; k < n_ok; ++k) {
            const double* x = vp + ray[k] * n_gates + g0;
            const double s = sp[k], c = cp_[k], s2 = s2p[k], c2 = c2p[k];
            for (std::int64_t g = 0; g < G; ++g) {
                const bool ok = finite(x[g]);
                const double ds = s - s_bar[g], dc = c - c_bar[g], dv = x[g] - v_bar[g];
                S_ss[g] += keep(ok, ds * ds);
                S_cc[g] += keep(ok, dc * dc);
                S_sc[g] += keep(ok, ds * dc);
                S_sv[g] += keep(ok, ds * dv);
                S_cv[g] += keep(ok, dc * dv);
                S_s2[g] += keep(ok, s2);
                S_c2[g] += keep(ok, c2);
            }
        }
        bool fit[gate_block];
        double b_s[gate_block], b_c[gate_block], a0[gate_block];
        double s2_bar[gate_block], c2_bar[gate_block];
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
                rss[g] += keep(ok, r * r);
                const double d0 = s - s_bar[g], d1 = c - c_bar[g];
                const double d2 = s2 - s2_bar[g], d3 = c2 - c2_bar[g];
                const double dv = x[g] - v_bar[g];
                // Upper triangle row by row, then the right-hand side: written out so that the
                // loop over the gates vectorises.
                M[0][g] += keep(ok, d0 * d0);
                M[1][g] += keep(ok, d0 * d1);
                M[2][g] += keep(ok, d0 * d2);
                M[3][g] += keep(ok, d0 * d3);
                M[4][g] += keep(ok, d1 * d1);
                M[5][g] += keep(ok, d1 * d2);
                M[6][g] += keep(ok, d1 * d3);
                M[7][g] += keep(ok, d2 * d2);
                M[8][g] += keep(ok, d2 * d3);
                M[9][g] += keep(ok, d3 * d3);
                rhs[0][g] += keep(ok, d0 * dv);
                rhs[1][g] += keep(ok, d1 * dv);
                rhs[2][g] += keep(ok, d2 * dv);
                rhs[3][g] += keep(ok, d3 * dv);
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

// Per gate of an (azimuth, range) sweep, the sum and the number of the rays' values `t` over
// the rays whose sample of that gate and whose own t are finite (the rays' mean time of a fit),
// summed in ray order.
f64_array valid_sums_py(const f64_array& vr, const f64_array& t, int n_threads) {
    if (vr.ndim() != 2) throw std::invalid_argument("vr must be 2-D");
    const std::int64_t n_rays = vr.shape(0), n_gates = vr.shape(1);
    if (static_cast<std::int64_t>(t.size()) != n_rays)
        throw std::invalid_argument("t needs one value per ray");
    f64_array result({std::int64_t{2}, n_gates});
    if (result.size() == 0) return result;
    const double* tp = t.data();
    std::vector<std::int64_t> rays;
    for (std::int64_t j = 0; j < n_rays; ++j)
        if (finite(tp[j])) rays.push_back(j);
    const std::int64_t n_ok = static_cast<std::int64_t>(rays.size());
    const double* vp = vr.data();
    double* out = result.mutable_data();
    const std::int64_t n_blocks = (n_gates + gate_block - 1) / gate_block;

    const auto block = [&](std::int64_t b) {
        const std::int64_t g0 = b * gate_block;
        const std::int64_t G = std::min(gate_block, n_gates - g0);
        double S[gate_block] = {}, n[gate_block] = {};
        for (std::int64_t k = 0; k < n_ok; ++k) {
            const double* x = vp + rays[k] * n_gates + g0;
            const double tk = tp[rays[k]];
            for (std::int64_t g = 0; g < G; ++g) {
                const bool ok = finite(x[g]);
                S[g] += keep(ok, tk);
                n[g] += keep(ok, 1.0);
            }
        }
        for (std::int64_t g = 0; g < G; ++g) {
            out[g0 + g] = S[g];
            out[n_gates + g0 + g] = n[g];
        }
    };
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_blocks, 1, n_threads, block);
    }
    return result;
}

// Candidate reference winds of groups of `pool` neighbouring gates of a sweep, folded at the
// Nyquist velocity V: the samples as points exp(i pi v / V) of the circle (where folding leaves
// them unchanged), summed in `n_bins` azimuth bins per group; the score of a radial wind
// a sin(az) + b cos(az) is Re sum_b Z_b exp(-i pi (a sin(az_b) + b cos(az_b)) / V) over the bin
// centres az_b. The best `n_peaks` separate maxima on a grid of spacing `coarse` out to `half`
// (each at least V from the ones before) are refined on a grid of spacing `fine` out to
// `fine_half` around them. Both grids are separable, so their phase factors are tables made
// once per call.
f64_array torus_py(const f64_array& vr, const f64_array& az, double nyquist, std::int64_t pool,
                   std::int64_t n_bins, double half, double coarse, double fine_half, double fine,
                   std::int64_t n_peaks, int n_threads) {
    if (vr.ndim() != 2) throw std::invalid_argument("vr must be 2-D");
    const std::int64_t n_rays = vr.shape(0), n_gates = vr.shape(1);
    if (static_cast<std::int64_t>(az.size()) != n_rays)
        throw std::invalid_argument("az needs one angle per ray");
    if (!(nyquist > 0) || !finite(nyquist)) throw std::invalid_argument("nyquist must be positive");
    if (pool < 1 || n_bins < 1 || n_bins > 4096 || n_peaks < 1 || n_peaks > 64)
        throw std::invalid_argument("pool, n_bins or n_peaks out of range");
    if (!(coarse > 0) || !(fine > 0) || !(half >= 0) || !(fine_half >= 0) || !(half / coarse < 512) ||
        !(fine_half / fine < 64))
        throw std::invalid_argument("bad search grid");
    const std::int64_t n_groups = (n_gates + pool - 1) / pool;
    const std::int64_t width = 1 + 4 * n_peaks;
    f64_array result({n_groups, width});
    if (result.size() == 0) return result;

    constexpr double two_pi = 6.283185307179586;
    const double k = 3.141592653589793 / nyquist;
    const double* ap = az.data();
    std::vector<std::int64_t> ray_bin(static_cast<std::size_t>(n_rays));
    for (std::int64_t j = 0; j < n_rays; ++j) {
        if (!finite(ap[j])) {
            ray_bin[j] = -1;
            continue;
        }
        const double turn = std::fmod(ap[j], two_pi);
        const double a = turn < 0 ? turn + two_pi : turn;
        ray_bin[j] = std::min(n_bins - 1, static_cast<std::int64_t>(a / (two_pi / n_bins)));
    }
    const auto grid = [](double h, double step) {
        const std::int64_t m = static_cast<std::int64_t>(std::ceil(h / step));
        std::vector<double> g;
        for (std::int64_t i = -m; i <= m; ++i) g.push_back(static_cast<double>(i) * step);
        return g;
    };
    const std::vector<double> cg = grid(half, coarse), fg = grid(fine_half, fine);
    const std::int64_t nc = static_cast<std::int64_t>(cg.size());
    const std::int64_t nf = static_cast<std::int64_t>(fg.size());
    std::vector<double> sb(n_bins), cb(n_bins);
    for (std::int64_t b = 0; b < n_bins; ++b)
        frame::sin_cos((static_cast<double>(b) + 0.5) * (two_pi / n_bins), &sb[b], &cb[b]);
    // Phase tables exp(-i k x t_b) over a grid's values x: real and imaginary parts, laid out
    // bin-major ([b][i]) so the innermost loops run along the grid.
    struct phases {
        std::vector<double> re, im;
    };
    const auto table = [&](const std::vector<double>& g, const std::vector<double>& t) {
        const std::size_t n = g.size();
        phases out{std::vector<double>(n * n_bins), std::vector<double>(n * n_bins)};
        for (std::int64_t b = 0; b < n_bins; ++b)
            for (std::size_t i = 0; i < n; ++i) {
                double s, c;
                frame::sin_cos(k * g[i] * t[b], &s, &c);
                out.re[b * n + i] = c;
                out.im[b * n + i] = -s;
            }
        return out;
    };
    const phases TA = table(cg, sb), TB = table(cg, cb), FA = table(fg, sb), FB = table(fg, cb);
    const double* vp = vr.data();
    const std::int64_t* bin = ray_bin.data();
    double* out = result.mutable_data();

    const auto group = [&](std::int64_t q) {
        const std::int64_t g0 = q * pool, g1 = std::min(n_gates, g0 + pool);
        std::vector<double> Z(2 * n_bins, 0.0), score(nc * nc);
        std::vector<std::int64_t> cnt(n_bins, 0);
        for (std::int64_t j = 0; j < n_rays; ++j) {
            if (bin[j] < 0) continue;
            const double* x = vp + j * n_gates;
            for (std::int64_t g = g0; g < g1; ++g) {
                if (!finite(x[g])) continue;
                double s, c;
                frame::sin_cos(k * x[g], &s, &c);
                Z[2 * bin[j]] += c;
                Z[2 * bin[j] + 1] += s;
                ++cnt[bin[j]];
            }
        }
        std::int64_t seen = 0;
        for (std::int64_t b = 0; b < n_bins; ++b) seen += cnt[b] > 0;
        double* o = out + q * width;
        o[0] = static_cast<double>(seen) / static_cast<double>(n_bins);
        if (seen == 0) {  // no echo, no peaks
            for (std::int64_t c = 1; c < width; ++c) o[c] = nan;
            return;
        }
        // sum_b Z_b A_ib B_jb over the grid pairs (i, j) of a table pair: real part into dst,
        // imaginary part into im_dst when asked. Each sum runs over the bins in order.
        const auto scores = [&](const phases& A, const phases& B, std::int64_t n, double* dst,
                                double* im_dst) {
            std::vector<double> re(n), im(n);
            for (std::int64_t i = 0; i < n; ++i) {
                std::fill(re.begin(), re.end(), 0.0);
                std::fill(im.begin(), im.end(), 0.0);
                for (std::int64_t b = 0; b < n_bins; ++b) {
                    const double zr = Z[2 * b], zi = Z[2 * b + 1];
                    const double ar = A.re[b * n + i], ai = A.im[b * n + i];
                    const double yr = zr * ar - zi * ai, yi = zr * ai + zi * ar;
                    const double* br = B.re.data() + b * n;
                    const double* bi = B.im.data() + b * n;
                    for (std::int64_t j = 0; j < n; ++j) {
                        re[j] += yr * br[j] - yi * bi[j];
                        im[j] += yr * bi[j] + yi * br[j];
                    }
                }
                for (std::int64_t j = 0; j < n; ++j) {
                    dst[i * n + j] = re[j];
                    if (im_dst) im_dst[i * n + j] = im[j];
                }
            }
        };
        scores(TA, TB, nc, score.data(), nullptr);
        const std::vector<double> Z0 = Z;
        std::vector<double> fre(nf * nf), fim(nf * nf);
        for (std::int64_t p = 0; p < n_peaks; ++p) {
            std::int64_t top = 0;
            for (std::int64_t c = 1; c < nc * nc; ++c)
                if (score[c] > score[top]) top = c;
            const double a0 = cg[top / nc], b0 = cg[top % nc];
            for (std::int64_t c = 0; c < nc * nc; ++c)
                if (std::hypot(cg[c / nc] - a0, cg[c % nc] - b0) < nyquist)
                    score[c] = -std::numeric_limits<double>::infinity();
            // Shift the sums to the peak, then search the fine grid around it.
            for (std::int64_t b = 0; b < n_bins; ++b) {
                double s, c;
                frame::sin_cos(k * (a0 * sb[b] + b0 * cb[b]), &s, &c);
                const double zr = Z0[2 * b], zi = Z0[2 * b + 1];
                Z[2 * b] = zr * c + zi * s;
                Z[2 * b + 1] = zi * c - zr * s;
            }
            scores(FA, FB, nf, fre.data(), fim.data());
            std::int64_t best = 0;
            for (std::int64_t c = 1; c < nf * nf; ++c)
                if (fre[c] > fre[best]) best = c;
            o[1 + 4 * p] = a0 + fg[best / nf];
            o[2 + 4 * p] = b0 + fg[best % nf];
            o[3 + 4 * p] = fre[best];
            o[4 + 4 * p] = fim[best];
            Z = Z0;
        }
    };

    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_groups, 1, n_threads, group);
    }
    return result;
}

// Each sample moved by the multiple of 2 V that brings it nearest its gate's reference radial
// velocity a sin(az) + b cos(az) + c (reference rows a, b, c per gate); a sample left farther
// than reach * V from the reference even so, or of a gate without a reference, stays as it is.
f64_array unfold_py(const f64_array& vr, const f64_array& az, double nyquist, const f64_array& reference,
                    double reach, int n_threads) {
    if (vr.ndim() != 2) throw std::invalid_argument("vr must be 2-D");
    const std::int64_t n_rays = vr.shape(0), n_gates = vr.shape(1);
    if (static_cast<std::int64_t>(az.size()) != n_rays)
        throw std::invalid_argument("az needs one angle per ray");
    if (reference.ndim() != 2 || reference.shape(0) != 3 || reference.shape(1) != n_gates)
        throw std::invalid_argument("reference must be (3, n_gates)");
    if (!(nyquist > 0) || !finite(nyquist)) throw std::invalid_argument("nyquist must be positive");
    f64_array result({n_rays, n_gates});
    if (result.size() == 0) return result;
    const double* vp = vr.data();
    const double* ap = az.data();
    const double* ra = reference.data();
    const double* rb = ra + n_gates;
    const double* rc = rb + n_gates;
    double* out = result.mutable_data();
    const double span = 2 * nyquist, limit = reach * nyquist;

    const auto ray = [&](std::int64_t j) {
        const double* x = vp + j * n_gates;
        double* o = out + j * n_gates;
        double s, c;
        frame::sin_cos(ap[j], &s, &c);
        for (std::int64_t g = 0; g < n_gates; ++g) {
            const double ref = (ra[g] * s + rb[g] * c) + rc[g];
            const double moved = x[g] + span * std::nearbyint((ref - x[g]) / span);
            o[g] = std::fabs(moved - ref) <= limit ? moved : x[g];
        }
    };
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n_rays, 16, n_threads, ray);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels in the (azimuth, range) layout (multithreaded).";
    m.def("vad_sweep", &vad_sweep_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
    m.def("valid_sums", &valid_sums_py, py::arg("vr"), py::arg("t"), py::arg("n_threads") = 0);
    m.def("torus", &torus_py, py::arg("vr"), py::arg("az"), py::arg("nyquist"), py::arg("pool"),
          py::arg("n_bins"), py::arg("half"), py::arg("coarse"), py::arg("fine_half"), py::arg("fine"),
          py::arg("n_peaks"), py::arg("n_threads") = 0);
    m.def("unfold", &unfold_py, py::arg("vr"), py::arg("az"), py::arg("nyquist"), py::arg("reference"),
          py::arg("reach"), py::arg("n_threads") = 0);
}
