// Per-step floor of the ray tracer on one thread: four sine-cosine calls and two binary searches
// of the profile at the ray's height per step. Chained, each angle waits for the previous call's
// result as the stages of a Runge-Kutta step do; otherwise the four angles are independent (the
// throughput bound, which one ray cannot reach). Built by bench.py with the modules' flags:
//   c++ -std=c++20 -O3 -ffp-contract=off -shared -fPIC trace_floor.cpp -o trace_floor.so
#include <math.h>

#include <algorithm>
#include <cstdint>

extern "C" double trace_floor(const double* h, std::int64_t n_levels, const double* elev,
                              const std::int64_t* steps, std::int64_t n_rays, double ds, int chained) {
    double acc = 0.0;
    for (std::int64_t i = 0; i < n_rays; ++i) {
        double th = elev[i] * 0.017453292519943295, z = 50.0;
        for (std::int64_t t = 0; t < steps[i]; ++t) {
            double s1, c1, s2, c2, s3, c3, s4, c4;
            sincos(th, &s1, &c1);
            const std::int64_t k1 = std::upper_bound(h, h + n_levels, z) - h;
            const std::int64_t k2 = std::upper_bound(h, h + n_levels, z + 1e-3 * c1) - h;  // not merged
            if (chained) {
                sincos(th + 1e-9 * c1, &s2, &c2);
                sincos(th + 1e-9 * c2, &s3, &c3);
                sincos(th + 1e-9 * c3, &s4, &c4);
                th += 1e-12 * (c4 - s4);
            } else {
                sincos(th + 1e-9, &s2, &c2);
                sincos(th + 2e-9, &s3, &c3);
                sincos(th + 3e-9, &s4, &c4);
                th += 1e-12 * c1;
                acc += ((s2 + c2) + (s3 + c3)) + (s4 + c4);
            }
            z += ds * s1;
            acc += static_cast<double>(k1 + k2);
        }
        acc += th + z;
    }
    return acc;
}
