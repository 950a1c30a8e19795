/* The scalar floor of thermo: the same formulas and operation order in a plain loop on one
 * thread, through the same math library. Built by bench.py with -O3 -ffp-contract=off. */
#include <math.h>

void thermo_floor(const double* t, const double* p, const double* td, double* out, long n) {
    for (long i = 0; i < n; ++i) {
        const double T = t[i], P = p[i], D = td[i];
        const double dp = isnan(D) ? D : (D < T ? D : T);
        const double q = 100000.0 / P;
        const double theta = T * pow(q, 0.28542059262205427);
        const double x = dp - 273.15;
        const double e = 611.2 * exp((17.67 * x) / (x + 243.5));
        const double r = (0.6219569156569429 * e) / (P - e);
        const double L = log(T / dp);
        const double r_g = 1000.0 * r;
        const double t_l = 1 / (L / 800.0 + 1 / (dp - 56.0)) + 56.0;
        const double theta_e = (T * pow(q, 0.2854 * (1 - 0.00028 * r_g))) *
                               exp(((3.376 / t_l - 0.00254) * r_g) * (r_g * 0.00081 + 1));
        const double theta_v = ((1 + r / 0.6219569156569429) * theta) / (r + 1);
        out[i] = r;
        out[n + i] = theta;
        out[2 * n + i] = theta_v;
        out[3 * n + i] = theta_e;
    }
}
