#include "linalg.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define ZELMO_X86 1
#endif

namespace zelmo::network::gaussian {

namespace {

void dots_advance_scalar(const double* x, const double* const* cols, std::size_t count, std::size_t steps,
                         double* lanes) {
    for (std::size_t c = 0; c < count; ++c) {
        const double* y = cols[c];
        double* s = lanes + 4 * c;
        for (std::size_t t = 0; t < steps; t += 4) {
            for (std::size_t l = 0; l < 4; ++l) s[l] = std::fma(x[t + l], y[t + l], s[l]);
        }
    }
}

// Adds the exact product x * y to the pair (s, c): s the running sum, c the
// carried errors.
inline void add_product(double x, double y, double& s, double& c) {
    const double p = x * y;
    const double e = std::fma(x, y, -p);
    const double t = s + p;
    const double z = t - s;
    c = c + (((s - (t - z)) + (p - z)) + e);
    s = t;
}

// The sum of four pairs, in the order (0 + 1) + (2 + 3), each addition's
// error carried.
inline double combine(const double* s, const double* c, double& carry) {
    auto two_sum = [&](double a, double b) {
        const double t = a + b;
        const double z = t - a;
        carry = carry + ((a - (t - z)) + (b - z));
        return t;
    };
    carry = (c[0] + c[1]) + (c[2] + c[3]);
    return two_sum(two_sum(s[0], s[1]), two_sum(s[2], s[3]));
}

void accurate_dots_scalar(const double* x, const double* const* cols, std::size_t count, std::size_t n, double* out) {
    const std::size_t body = n - n % 4;
    for (std::size_t k = 0; k < count; ++k) {
        const double* y = cols[k];
        double s[4] = {0.0, 0.0, 0.0, 0.0}, c[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t t = 0; t < body; t += 4) {
            for (std::size_t l = 0; l < 4; ++l) add_product(x[t + l], y[t + l], s[l], c[l]);
        }
        double carry = 0.0;
        double sum = combine(s, c, carry);
        for (std::size_t t = body; t < n; ++t) add_product(x[t], y[t], sum, carry);
        out[k] = sum + carry;
    }
}

void advance_scalar(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                    std::size_t from, std::size_t to, Dot2Pair* states) {
    for (std::size_t k = 0; k < count; ++k) {
        const double* y = cols[k];
        Dot2Pair& state = states[k];
        for (std::size_t t = from; t < to; t += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                add_product(x0[t + l], y[t + l], state.sum[l], state.carry[l]);
                add_product(x1[t + l], y[t + l], state.sum[4 + l], state.carry[4 + l]);
            }
        }
    }
}

#if defined(ZELMO_X86)
#define ZELMO_AVX2_FMA __attribute__((target("avx2,fma")))
#define ZELMO_AVX512 __attribute__((target("avx512f")))

// add_product on four lanes: the exact product v * w added to the running
// sums s, its rounding error and that of the addition carried in c.
ZELMO_AVX2_FMA inline void dot2_step(__m256d v, __m256d w, __m256d& s, __m256d& c) {
    const __m256d p = _mm256_mul_pd(v, w);
    const __m256d e = _mm256_fmsub_pd(v, w, p);
    const __m256d u = _mm256_add_pd(s, p);
    const __m256d z = _mm256_sub_pd(u, s);
    const __m256d err = _mm256_add_pd(_mm256_sub_pd(s, _mm256_sub_pd(u, z)), _mm256_sub_pd(p, z));
    c = _mm256_add_pd(c, _mm256_add_pd(err, e));
    s = u;
}

ZELMO_AVX2_FMA void accurate_dots_avx2(const double* x, const double* const* cols, std::size_t count, std::size_t n,
                                       double* out) {
    const std::size_t body = n - n % 4;
    for (std::size_t k = 0; k < count; k += 2) {
        const bool pair = k + 1 < count;
        const double* y0 = cols[k];
        const double* y1 = pair ? cols[k + 1] : cols[k];
        __m256d s0 = _mm256_setzero_pd(), c0 = s0, s1 = s0, c1 = s0;
        for (std::size_t t = 0; t < body; t += 4) {
            const __m256d v = _mm256_loadu_pd(x + t);
            dot2_step(v, _mm256_loadu_pd(y0 + t), s0, c0);
            dot2_step(v, _mm256_loadu_pd(y1 + t), s1, c1);
        }
        auto finish_one = [&](const __m256d& sv, const __m256d& cv, const double* y) ZELMO_AVX2_FMA {
            alignas(32) double s[4], c[4];
            _mm256_store_pd(s, sv);
            _mm256_store_pd(c, cv);
            double carry = 0.0;
            double sum = combine(s, c, carry);
            for (std::size_t t = body; t < n; ++t) add_product(x[t], y[t], sum, carry);
            return sum + carry;
        };
        out[k] = finish_one(s0, c0, y0);
        if (pair) out[k + 1] = finish_one(s1, c1, y1);
    }
}

// The lane arithmetic of accurate_dots_avx2, on x0 and x1 against a column.
ZELMO_AVX2_FMA void advance_avx2(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                                 std::size_t from, std::size_t to, Dot2Pair* states) {
    for (std::size_t k = 0; k < count; ++k) {
        const double* y = cols[k];
        Dot2Pair& state = states[k];
        __m256d s0 = _mm256_loadu_pd(state.sum), s1 = _mm256_loadu_pd(state.sum + 4);
        __m256d c0 = _mm256_loadu_pd(state.carry), c1 = _mm256_loadu_pd(state.carry + 4);
        for (std::size_t t = from; t < to; t += 4) {
            const __m256d w = _mm256_loadu_pd(y + t);
            dot2_step(_mm256_loadu_pd(x0 + t), w, s0, c0);
            dot2_step(_mm256_loadu_pd(x1 + t), w, s1, c1);
        }
        _mm256_storeu_pd(state.sum, s0);
        _mm256_storeu_pd(state.sum + 4, s1);
        _mm256_storeu_pd(state.carry, c0);
        _mm256_storeu_pd(state.carry + 4, c1);
    }
}

// The same lane arithmetic with x0's and x1's lanes side by side in one
// 512-bit register against the column's lanes repeated, two columns at a
// time: every lane does what it does in the 256-bit body.
ZELMO_AVX512 void advance_avx512(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                                 std::size_t from, std::size_t to, Dot2Pair* states) {
    auto step = [](__m512d v, __m512d w, __m512d& s, __m512d& c) ZELMO_AVX512 {
        const __m512d p = _mm512_mul_pd(v, w);
        const __m512d e = _mm512_fmsub_pd(v, w, p);
        const __m512d u = _mm512_add_pd(s, p);
        const __m512d z = _mm512_sub_pd(u, s);
        const __m512d err = _mm512_add_pd(_mm512_sub_pd(s, _mm512_sub_pd(u, z)), _mm512_sub_pd(p, z));
        c = _mm512_add_pd(c, _mm512_add_pd(err, e));
        s = u;
    };
    auto both = [&](std::size_t t) ZELMO_AVX512 {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(x0 + t)), _mm256_loadu_pd(x1 + t), 1);
    };
    std::size_t k = 0;
    for (; k + 2 <= count; k += 2) {
        const double *ya = cols[k], *yb = cols[k + 1];
        Dot2Pair &a = states[k], &b = states[k + 1];
        __m512d sa = _mm512_loadu_pd(a.sum), ca = _mm512_loadu_pd(a.carry);
        __m512d sb = _mm512_loadu_pd(b.sum), cb = _mm512_loadu_pd(b.carry);
        for (std::size_t t = from; t < to; t += 4) {
            const __m512d v = both(t);
            step(v, _mm512_broadcast_f64x4(_mm256_loadu_pd(ya + t)), sa, ca);
            step(v, _mm512_broadcast_f64x4(_mm256_loadu_pd(yb + t)), sb, cb);
        }
        _mm512_storeu_pd(a.sum, sa);
        _mm512_storeu_pd(a.carry, ca);
        _mm512_storeu_pd(b.sum, sb);
        _mm512_storeu_pd(b.carry, cb);
    }
    if (k < count) {
        const double* y = cols[k];
        Dot2Pair& a = states[k];
        __m512d sa = _mm512_loadu_pd(a.sum), ca = _mm512_loadu_pd(a.carry);
        for (std::size_t t = from; t < to; t += 4) step(both(t), _mm512_broadcast_f64x4(_mm256_loadu_pd(y + t)), sa, ca);
        _mm512_storeu_pd(a.sum, sa);
        _mm512_storeu_pd(a.carry, ca);
    }
}

const bool kHasAvx512 = __builtin_cpu_supports("avx512f");

// All `W` columns in one pass, so that W chains of fused adds are in
// flight (four columns alone leave the adder waiting on its latency).
template <std::size_t W>
ZELMO_AVX2_FMA void dots_advance_avx2_all(const double* x, const double* const* cols, std::size_t steps, double* lanes) {
    __m256d a[W];
    const double* y[W];
    for (std::size_t c = 0; c < W; ++c) {
        a[c] = _mm256_loadu_pd(lanes + 4 * c);
        y[c] = cols[c];
    }
    for (std::size_t t = 0; t < steps; t += 4) {
        const __m256d v = _mm256_loadu_pd(x + t);
        for (std::size_t c = 0; c < W; ++c) a[c] = _mm256_fmadd_pd(v, _mm256_loadu_pd(y[c] + t), a[c]);
    }
    for (std::size_t c = 0; c < W; ++c) _mm256_storeu_pd(lanes + 4 * c, a[c]);
}

ZELMO_AVX2_FMA void dots_advance_avx2(const double* x, const double* const* cols, std::size_t count,
                                      std::size_t steps, double* lanes) {
    // Up to twelve columns at a time, the last group no smaller than four
    // where there are more than twelve.
    while (count > 0) {
        const std::size_t take = count <= 12 ? count : (count - 12 >= 4 ? 12 : 8);
        switch (take) {
            case 1: dots_advance_avx2_all<1>(x, cols, steps, lanes); break;
            case 2: dots_advance_avx2_all<2>(x, cols, steps, lanes); break;
            case 3: dots_advance_avx2_all<3>(x, cols, steps, lanes); break;
            case 4: dots_advance_avx2_all<4>(x, cols, steps, lanes); break;
            case 5: dots_advance_avx2_all<5>(x, cols, steps, lanes); break;
            case 6: dots_advance_avx2_all<6>(x, cols, steps, lanes); break;
            case 7: dots_advance_avx2_all<7>(x, cols, steps, lanes); break;
            case 8: dots_advance_avx2_all<8>(x, cols, steps, lanes); break;
            case 9: dots_advance_avx2_all<9>(x, cols, steps, lanes); break;
            case 10: dots_advance_avx2_all<10>(x, cols, steps, lanes); break;
            case 11: dots_advance_avx2_all<11>(x, cols, steps, lanes); break;
            default: dots_advance_avx2_all<12>(x, cols, steps, lanes); break;
        }
        cols += take;
        lanes += 4 * take;
        count -= take;
    }
}

// Both rows' four lanes side by side in one 512-bit register, against
// each column's four values repeated: every lane does what it does in the
// 256-bit body. With `self`, column W is each row with itself.
template <std::size_t W, bool self>
ZELMO_AVX512 void dots_advance2_avx512_all(const double* x0, const double* x1, const double* const* cols,
                                           std::size_t steps, double* lanes0, double* lanes1) {
    constexpr std::size_t A = W + (self ? 1 : 0);
    __m512d a[A];
    const double* y[W > 0 ? W : 1];
    for (std::size_t c = 0; c < A; ++c) {
        a[c] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(lanes0 + 4 * c)),
                                  _mm256_loadu_pd(lanes1 + 4 * c), 1);
    }
    for (std::size_t c = 0; c < W; ++c) y[c] = cols[c];
    for (std::size_t t = 0; t < steps; t += 4) {
        const __m512d v =
            _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(x0 + t)), _mm256_loadu_pd(x1 + t), 1);
        for (std::size_t c = 0; c < W; ++c) {
            a[c] = _mm512_fmadd_pd(v, _mm512_broadcast_f64x4(_mm256_loadu_pd(y[c] + t)), a[c]);
        }
        if constexpr (self) a[W] = _mm512_fmadd_pd(v, v, a[W]);
    }
    for (std::size_t c = 0; c < A; ++c) {
        _mm256_storeu_pd(lanes0 + 4 * c, _mm512_castpd512_pd256(a[c]));
        _mm256_storeu_pd(lanes1 + 4 * c, _mm512_extractf64x4_pd(a[c], 1));
    }
}

ZELMO_AVX512 void dots_advance2_avx512(const double* x0, const double* x1, const double* const* cols,
                                       std::size_t count, std::size_t steps, double* lanes0, double* lanes1) {
    // Up to sixteen columns at a time; the products with themselves go
    // with the last group.
    for (;;) {
        const bool last = count <= 15;
        const std::size_t take = last ? count : (count - 16 >= 4 ? 16 : 12);
        switch (last ? take : 16 + take) {
#define ZELMO_CASE(w) \
    case w: dots_advance2_avx512_all<w, true>(x0, x1, cols, steps, lanes0, lanes1); break;
            ZELMO_CASE(0) ZELMO_CASE(1) ZELMO_CASE(2) ZELMO_CASE(3) ZELMO_CASE(4) ZELMO_CASE(5) ZELMO_CASE(6)
            ZELMO_CASE(7) ZELMO_CASE(8) ZELMO_CASE(9) ZELMO_CASE(10) ZELMO_CASE(11) ZELMO_CASE(12) ZELMO_CASE(13)
            ZELMO_CASE(14) ZELMO_CASE(15)
#undef ZELMO_CASE
            case 28: dots_advance2_avx512_all<12, false>(x0, x1, cols, steps, lanes0, lanes1); break;
            default: dots_advance2_avx512_all<16, false>(x0, x1, cols, steps, lanes0, lanes1); break;
        }
        if (last) return;
        cols += take;
        lanes0 += 4 * take;
        lanes1 += 4 * take;
        count -= take;
    }
}

const bool kHasAvx2Fma = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif

}  // namespace

void dots(const double* x, const double* const* cols, std::size_t count, std::size_t n, double* out) {
    // Sixteen columns at a time, their running sums on the stack.
    const std::size_t body = n - n % 4;
    for (std::size_t c = 0; c < count; c += 16) {
        const std::size_t take = std::min<std::size_t>(16, count - c);
        double lanes[64] = {};
        dots_advance(x, cols + c, take, body, lanes);
        for (std::size_t k = 0; k < take; ++k) out[c + k] = dots_finish(lanes + 4 * k, x + body, cols[c + k] + body, n - body);
    }
}

void dots_advance(const double* x, const double* const* cols, std::size_t count, std::size_t steps, double* lanes) {
#if defined(ZELMO_X86)
    if (kHasAvx2Fma) {
        dots_advance_avx2(x, cols, count, steps, lanes);
        return;
    }
#endif
    dots_advance_scalar(x, cols, count, steps, lanes);
}

void dots_advance2(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                   std::size_t steps, double* lanes0, double* lanes1) {
#if defined(ZELMO_X86)
    if (kHasAvx512) {
        dots_advance2_avx512(x0, x1, cols, count, steps, lanes0, lanes1);
        return;
    }
#endif
    std::vector<const double*> with(cols, cols + count);
    with.push_back(x0);
    dots_advance(x0, with.data(), count + 1, steps, lanes0);
    with.back() = x1;
    dots_advance(x1, with.data(), count + 1, steps, lanes1);
}

double dots_finish(const double* lanes, const double* x, const double* y, std::size_t tail) {
    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (std::size_t t = 0; t < tail; ++t) sum = std::fma(x[t], y[t], sum);
    return sum;
}

void accurate_dots(const double* x, const double* const* cols, std::size_t count, std::size_t n, double* out) {
#if defined(ZELMO_X86)
    if (kHasAvx2Fma) {
        accurate_dots_avx2(x, cols, count, n, out);
        return;
    }
#endif
    accurate_dots_scalar(x, cols, count, n, out);
}

void accurate_dots_advance(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                           std::size_t from, std::size_t to, Dot2Pair* states) {
#if defined(ZELMO_X86)
    if (kHasAvx512) {
        advance_avx512(x0, x1, cols, count, from, to, states);
        return;
    }
    if (kHasAvx2Fma) {
        advance_avx2(x0, x1, cols, count, from, to, states);
        return;
    }
#endif
    advance_scalar(x0, x1, cols, count, from, to, states);
}

double accurate_dots_finish(const Dot2Pair& state, bool second, const double* x, const double* y, std::size_t n) {
    const std::size_t lane = second ? 4 : 0;
    double carry = 0.0;
    double sum = combine(state.sum + lane, state.carry + lane, carry);
    for (std::size_t t = n - n % 4; t < n; ++t) add_product(x[t], y[t], sum, carry);
    return sum + carry;
}

double total(const double* x, std::size_t n) {
    const std::size_t body = n - n % 4;
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t t = 0; t < body; t += 4) {
        for (std::size_t l = 0; l < 4; ++l) s[l] = s[l] + x[t + l];
    }
    double sum = (s[0] + s[1]) + (s[2] + s[3]);
    for (std::size_t t = body; t < n; ++t) sum = sum + x[t];
    return sum;
}

double conditional_mutual_information(const double* cov, std::size_t dz, std::size_t dx, double* work) {
    const std::size_t d = dz + dx + 1;
    double* l = work;  // the factor, row-major lower triangle; a dropped variable's column is zero
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = cov[i * d + j];
            for (std::size_t k = 0; k < j; ++k) s -= l[i * d + k] * l[j * d + k];
            if (j < i) {
                l[i * d + j] = l[j * d + j] > 0.0 ? s / l[j * d + j] : 0.0;
                continue;
            }
            // s is the residual variance of variable i given those before it.
            const double own = cov[i * d + i];
            if (i + 1 == d) {
                // The target: what Z leaves, and what X explains of it.
                double explained = 0.0;
                for (std::size_t k = dz; k < i; ++k) explained += l[i * d + k] * l[i * d + k];
                const double left = s + explained;  // var(Y | Z); s is var(Y | Z, X)
                const double floor = kCollinear * own;
                if (!(own > 0.0) || !(left > floor)) return 0.0;
                const double ratio = s >= floor ? explained / s : (left - floor) / floor;
                const double value = 0.5 * std::log1p(ratio);
                return value > 0.0 ? value : 0.0;
            }
            l[i * d + i] = own > 0.0 && s > kCollinear * own ? std::sqrt(s) : 0.0;
        }
    }
    return 0.0;
}

namespace {

// ln Gamma(a) for a = k / 2, k >= 1: exact sums of logarithms would be slow
// for large k; std::lgamma is accurate to a few ulps.
double log_gamma(double a) { return std::lgamma(a); }

}  // namespace

double chi2_survival(double x, std::size_t k) {
    if (!(x > 0.0)) return 1.0;
    if (std::isinf(x)) return 0.0;
    const double a = 0.5 * static_cast<double>(k), z = 0.5 * x;
    if (k == 1) return std::erfc(std::sqrt(z));
    if (k == 2) return std::exp(-z);
    const double log_prefix = a * std::log(z) - z - log_gamma(a);
    constexpr double kEps = 1e-16;
    if (z < a + 1.0) {
        // P(a, z) = z^a e^-z / Gamma(a + 1) * sum_n z^n / ((a + 1) ... (a + n)).
        double term = 1.0 / a, sum = term;
        for (int n = 1; n < 100000; ++n) {
            term *= z / (a + n);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * kEps) break;
        }
        const double lower = std::exp(log_prefix) * sum;
        return lower >= 1.0 ? 0.0 : 1.0 - lower;
    }
    // Q(a, z) by Lentz's evaluation of the continued fraction.
    constexpr double kTiny = 1e-300;
    double b = z + 1.0 - a, c = 1.0 / kTiny, dd = 1.0 / b, h = dd;
    for (int n = 1; n < 100000; ++n) {
        const double an = -n * (n - a);
        b += 2.0;
        dd = an * dd + b;
        if (std::fabs(dd) < kTiny) dd = kTiny;
        c = b + an / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        dd = 1.0 / dd;
        const double delta = dd * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < kEps) break;
    }
    return std::exp(log_prefix) * h;
}

}  // namespace zelmo::network::gaussian
