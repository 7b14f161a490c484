#include "vector_ops.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define ZELMO_X86 1
#endif

namespace zelmo::vec {

namespace {

constexpr double kMaxFinite = std::numeric_limits<double>::max();

// ---- portable bodies --------------------------------------------------------

// minNum and maxNum against an accumulator that is never NaN (it starts at
// +inf or -inf and only takes numbers): a NaN v fails the comparison and
// leaves it unchanged, exactly as fmin/fmax would.
inline void fold_one(SampleRange& r, double v) {
    r.lo = v < r.lo ? v : r.lo;
    r.hi = v > r.hi ? v : r.hi;
}

void fold_range_scalar(const double* p, std::size_t n, SampleRange& r) {
    for (std::size_t i = 0; i < n; ++i) fold_one(r, p[i]);
}

std::size_t fold_finite_range_scalar(const double* p, std::size_t n, SampleRange& r) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = p[i];
        if (!(std::fabs(v) <= kMaxFinite)) continue;
        fold_one(r, v);
        ++count;
    }
    return count;
}

// Below this many elements the vector bodies' setup costs more than it saves.
constexpr std::size_t kShort = 16;

inline std::uint32_t clamp_index(double t, std::uint64_t n_bins) {
    const std::uint64_t i = saturating_u64(t);
    return static_cast<std::uint32_t>(i < n_bins - 1 ? i : n_bins - 1);
}

std::size_t scaled_bins_scalar(const double* p, std::size_t n, double lo, double range, std::uint64_t n_bins,
                               bool finite_only, std::uint32_t* out) {
    const double scale = static_cast<double>(n_bins);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = p[i];
        if (finite_only && !(std::fabs(v) <= kMaxFinite)) continue;
        out[k++] = clamp_index(((v - lo) / range) * scale, n_bins);
    }
    return k;
}

std::size_t width_bins_scalar(const double* p, std::size_t n, double lo, double width, std::uint64_t n_bins,
                              bool finite_only, std::uint32_t* out) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = p[i];
        if (finite_only && !(std::fabs(v) <= kMaxFinite)) continue;
        out[k++] = clamp_index((v - lo) / width, n_bins);
    }
    return k;
}

// ---- AVX2 bodies ------------------------------------------------------------
#if defined(ZELMO_X86)

#define ZELMO_AVX2 __attribute__((target("avx2")))

// The hardware prefetcher alone leaves these loops waiting on memory (the
// binning loops do much work per element): ask for data this far ahead.
constexpr std::size_t kPrefetchAhead = 2048;

ZELMO_AVX2 void reduce(__m256d lo, __m256d hi, SampleRange& r) {
    alignas(32) double l[4], h[4];
    _mm256_store_pd(l, lo);
    _mm256_store_pd(h, hi);
    for (int k = 0; k < 4; ++k) {
        r.lo = l[k] < r.lo ? l[k] : r.lo;
        r.hi = h[k] > r.hi ? h[k] : r.hi;
    }
}

// vminpd/vmaxpd return their second operand when either is NaN: with the
// accumulator second, a NaN element leaves it unchanged, as fmin/fmax do.
ZELMO_AVX2 void fold_range_avx2(const double* p, std::size_t n, SampleRange& r) {
    std::size_t i = 0;
    __m256d lo0 = _mm256_set1_pd(r.lo), lo1 = lo0, hi0 = _mm256_set1_pd(r.hi), hi1 = hi0;
    for (; i + 8 <= n; i += 8) {
        _mm_prefetch(reinterpret_cast<const char*>(p + i) + kPrefetchAhead, _MM_HINT_T0);
        const __m256d a = _mm256_loadu_pd(p + i);
        const __m256d b = _mm256_loadu_pd(p + i + 4);
        lo0 = _mm256_min_pd(a, lo0);
        lo1 = _mm256_min_pd(b, lo1);
        hi0 = _mm256_max_pd(a, hi0);
        hi1 = _mm256_max_pd(b, hi1);
    }
    reduce(_mm256_min_pd(lo0, lo1), _mm256_max_pd(hi0, hi1), r);
    fold_range_scalar(p + i, n - i, r);
}

ZELMO_AVX2 std::size_t fold_finite_range_avx2(const double* p, std::size_t n, SampleRange& r) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d max_finite = _mm256_set1_pd(kMaxFinite);
    const __m256d pos_inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d neg_inf = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    __m256d lo0 = _mm256_set1_pd(r.lo), lo1 = lo0, hi0 = _mm256_set1_pd(r.hi), hi1 = hi0;
    // A finite lane's mask is all ones, -1 as an integer: subtracting the
    // masks counts the finite values per lane.
    __m256i count = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm_prefetch(reinterpret_cast<const char*>(p + i) + kPrefetchAhead, _MM_HINT_T0);
        const __m256d a = _mm256_loadu_pd(p + i);
        const __m256d b = _mm256_loadu_pd(p + i + 4);
        const __m256d fa = _mm256_cmp_pd(_mm256_andnot_pd(sign, a), max_finite, _CMP_LE_OQ);
        const __m256d fb = _mm256_cmp_pd(_mm256_andnot_pd(sign, b), max_finite, _CMP_LE_OQ);
        lo0 = _mm256_min_pd(_mm256_blendv_pd(pos_inf, a, fa), lo0);
        lo1 = _mm256_min_pd(_mm256_blendv_pd(pos_inf, b, fb), lo1);
        hi0 = _mm256_max_pd(_mm256_blendv_pd(neg_inf, a, fa), hi0);
        hi1 = _mm256_max_pd(_mm256_blendv_pd(neg_inf, b, fb), hi1);
        count = _mm256_sub_epi64(count, _mm256_castpd_si256(fa));
        count = _mm256_sub_epi64(count, _mm256_castpd_si256(fb));
    }
    reduce(_mm256_min_pd(lo0, lo1), _mm256_max_pd(hi0, hi1), r);
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), count);
    const std::size_t counted = static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
    return counted + fold_finite_range_scalar(p + i, n - i, r);
}

// min(max(t, 0), n_bins - 1) converted by truncation: max(t, 0) turns NaN
// and negative t into 0, and n_bins - 1 < 2^31 is exact, so this equals the
// saturating conversion followed by the clamp.
ZELMO_AVX2 inline __m128i clamp_indices(__m256d t, __m256d top) {
    return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(t, _mm256_setzero_pd()), top));
}

// The bins of both rules without a division per element. The product
// t' = d * f, with f the rounded factor 1 / width or N / range, is within a
// relative 2^-50 of the exactly rounded quotient t, so t lies between
// t' * (1 - 2^-44) and t' * (1 + 2^-44), and (rounding being monotonic)
// between those products rounded. When both truncate to the same integer, so
// does t, and that integer clamped is its bin. t' is first capped at
// n_bins - 1/2, beyond which every quotient lands in the last bin (vminpd
// keeps a NaN in its second operand, and a NaN, like any negative quotient,
// belongs to bin 0). Lanes on or near an edge take the exact division.
template <class Exact>
ZELMO_AVX2 inline __m128i fast_bins(__m256d fast, __m256d cap, __m256d top, Exact exact) {
    const __m256d t = _mm256_min_pd(cap, fast);
    const __m128i low = _mm256_cvttpd_epi32(_mm256_mul_pd(t, _mm256_set1_pd(1.0 - 0x1p-44)));
    const __m128i high = _mm256_cvttpd_epi32(_mm256_mul_pd(t, _mm256_set1_pd(1.0 + 0x1p-44)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(low, high)) == 0xFFFF) return _mm_max_epi32(low, _mm_setzero_si128());
    return clamp_indices(exact(), top);
}

// The two bin rules on four values at a time.
struct WidthRule {
    __m256d lo, width, factor, cap, top;

    ZELMO_AVX2 WidthRule(double lo_, double width_, std::uint64_t n_bins)
        : lo(_mm256_set1_pd(lo_)), width(_mm256_set1_pd(width_)), factor(_mm256_set1_pd(1.0 / width_)),
          cap(_mm256_set1_pd(static_cast<double>(n_bins) - 0.5)),
          top(_mm256_set1_pd(static_cast<double>(n_bins - 1))) {}

    // floor((v - lo) / width), clamped.
    ZELMO_AVX2 __m128i bins(__m256d v) const {
        const __m256d d = _mm256_sub_pd(v, lo);
        return fast_bins(_mm256_mul_pd(d, factor), cap, top, [&]() ZELMO_AVX2 { return _mm256_div_pd(d, width); });
    }
};

struct ScaledRule {
    __m256d lo, range, scale, factor, cap, top;

    ZELMO_AVX2 ScaledRule(double lo_, double range_, std::uint64_t n_bins)
        : lo(_mm256_set1_pd(lo_)), range(_mm256_set1_pd(range_)),
          scale(_mm256_set1_pd(static_cast<double>(n_bins))),
          factor(_mm256_set1_pd(static_cast<double>(n_bins) / range_)),
          cap(_mm256_set1_pd(static_cast<double>(n_bins) - 0.5)),
          top(_mm256_set1_pd(static_cast<double>(n_bins - 1))) {}

    // ((v - lo) / range) * N, truncated and clamped.
    ZELMO_AVX2 __m128i bins(__m256d v) const {
        const __m256d d = _mm256_sub_pd(v, lo);
        return fast_bins(_mm256_mul_pd(d, factor), cap, top,
                         [&]() ZELMO_AVX2 { return _mm256_mul_pd(_mm256_div_pd(d, range), scale); });
    }
};

// Writes the scaled-rule bins of the first n - n % 4 values; returns how many.
ZELMO_AVX2 std::size_t scaled_bins_avx2(const double* p, std::size_t n, const ScaledRule& rule, std::uint32_t* out) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _mm_prefetch(reinterpret_cast<const char*>(p + i) + kPrefetchAhead, _MM_HINT_T0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), rule.bins(_mm256_loadu_pd(p + i)));
    }
    return i;
}

// Counts the bins of the first n - n % 8 values (only the finite ones with
// `finite_only`) into `tally` as they are found; returns how many values it
// read.
template <class Rule>
ZELMO_AVX2 std::size_t count_bins_avx2(const double* p, std::size_t n, const Rule rule, bool finite_only,
                                       Tally& tally) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d max_finite = _mm256_set1_pd(kMaxFinite);
    auto finite_mask = [&](__m256d v) ZELMO_AVX2 {
        return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, v), max_finite, _CMP_LE_OQ));
    };
    // Eight values a step, one to each copy of the table: a copy sees its
    // next increment only a whole step later, by when its last store is done.
    static_assert(Tally::kLanes == 8);
    std::uint64_t* c[Tally::kLanes];
    for (std::size_t k = 0; k < Tally::kLanes; ++k) c[k] = tally.lane(k);
    std::size_t slot = 0;  // numbers the values counted one by one
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm_prefetch(reinterpret_cast<const char*>(p + i) + kPrefetchAhead, _MM_HINT_T0);
        const __m256d v0 = _mm256_loadu_pd(p + i);
        const __m256d v1 = _mm256_loadu_pd(p + i + 4);
        alignas(32) std::uint32_t bin[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(bin), _mm256_set_m128i(rule.bins(v1), rule.bins(v0)));
        const int keep = finite_only ? finite_mask(v0) | finite_mask(v1) << 4 : 0xFF;
        if (keep == 0xFF) {
            for (std::size_t k = 0; k < 8; ++k) ++c[k][bin[k]];
            continue;
        }
        for (int j = 0; j < 8; ++j) {
            if (keep & (1 << j)) tally.bump(slot++, bin[j]);
        }
    }
    return i;
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

#else
constexpr bool kHasAvx2 = false;
#endif

}  // namespace

void fold_range(const double* p, std::size_t n, SampleRange& r) {
#if defined(ZELMO_X86)
    if (kHasAvx2 && n >= kShort) return fold_range_avx2(p, n, r);
#endif
    fold_range_scalar(p, n, r);
}

std::size_t fold_finite_range(const double* p, std::size_t n, SampleRange& r) {
#if defined(ZELMO_X86)
    if (kHasAvx2 && n >= kShort) return fold_finite_range_avx2(p, n, r);
#endif
    return fold_finite_range_scalar(p, n, r);
}

void scaled_bins(const double* p, std::size_t n, double lo, double range, std::uint64_t n_bins, std::uint32_t* out) {
    std::size_t i = 0;
#if defined(ZELMO_X86)
    if (kHasAvx2 && n >= kShort) i = scaled_bins_avx2(p, n, ScaledRule(lo, range, n_bins), out);
#endif
    scaled_bins_scalar(p + i, n - i, lo, range, n_bins, false, out + i);
}

Tally::Tally(std::uint64_t* table, std::uint64_t cells, std::uint64_t expected) : table_(table), cells_(cells) {
    constexpr std::uint64_t kLaneCells = 512;  // the copies stay within 32 KiB
    // Adding the copies up costs a pass over them: worth it for many indices.
    if (cells <= kLaneCells && expected >= 16 * cells) lanes_ = Buffer<std::uint64_t>::zeroed(kLanes * cells);
    for (std::size_t k = 0; k < kLanes; ++k) lane_[k] = lanes_.size() == 0 ? table : lanes_.data() + k * cells;
}

void Tally::finish() {
    if (lanes_.size() == 0) return;
    for (std::uint64_t c = 0; c < cells_; ++c) {
        std::uint64_t sum = table_[c];
        for (std::size_t k = 0; k < kLanes; ++k) sum += lanes_[k * cells_ + c];
        table_[c] = sum;
    }
    std::memset(lanes_.data(), 0, lanes_.size() * sizeof(std::uint64_t));
}

namespace {

// Counts values [i, n) in blocks, `scalar_bins(p, len, out)` writing the bins
// of a block and returning how many it wrote.
template <class ScalarBins>
void count_in_blocks(const double* p, std::size_t i, std::size_t n, Tally& tally, ScalarBins scalar_bins) {
    std::uint32_t block[kBlock];
    for (; i < n; i += kBlock) {
        const std::size_t len = std::min(kBlock, n - i);
        tally.add(block, scalar_bins(p + i, len, block));
    }
}

}  // namespace

void count_width_bins(const double* p, std::size_t n, double lo, double width, std::uint64_t n_bins,
                      bool finite_only, Tally& tally) {
    std::size_t i = 0;
#if defined(ZELMO_X86)
    if (kHasAvx2 && n >= kShort) i = count_bins_avx2(p, n, WidthRule(lo, width, n_bins), finite_only, tally);
#endif
    count_in_blocks(p, i, n, tally, [&](const double* q, std::size_t len, std::uint32_t* out) {
        return width_bins_scalar(q, len, lo, width, n_bins, finite_only, out);
    });
}

void count_scaled_bins(const double* p, std::size_t n, double lo, double range, std::uint64_t n_bins,
                       bool finite_only, Tally& tally) {
    std::size_t i = 0;
#if defined(ZELMO_X86)
    if (kHasAvx2 && n >= kShort) i = count_bins_avx2(p, n, ScaledRule(lo, range, n_bins), finite_only, tally);
#endif
    count_in_blocks(p, i, n, tally, [&](const double* q, std::size_t len, std::uint32_t* out) {
        return scaled_bins_scalar(q, len, lo, range, n_bins, finite_only, out);
    });
}

}  // namespace zelmo::vec
