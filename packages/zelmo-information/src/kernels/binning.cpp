#include "binning.hpp"

#include <algorithm>

#include "vector_ops.hpp"

namespace zelmo {

void bin_scaled_narrow(Span values, SampleRange r, std::uint64_t n_bins, std::uint32_t* out) {
    if (r.constant() || n_bins <= 1) {
        std::fill(out, out + values.len, std::uint32_t{0});
        return;
    }
    const Grid g = r.grid();
    on_grid(values, g, [&](const double* p, std::size_t len, std::size_t first) {
        vec::scaled_bins(p, len, g.lo, g.range, n_bins, out + first);
    });
}

void bin_scaled(Span values, SampleRange r, std::uint64_t n_bins, std::uint64_t* out) {
    if (n_bins <= vec::kMaxVectorBins) {
        std::uint32_t block[vec::kBlock];
        for (std::size_t i = 0; i < values.len; i += vec::kBlock) {
            const std::size_t len = std::min(vec::kBlock, values.len - i);
            bin_scaled_narrow(Span{values.data + i, len}, r, n_bins, block);
            std::copy(block, block + len, out + i);
        }
        return;
    }
    if (r.constant()) {
        std::fill(out, out + values.len, std::uint64_t{0});
        return;
    }
    const Grid g = r.grid();
    for (std::size_t i = 0; i < values.len; ++i) out[i] = grid_bin_index(values.data[i], g, n_bins);
}

}  // namespace zelmo
