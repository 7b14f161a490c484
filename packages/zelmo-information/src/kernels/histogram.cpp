#include "histogram.hpp"

#include "range.hpp"

namespace zelmo {

Counts histogram_1d(Span data, std::uint64_t n_bins) {
    const SampleRange r = sample_range(data);
    if (r.constant()) {
        Counts one = Counts::zeroed(1);
        one[0] = data.len;
        return one;
    }
    check_capacity(n_bins);
    Counts counts = Counts::zeroed(n_bins);
    const double lo = r.lo;
    const double width = r.span() / static_cast<double>(n_bins);
    const std::uint64_t cap = n_bins - 1;
    for (std::size_t i = 0; i < data.len; ++i) {
        // Non-negative quotients truncate to their floor; NaN and negative
        // quotients give bin 0.
        const std::uint64_t q = saturating_u64((data.data[i] - lo) / width);
        const std::uint64_t bin = q < cap ? q : cap;
        if (bin >= n_bins) panic_index(n_bins, bin);
        ++counts[bin];
    }
    return counts;
}

}  // namespace zelmo
