/* Built and timed by bench.py beside parcel (the same flags as the modules).
   The parcel kernel's math-library calls alone: per column n_exp exponentials, n_log logarithms
   and n_pow powers, on arguments in the ranges the kernel meets (vapour-pressure exponents,
   temperatures, pressure ratios). As in the kernel's Newton iterations, each exponential and
   each logarithm feeds the next argument of its own kind, the two chains side by side. */
#include <math.h>

double parcel_floor(long n_exp, long n_log, long n_pow, long n_cols) {
    double acc = 0, x = -0.5, y = 250.0, q = 0.7;
    const long n_pair = n_exp < n_log ? n_exp : n_log;
    for (long c = 0; c < n_cols; ++c) {
        for (long i = 0; i < n_pair; ++i) {
            const double e = exp(x);
            const double l = log(y);
            x = -2.0 + 1e-3 * e;
            y = 240.0 + l;
            acc += e + l;
        }
        for (long i = n_pair; i < n_exp; ++i) {
            const double e = exp(x);
            x = -2.0 + 1e-3 * e;
            acc += e;
        }
        for (long i = n_pair; i < n_log; ++i) {
            const double l = log(y);
            y = 240.0 + l;
            acc += l;
        }
        for (long i = 0; i < n_pow; ++i) {
            const double w = pow(q, 0.28542059262205427);
            q = 0.5 + 0.1 * w;
            acc += w;
        }
    }
    return acc;
}
