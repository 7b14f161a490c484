#include "transform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace zelmo::network {

namespace {

double polynomial(const double* c, int n, double x) {
    double s = c[n - 1];
    for (int k = n - 2; k >= 0; --k) s = s * x + c[k];
    return s;
}

}  // namespace

double normal_quantile(double p) {
    // Coefficients of AS 241 (Wichura, Applied Statistics 37, 1988), lowest
    // order first.
    static constexpr double a[8] = {3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3,
                                    1.3731693765509461125e4, 4.5921953931549871457e4, 6.7265770927008700853e4,
                                    3.3430575583588128105e4, 2.5090809287301226727e3};
    static constexpr double b[8] = {1.0, 4.2313330701600911252e1, 6.8718700749205790830e2, 5.3941960214247511077e3,
                                    2.1213794301586595867e4, 3.9307895800092710610e4, 2.8729085735721942674e4,
                                    5.2264952788528545610e3};
    static constexpr double c[8] = {1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
                                    3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
                                    2.27238449892691845833e-2, 7.74545014278341407640e-4};
    static constexpr double d[8] = {1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
                                    1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4,
                                    1.05075007164441684324e-9};
    static constexpr double e[8] = {6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
                                    2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
                                    2.71155556874348757815e-5, 2.01033439929228813265e-7};
    static constexpr double f[8] = {1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
                                    7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7,
                                    2.04426310338993978564e-15};
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q * polynomial(a, 8, r) / polynomial(b, 8, r);
    }
    double r = q < 0.0 ? p : 1.0 - p;
    if (!(r > 0.0)) return q < 0.0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    r = std::sqrt(-std::log(r));
    double value;
    if (r <= 5.0) {
        r -= 1.6;
        value = polynomial(c, 8, r) / polynomial(d, 8, r);
    } else {
        r -= 5.0;
        value = polynomial(e, 8, r) / polynomial(f, 8, r);
    }
    return q < 0.0 ? -value : value;
}

void copula_rows(const double* values, std::size_t rows, std::size_t length, double* out, Pool& pool) {
    pool.run(rows, [&](std::size_t i, unsigned) {
        const double* in = values + i * length;
        double* scores = out + i * length;
        std::vector<std::size_t> order;
        order.reserve(length);
        for (std::size_t t = 0; t < length; ++t) {
            if (std::isfinite(in[t])) {
                order.push_back(t);
            } else {
                scores[t] = std::numeric_limits<double>::quiet_NaN();
            }
        }
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return in[x] < in[y]; });
        const double n = static_cast<double>(order.size());
        for (std::size_t a = 0; a < order.size();) {
            std::size_t b = a + 1;
            while (b < order.size() && in[order[b]] == in[order[a]]) ++b;
            // Ranks a + 1 .. b share their mean (a + 1 + b) / 2.
            const double rank = 0.5 * static_cast<double>(a + 1 + b);
            const double score = normal_quantile(rank / (n + 1.0));
            for (std::size_t k = a; k < b; ++k) scores[order[k]] = score;
            a = b;
        }
        return std::uint64_t{0};
    });
}

}  // namespace zelmo::network
