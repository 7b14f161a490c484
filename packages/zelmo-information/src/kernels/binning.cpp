#include "binning.hpp"

#include <algorithm>

namespace zelmo {

void bin_scaled(Span values, SampleRange r, std::uint64_t n_bins, std::uint64_t* out) {
    if (r.constant()) {
        std::fill(out, out + values.len, std::uint64_t{0});
        return;
    }
    const double lo = r.lo;
    const double range = r.span();
    for (std::size_t i = 0; i < values.len; ++i) {
        out[i] = scaled_bin_index(values.data[i], lo, range, n_bins);
    }
}

}  // namespace zelmo
