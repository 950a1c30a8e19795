/* Built and timed by bench.py beside vad (the same flags as the modules).
   The sine-cosine calls of the VAD fit alone, on the valid samples of each row: sincos(az) in
   each of its three passes, sincos(2 az) in the second and third. */
#define _GNU_SOURCE
#include <float.h>
#include <math.h>

double floor_loop(const double* vr, const double* az, long n_rows, long m) {
    double acc = 0, s, c;
    for (long i = 0; i < n_rows; ++i) {
        const double* v = vr + i * m;
        const double* a = az + i * m;
        for (int pass = 0; pass < 3; ++pass) {
            for (long j = 0; j < m; ++j) {
                if (!(fabs(v[j]) <= DBL_MAX && fabs(a[j]) <= DBL_MAX)) continue;
                sincos(a[j], &s, &c);
                acc += s + c;
                if (pass > 0) {
                    sincos(2 * a[j], &s, &c);
                    acc += s + c;
                }
            }
        }
    }
    return acc;
}
