#include <cmath>
#include <limits>

#include "entropy.hpp"
#include "finite_histogram.hpp"

namespace zelmo {

double shannon_entropy(Span data, std::int64_t n_bins, double base) {
    const Counts counts = finite_histogram(data, n_bins);
    const std::uint64_t total = count_total(counts);
    if (total == 0) return std::numeric_limits<double>::quiet_NaN();
    // Natural logarithms summed in bin order, then one division by ln(base).
    return entropy_nats(counts, total) / std::log(base);
}

}  // namespace zelmo
