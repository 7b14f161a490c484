#include <algorithm>

#include "../kernels/binning.hpp"
#include "../kernels/joint_entropy.hpp"
#include "../kernels/key_counts.hpp"
#include "../kernels/range.hpp"
#include "../kernels/vector_ops.hpp"
#include "dependence.hpp"

namespace zelmo {

namespace {

// The three variables over their first n values, with their own ranges.
struct Variables {
    Span x, y, z;
    SampleRange rx, ry, rz;
    std::size_t n;
};

Buffer<std::uint64_t> bins_of(Span s, SampleRange r, std::size_t n, std::uint64_t n_bins) {
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(n);
    bin_scaled(s.first(n), r, n_bins, bins.data());
    return bins;
}

struct Entropies {
    double xz, yz, xyz, z;
};

// Dense tables indexed by bin arithmetic; index order is ascending key
// order. Only the triples are counted: the pair and single counts are exact
// integer sums of the triple counts.
// The observations are binned block by block straight into the table.
Entropies dense_entropies(const Variables& v, std::uint64_t n_bins, std::uint64_t radix) {
    const std::size_t n = v.n;
    Counts xyz = Counts::zeroed(radix * radix * radix);
    {
        vec::Tally tally(xyz.data(), xyz.size(), n);
        const auto r = static_cast<std::uint32_t>(radix);
        std::uint32_t bx[vec::kBlock], by[vec::kBlock], bz[vec::kBlock];
        for (std::size_t i = 0; i < n; i += vec::kBlock) {
            const std::size_t len = std::min(vec::kBlock, n - i);
            bin_scaled_narrow(Span{v.x.data + i, len}, v.rx, n_bins, bx);
            bin_scaled_narrow(Span{v.y.data + i, len}, v.ry, n_bins, by);
            bin_scaled_narrow(Span{v.z.data + i, len}, v.rz, n_bins, bz);
            for (std::size_t k = 0; k < len; ++k) bx[k] = (bx[k] * r + by[k]) * r + bz[k];
            tally.add(bx, len);
        }
        tally.finish();
    }
    Counts xz = Counts::zeroed(radix * radix);
    Counts yz = Counts::zeroed(radix * radix);
    Counts z = Counts::zeroed(radix);
    for (std::uint64_t a = 0, cell = 0; a < radix; ++a) {
        for (std::uint64_t b = 0; b < radix; ++b) {
            for (std::uint64_t c = 0; c < radix; ++c, ++cell) {
                const std::uint64_t count = xyz[cell];
                xz[a * radix + c] += count;
                yz[b * radix + c] += count;
                z[c] += count;
            }
        }
    }
    const double total = static_cast<double>(n);
    return {entropy_bits(xz.data(), xz.size(), total), entropy_bits(yz.data(), yz.size(), total),
            entropy_bits(xyz.data(), xyz.size(), total), entropy_bits(z.data(), z.size(), total)};
}

Entropies sorted_entropies(const Variables& v, std::uint64_t n_bins) {
    const std::size_t n = v.n;
    const Buffer<std::uint64_t> bx = bins_of(v.x, v.rx, n, n_bins);
    const Buffer<std::uint64_t> by = bins_of(v.y, v.ry, n, n_bins);
    const Buffer<std::uint64_t> bz = bins_of(v.z, v.rz, n, n_bins);
    const double total = static_cast<double>(n);
    Entropies h{};
    {
        auto keys = Buffer<Key<2>>::uninitialised(n);
        for (std::size_t t = 0; t < n; ++t) keys[t] = {bx[t], bz[t]};
        h.xz = sorted_entropy_bits(keys, total);
        for (std::size_t t = 0; t < n; ++t) keys[t] = {by[t], bz[t]};
        h.yz = sorted_entropy_bits(keys, total);
    }
    {
        auto keys = Buffer<Key<3>>::uninitialised(n);
        for (std::size_t t = 0; t < n; ++t) keys[t] = {bx[t], by[t], bz[t]};
        h.xyz = sorted_entropy_bits(keys, total);
    }
    auto keys = Buffer<Key<1>>::uninitialised(n);
    for (std::size_t t = 0; t < n; ++t) keys[t] = {bz[t]};
    h.z = sorted_entropy_bits(keys, total);
    return h;
}

}  // namespace

double cond_mutual_information(Span x, Span y, Span z, std::uint64_t n_bins) {
    const std::size_t n = std::min({x.len, y.len, z.len});
    if (n < 3) return 0.0;
    const Variables v{x, y, z, sample_range(x.first(n)), sample_range(y.first(n)), sample_range(z.first(n)), n};

    // Every bin index is below max(n_bins, 1).
    const std::uint64_t radix = std::max<std::uint64_t>(n_bins, 1);
    const std::uint64_t cells = bounded_power(radix, 3, std::uint64_t{1} << 40);
    const Entropies h = dense_is_cheaper(cells, n) ? dense_entropies(v, n_bins, radix) : sorted_entropies(v, n_bins);
    const double result = ((h.xz + h.yz) - h.xyz) - h.z;
    return result > 0.0 ? result : 0.0;
}

}  // namespace zelmo
