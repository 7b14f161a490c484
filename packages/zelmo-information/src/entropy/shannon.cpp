#include <cmath>
#include <limits>

#include "../kernels/histogram.hpp"
#include "../kernels/prepare.hpp"
#include "entropy.hpp"

namespace zelmo {

double shannon_entropy(Span data, std::int64_t n_bins, double base) {
    const Buffer<double> sample = finite_only(data);
    if (sample.size() < 2) return std::numeric_limits<double>::quiet_NaN();
    const Counts counts = histogram_1d(as_span(sample), resolve_bin_count(n_bins, sample.size()));
    const std::uint64_t total = count_total(counts);
    if (counts.size() == 0 || total == 0) return 0.0;
    return entropy_nats(counts, total) / std::log(base);
}

}  // namespace zelmo
