// Random measurement errors and ensemble statistics.
#include "frame/frame.hpp"

#include <limits>
#include <stdexcept>

namespace {

namespace py = pybind11;

// --- Philox4x64-10 random stream --------------------------------------------------------------------

using u64 = std::uint64_t;
using u128 = unsigned __int128;

constexpr u64 philox_m0 = 0xD2E7470EE14C6C93u, philox_m1 = 0xCA5A826395121157u;
constexpr u64 philox_w0 = 0x9E3779B97F4A7C15u, philox_w1 = 0xBB67AE8584CAA73Bu;

inline u64 hi(u128 x) { return static_cast<u64>(x >> 64); }
inline u64 lo(u128 x) { return static_cast<u64>(x); }

// Everything of one block function evaluation that does not depend on the position word c0
// (c3 is always 0). Round 0's product M1·c2 and state word 0, and round 1's product of M0 with
// that word, are the same for every position; so are the round keys.
struct stream {
    u64 k1;            // round 0: state word 2 is hi(M0·c0) ^ k1
    u64 s1_a0;         // round 1: lo(M1·c2) ^ its key word 0, both folded into state word 0
    u64 p1_hi_a1;      // round 1: hi(M0·s0) ^ its key word 1, both folded into state word 2
    u64 p1_lo;         // round 1: lo(M0·s0), state word 3
    u64 a0[8], a1[8];  // keys of rounds 2 … 9
};

stream make_stream(u64 k0, u64 k1, u64 c1, u64 c2) {
    stream s;
    s.k1 = k1;
    const u128 q = static_cast<u128>(philox_m1) * c2;
    const u64 s0 = hi(q) ^ c1 ^ k0;
    const u128 p1 = static_cast<u128>(philox_m0) * s0;
    u64 a0 = k0 + philox_w0, a1 = k1 + philox_w1;
    s.s1_a0 = lo(q) ^ a0;
    s.p1_hi_a1 = hi(p1) ^ a1;
    s.p1_lo = lo(p1);
    for (int r = 0; r < 8; ++r) {
        a0 += philox_w0;
        a1 += philox_w1;
        s.a0[r] = a0;
        s.a1[r] = a1;
    }
    return s;
}

// The block function for the position whose product M0·c0 is (p_hi, p_lo); writes x0 … x3.
inline void philox(const stream& s, u64 p_hi, u64 p_lo, u64* x) {
    // rounds 0 and 1, with their position-free parts taken from s
    const u128 q = static_cast<u128>(philox_m1) * (p_hi ^ s.k1);
    u64 x0 = hi(q) ^ s.s1_a0, x1 = lo(q), x2 = s.p1_hi_a1 ^ p_lo, x3 = s.p1_lo;
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) {
        const u128 p = static_cast<u128>(philox_m0) * x0;
        const u128 q2 = static_cast<u128>(philox_m1) * x2;
        x0 = hi(q2) ^ x1 ^ s.a0[r];
        x1 = lo(q2);
        x2 = hi(p) ^ x3 ^ s.a1[r];
        x3 = lo(p);
    }
    x[0] = x0;
    x[1] = x1;
    x[2] = x2;
    x[3] = x3;
}

// Uniform on (0, 1] and on [0, 1) from the upper 53 bits of a word.
inline double open_unit(u64 w) { return static_cast<double>((w >> 11) + 1) * 1.1102230246251565e-16; }
inline double unit(u64 w) { return static_cast<double>(w >> 11) * 1.1102230246251565e-16; }

// Box–Muller radius and angle.
inline double radius(u64 w) { return std::sqrt(std::log(open_unit(w)) * -2.0); }
inline double angle(u64 w) { return unit(w) * 6.283185307179586; }

// Ensemble of noisy copies of the polarimetric fields: (members, selected fields, gates).
frame::f64_array perturb_py(const frame::f64_array& dbz, const frame::f64_array& zdr,
                            const frame::f64_array& phidp, const frame::f64_array& rhohv,
                            const frame::f64_array& vel, int flags, const frame::f64_array& fac,
                            const frame::f64_array& bias_dbz, const frame::f64_array& bias_zdr, u64 k0,
                            u64 k1, std::int64_t m0, int n_threads) {
    if (fac.ndim() != 2 || fac.shape(0) != 6) throw std::invalid_argument("fac must be (6, n)");
    const std::int64_t n = fac.shape(1);
    const std::int64_t m = bias_dbz.size();
    if (bias_zdr.size() != m) throw std::invalid_argument("bias arrays differ in length");
    const frame::f64_array* fields[5] = {&dbz, &zdr, &phidp, &rhohv, &vel};
    std::int64_t k = 0;
    for (int f = 0; f < 5; ++f) {
        if (!(flags & (1 << f))) continue;
        if (fields[f]->size() != n) throw std::invalid_argument("a field differs in size from fac");
        ++k;
    }

    frame::f64_array result({m, k, n});
    double* out = result.mutable_data();
    const double* field_p[5] = {dbz.data(), zdr.data(), phidp.data(), rhohv.data(), vel.data()};
    const double* fac_p = fac.data();
    const double* bias_dbz_p = bias_dbz.data();
    const double* bias_zdr_p = bias_zdr.data();

    const auto gates = [&](std::int64_t b, std::int64_t e) {
        constexpr double c = 4.342944819032518;  // 10 log10(e): natural-log error to dB
        const bool use_dbz = flags & 1, use_zdr = flags & 2, use_phidp = flags & 4, use_rhohv = flags & 8,
                   use_vel = flags & 16;
        const bool first_pair = use_dbz || use_zdr, second_pair = use_phidp || use_rhohv;
        const double *f0 = fac_p, *f1 = fac_p + n, *f2 = fac_p + 2 * n, *f3 = fac_p + 3 * n,
                     *f4 = fac_p + 4 * n, *f5 = fac_p + 5 * n;
        const double *dbz_g = field_p[0], *zdr_g = field_p[1], *phidp_g = field_p[2], *rhohv_g = field_p[3],
                     *vel_g = field_p[4];
        for (std::int64_t i = 0; i < m; ++i) {
            // Member numbers wrap modulo 2**64.
            const u64 c1 = static_cast<u64>(m0) + static_cast<u64>(i);
            const stream sa = make_stream(k0, k1, c1, 0);
            const stream sb = make_stream(k0, k1, c1, 1);
            double* slot = out + i * k * n;
            double* dbz_o = use_dbz ? slot : nullptr;
            slot += use_dbz ? n : 0;
            double* zdr_o = use_zdr ? slot : nullptr;
            slot += use_zdr ? n : 0;
            double* phidp_o = use_phidp ? slot : nullptr;
            slot += use_phidp ? n : 0;
            double* rhohv_o = use_rhohv ? slot : nullptr;
            slot += use_rhohv ? n : 0;
            double* vel_o = slot;
            const double bd = use_dbz ? bias_dbz_p[i] : 0.0, bz = use_zdr ? bias_zdr_p[i] : 0.0;
            for (std::int64_t g = b; g < e; ++g) {
                const u128 p = static_cast<u128>(philox_m0) * static_cast<u64>(g + 1);
                u64 xa[4];
                philox(sa, hi(p), lo(p), xa);
                if (first_pair) {
                    const double rho1 = radius(xa[0]);
                    double sin1, cos1;
                    frame::sin_cos(angle(xa[1]), &sin1, &cos1);
                    const double z0 = rho1 * cos1, z1 = rho1 * sin1;
                    const double y = z0 * f0[g];
                    if (use_dbz) dbz_o[g] = (bd + dbz_g[g]) + c * y;
                    if (use_zdr) zdr_o[g] = c * (y - (z1 * f2[g] + f1[g] * z0)) + (bz + zdr_g[g]);
                }
                if (second_pair) {
                    const double rho2 = radius(xa[2]), theta2 = angle(xa[3]);
                    double sin2 = 0.0, cos2 = 0.0;
                    if (use_phidp && use_rhohv)
                        frame::sin_cos(theta2, &sin2, &cos2);
                    else if (use_phidp)
                        cos2 = std::cos(theta2);
                    else
                        sin2 = std::sin(theta2);
                    if (use_phidp) phidp_o[g] = ((cos2 * rho2) * f3[g]) + phidp_g[g];
                    if (use_rhohv) {
                        const double x = ((sin2 * rho2) * f4[g]) + rhohv_g[g];
                        // two comparisons: NaN stays NaN and -0.0 stays -0.0
                        rhohv_o[g] = x < 0 ? 0.0 : (x > 1 ? 1.0 : x);
                    }
                }
                if (use_vel) {
                    u64 xb[4];
                    philox(sb, hi(p), lo(p), xb);
                    const double z4 = radius(xb[0]) * std::cos(angle(xb[1]));
                    vel_o[g] = (z4 * f5[g]) + vel_g[g];
                }
            }
        }
    };

    if (result.size() == 0) return result;  // nothing to compute, however many items
    {
        py::gil_scoped_release release;
        frame::parallel_blocks(n, n_threads, gates);
    }
    return result;
}

// Batcher's odd-even merge sort on n wires: exchange(a, b), a < b, must leave the smaller of
// the two values on a. Exchanges with wires beyond n (as if padded with +inf) are left out.
template <class Exchange>
void merge_network(std::int64_t n, const Exchange& exchange) {
    std::int64_t size = 1;
    while (size < n) size *= 2;
    for (std::int64_t p = 1; p < size; p *= 2)
        for (std::int64_t k = p; k >= 1; k /= 2)
            for (std::int64_t j = k % p; j + k < n; j += 2 * k)
                for (std::int64_t i = 0; i < k && i + j + k < n; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) exchange(i + j, i + j + k);
}

// Mean, sample standard deviation and percentiles over the finite members of every point.
py::tuple statistics_py(const frame::f32_array& values, const frame::f64_array& percentiles,
                        std::int64_t min_valid, int n_threads) {
    if (values.ndim() != 2) throw std::invalid_argument("values must be (members, n)");
    const std::int64_t members = values.shape(0), n = values.shape(1);
    const std::int64_t n_levels = percentiles.size();
    const double* q = percentiles.data();
    // A level outside [0, 100] (or NaN) would index outside the sorted members.
    for (std::int64_t p = 0; p < n_levels; ++p)
        if (!(q[p] >= 0.0 && q[p] <= 100.0))
            throw std::invalid_argument("percentiles must be in the range [0, 100]");

    frame::f64_array mean(n), spread(n), levels({n_levels, n});
    const float* vp = values.data();
    double* mean_p = mean.mutable_data();
    double* spread_p = spread.mutable_data();
    double* levels_p = levels.mutable_data();

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Point j from its count c of valid members, their mean m and sum of squared deviations
    // ss, and sorted(r), the valid member of rank r.
    const auto write = [&](std::int64_t j, std::int64_t c, double m, double ss, const auto& sorted) {
        if (c == 0 || c < min_valid) {
            mean_p[j] = spread_p[j] = nan;
            for (std::int64_t p = 0; p < n_levels; ++p) levels_p[p * n + j] = nan;
            return;
        }
        mean_p[j] = m;
        spread_p[j] = c == 1 ? nan : std::sqrt(ss / static_cast<double>(c - 1));
        for (std::int64_t p = 0; p < n_levels; ++p) {
            const double w = (q[p] / 100.0) * static_cast<double>(c - 1);
            const std::int64_t i = static_cast<std::int64_t>(std::floor(w));
            const double lo = sorted(i), hi = sorted(std::min(i + 1, c - 1));
            levels_p[p * n + j] = (hi - lo) * (w - static_cast<double>(i)) + lo;
        }
    };

    // Up to 256 members: the block is held member by member (a missing member as +inf, which
    // sorts last) and sorted for all its points at once by a merge network whose exchanges run
    // along the points. Adding 0.0 for a missing member leaves a sum that starts at +0.0
    // unchanged, so the sums equal those over the gathered members.
    const auto block_points = [&](std::int64_t begin, std::int64_t end) {
        const std::int64_t w = end - begin;
        std::vector<float> x(static_cast<std::size_t>(members * w));
        std::int64_t c[256];
        double m[256], ss[256];
        for (std::int64_t l = 0; l < w; ++l) {
            c[l] = 0;
            m[l] = ss[l] = 0.0;
        }
        for (std::int64_t k = 0; k < members; ++k) {
            const float* row = vp + k * n + begin;
            float* xk = x.data() + k * w;
            for (std::int64_t l = 0; l < w; ++l) {
                const float v = row[l];
                const bool ok = frame::finite(v);
                xk[l] = ok ? v : inf;
                c[l] += ok;
                m[l] += ok ? static_cast<double>(v) : 0.0;
            }
        }
        for (std::int64_t l = 0; l < w; ++l) m[l] = m[l] / static_cast<double>(c[l]);
        for (std::int64_t k = 0; k < members; ++k) {
            const float* xk = x.data() + k * w;
            for (std::int64_t l = 0; l < w; ++l) {
                const double d = static_cast<double>(xk[l]) - m[l];
                ss[l] += xk[l] < inf ? d * d : 0.0;
            }
        }
        merge_network(members, [&](std::int64_t a, std::int64_t b) {
            float* xa = x.data() + a * w;
            float* xb = x.data() + b * w;
            for (std::int64_t l = 0; l < w; ++l) {
                const float lo = xa[l], hi = xb[l];
                xa[l] = hi < lo ? hi : lo;
                xb[l] = hi < lo ? lo : hi;
            }
        });
        for (std::int64_t l = 0; l < w; ++l)
            write(begin + l, c[l], m[l], ss[l],
                  [&](std::int64_t r) { return static_cast<double>(x[r * w + l]); });
    };

    // Larger ensembles: one point at a time, members gathered in order and sorted in place.
    const auto single_points = [&](std::int64_t begin, std::int64_t end) {
        std::vector<double> x(static_cast<std::size_t>(members));
        double* xs = x.data();
        for (std::int64_t j = begin; j < end; ++j) {
            std::int64_t c = 0;
            for (std::int64_t k = 0; k < members; ++k) {
                const double v = vp[k * n + j];
                xs[c] = v;  // kept only when finite: branch-free gather
                c += frame::finite(v);
            }
            double sum = 0.0, ss = 0.0;
            for (std::int64_t i = 0; i < c; ++i) sum += xs[i];
            const double m = sum / static_cast<double>(c);
            for (std::int64_t i = 0; i < c; ++i) ss += (xs[i] - m) * (xs[i] - m);
            if (c > 0 && c >= min_valid) std::sort(xs, xs + c);
            write(j, c, m, ss, [&](std::int64_t r) { return xs[r]; });
        }
    };

    if (n == 0) return py::make_tuple(mean, spread, levels);
    {
        py::gil_scoped_release release;
        if (members <= 256)
            frame::parallel_blocks(n, n_threads, block_points);
        else
            frame::parallel_blocks(n, n_threads, single_points);
    }
    return py::make_tuple(mean, spread, levels);
}

// Most frequent class code among the members of every point, and the share of counted members.
py::tuple mode_py(const frame::f32_array& values, std::int64_t n_codes, std::int64_t min_valid,
                  int n_threads) {
    if (values.ndim() != 2) throw std::invalid_argument("values must be (members, n)");
    if (n_codes <= 0) throw std::invalid_argument("n_codes must be positive");
    // Beyond 2**24 float32 skips integers, and the per-block table would become huge.
    if (n_codes > 16777216) throw std::invalid_argument("n_codes must not exceed 16777216");
    const std::int64_t members = values.shape(0), n = values.shape(1);

    frame::f64_array best_code(n), fraction(n);
    const float* vp = values.data();
    double* code_p = best_code.mutable_data();
    double* fraction_p = fraction.mutable_data();
    // Exact in float32. Truncation toward zero lands in 0 .. n_codes - 1 exactly when
    // -1 < x < n_codes, which NaN and the infinities fail; comparing first keeps huge values
    // away from the integer conversion.
    const float top = static_cast<float>(n_codes);
    const auto counted = [top](float x) { return x > -1.0f && x < top; };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto write = [&](std::int64_t j, std::int64_t t, std::int64_t best, std::int64_t count) {
        if (t == 0 || t < min_valid) {
            code_p[j] = fraction_p[j] = nan;
            return;
        }
        code_p[j] = static_cast<double>(best);
        fraction_p[j] = static_cast<double>(count) / static_cast<double>(t);
    };

    // Up to 256 codes: the counters of all the block's points side by side, one row per code
    // and a last row for the members not counted, so that counting needs no branch.
    const auto block_points = [&](std::int64_t begin, std::int64_t end) {
        const std::int64_t w = end - begin;
        std::vector<std::int32_t> counts(static_cast<std::size_t>((n_codes + 1) * w));
        std::int32_t* cp = counts.data();
        std::int32_t t[256], best[256], most[256];
        for (std::int64_t l = 0; l < w; ++l) t[l] = 0;
        for (std::int64_t k = 0; k < members; ++k) {
            const float* row = vp + k * n + begin;
            for (std::int64_t l = 0; l < w; ++l) {
                const bool ok = counted(row[l]);
                ++cp[(ok ? static_cast<std::int64_t>(row[l]) : n_codes) * w + l];
                t[l] += ok;
            }
        }
        for (std::int64_t l = 0; l < w; ++l) {
            best[l] = 0;
            most[l] = cp[l];
        }
        for (std::int32_t c = 1; c < n_codes; ++c) {
            const std::int32_t* row = cp + c * w;
            for (std::int64_t l = 0; l < w; ++l) {
                const bool more = row[l] > most[l];  // ties keep the smaller code
                most[l] = more ? row[l] : most[l];
                best[l] = more ? c : best[l];
            }
        }
        for (std::int64_t l = 0; l < w; ++l) write(begin + l, t[l], best[l], most[l]);
    };

    // More codes: one table of counters, cleared for every point.
    const auto single_points = [&](std::int64_t begin, std::int64_t end) {
        std::vector<std::int64_t> counts(static_cast<std::size_t>(n_codes));
        std::int64_t* cp = counts.data();
        for (std::int64_t j = begin; j < end; ++j) {
            std::fill(cp, cp + n_codes, std::int64_t{0});
            std::int64_t t = 0;
            for (std::int64_t k = 0; k < members; ++k) {
                const float x = vp[k * n + j];
                if (counted(x)) {
                    ++cp[static_cast<std::int64_t>(x)];
                    ++t;
                }
            }
            std::int64_t best = 0;
            for (std::int64_t c = 1; c < n_codes; ++c)
                if (cp[c] > cp[best]) best = c;  // ties keep the smaller code
            write(j, t, best, cp[best]);
        }
    };

    if (n == 0) return py::make_tuple(best_code, fraction);
    {
        py::gil_scoped_release release;
        // 32-bit counters in the side-by-side table: every member count must fit.
        if (n_codes <= 256 && members <= std::numeric_limits<std::int32_t>::max())
            frame::parallel_blocks(n, n_threads, block_points);
        else
            frame::parallel_blocks(n, n_threads, single_points);
    }
    return py::make_tuple(best_code, fraction);
}

// Raw words of the stream: row j is the block for counter (j + 1, member, block, 0).
frame::u64_array words_py(u64 k0, u64 k1, std::int64_t member, std::int64_t block, std::int64_t n) {
    frame::u64_array result({n, std::int64_t{4}});
    u64* out = result.mutable_data();
    const stream s = make_stream(k0, k1, static_cast<u64>(member), static_cast<u64>(block));
    // M0·(j + 1), kept as a 128-bit sum that grows by M0 from row to row
    u64 p_hi = 0, p_lo = philox_m0;
    for (std::int64_t j = 0; j < n; ++j) {
        philox(s, p_hi, p_lo, out + 4 * j);
        p_lo += philox_m0;
        p_hi += p_lo < philox_m0;
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
    m.def("perturb", &perturb_py, py::arg("dbz"), py::arg("zdr"), py::arg("phidp"), py::arg("rhohv"),
          py::arg("vel"), py::arg("flags"), py::arg("fac"), py::arg("bias_dbz"), py::arg("bias_zdr"),
          py::arg("k0"), py::arg("k1"), py::arg("m0"), py::arg("n_threads") = 0);
    m.def("statistics", &statistics_py, py::arg("values"), py::arg("percentiles"), py::arg("min_valid"),
          py::arg("n_threads") = 0);
    m.def("mode", &mode_py, py::arg("values"), py::arg("n_codes"), py::arg("min_valid"),
          py::arg("n_threads") = 0);
    m.def("words", &words_py, py::arg("k0"), py::arg("k1"), py::arg("member"), py::arg("block"),
          py::arg("n"));
}
