#include "range.hpp"

#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmo {

namespace {

// Folds `s` into `r`. The vector path keeps several independent lane
// accumulators; minpd/maxpd return their second operand when either is NaN,
// so a NaN element leaves the accumulator unchanged, exactly as fmin/fmax do.
// Minimum and maximum of the non-NaN values do not depend on the order of
// the fold, so the result equals the sequential scan.
void fold(Span s, SampleRange& r) {
    const double* p = s.data;
    std::size_t n = s.len;
    std::size_t i = 0;
#if defined(__SSE2__)
    if (n >= 8) {
        __m128d lo0 = _mm_set1_pd(r.lo), lo1 = lo0, lo2 = lo0, lo3 = lo0;
        __m128d hi0 = _mm_set1_pd(r.hi), hi1 = hi0, hi2 = hi0, hi3 = hi0;
        for (; i + 8 <= n; i += 8) {
            const __m128d a = _mm_loadu_pd(p + i);
            const __m128d b = _mm_loadu_pd(p + i + 2);
            const __m128d c = _mm_loadu_pd(p + i + 4);
            const __m128d d = _mm_loadu_pd(p + i + 6);
            lo0 = _mm_min_pd(a, lo0);
            lo1 = _mm_min_pd(b, lo1);
            lo2 = _mm_min_pd(c, lo2);
            lo3 = _mm_min_pd(d, lo3);
            hi0 = _mm_max_pd(a, hi0);
            hi1 = _mm_max_pd(b, hi1);
            hi2 = _mm_max_pd(c, hi2);
            hi3 = _mm_max_pd(d, hi3);
        }
        alignas(16) double lo[8];
        alignas(16) double hi[8];
        _mm_store_pd(lo, lo0);
        _mm_store_pd(lo + 2, lo1);
        _mm_store_pd(lo + 4, lo2);
        _mm_store_pd(lo + 6, lo3);
        _mm_store_pd(hi, hi0);
        _mm_store_pd(hi + 2, hi1);
        _mm_store_pd(hi + 4, hi2);
        _mm_store_pd(hi + 6, hi3);
        for (int k = 0; k < 8; ++k) {
            r.lo = std::fmin(r.lo, lo[k]);
            r.hi = std::fmax(r.hi, hi[k]);
        }
    }
#endif
    for (; i < n; ++i) {
        r.lo = std::fmin(r.lo, p[i]);
        r.hi = std::fmax(r.hi, p[i]);
    }
}

}  // namespace

SampleRange sample_range(Span s) {
    SampleRange r{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    fold(s, r);
    return r;
}

SampleRange sample_range(Span a, Span b) {
    SampleRange r = sample_range(a);
    fold(b, r);
    return r;
}

}  // namespace zelmo
