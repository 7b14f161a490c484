#include "histogram.hpp"

#include <algorithm>

#include "binning.hpp"
#include "prepare.hpp"
#include "vector_ops.hpp"

namespace zelmo {

Counts histogram_of(Span data, SampleRange r, std::uint64_t count, std::uint64_t n_bins, bool finite_only) {
    if (r.constant()) {
        Counts one = Counts::zeroed(1);
        one[0] = count;
        return one;
    }
    check_capacity(n_bins);
    Counts counts = Counts::zeroed(n_bins);
    if (count == 0) return counts;
    // With no bins the width is infinite and every quotient 0 or NaN, so the
    // first value's bin is 0, beyond the empty table.
    if (n_bins == 0) panic_index(0, 0);
    const Grid g = r.grid();
    const double lo = g.lo;
    const double width = g.range / static_cast<double>(n_bins);
    // A sample whose values are all counted needs no filtering.
    finite_only = finite_only && count < data.len;
    if (n_bins <= vec::kMaxVectorBins) {
        vec::Tally tally(counts.data(), n_bins, count);
        on_grid(data, g, [&](const double* p, std::size_t len, std::size_t) {
            vec::count_width_bins(p, len, lo, width, n_bins, finite_only, tally);
        });
        tally.finish();
        return counts;
    }
    const std::uint64_t cap = n_bins - 1;
    for (std::size_t i = 0; i < data.len; ++i) {
        const double v = data.data[i];
        if (finite_only && !is_finite(v)) continue;
        // Non-negative quotients truncate to their floor; NaN and negative
        // quotients give bin 0.
        const std::uint64_t q = saturating_u64((g.place(v) - lo) / width);
        ++counts[q < cap ? q : cap];
    }
    return counts;
}

}  // namespace zelmo
