#include <cmath>
#include <limits>

#include "entropy.hpp"
#include "finite_histogram.hpp"

namespace zelmo {

namespace {

constexpr double kOrderTolerance = 1e-10;

// sum p^order over the non-empty bins in bin order; empty bins are never
// raised to a power, so a negative order stays finite.
double power_sum(const Counts& counts, std::uint64_t total, double order) {
    const double t = static_cast<double>(total);
    double s = 0.0;
    for_each_occupied(counts.data(), counts.size(),
                      [&](std::size_t, std::uint64_t c) { s = s + std::pow(static_cast<double>(c) / t, order); });
    return s;
}

}  // namespace

double renyi_entropy(Span data, double alpha, std::int64_t n_bins, double base) {
    const Counts counts = finite_histogram(data, n_bins);
    const std::uint64_t total = count_total(counts);
    if (total == 0) return std::numeric_limits<double>::quiet_NaN();
    if (std::fabs(alpha - 1.0) < kOrderTolerance) return entropy_nats(counts, total) / std::log(base);
    const double log_sum = std::log(power_sum(counts, total, alpha));
    const double log_base = std::log(base);
    return log_sum / ((1.0 - alpha) * log_base);
}

double tsallis_entropy(Span data, double q, std::int64_t n_bins) {
    const Counts counts = finite_histogram(data, n_bins);
    const std::uint64_t total = count_total(counts);
    if (total == 0) return std::numeric_limits<double>::quiet_NaN();
    const double d = q - 1.0;
    if (std::fabs(d) < kOrderTolerance) return entropy_nats(counts, total);
    return (1.0 - power_sum(counts, total, q)) / d;
}

}  // namespace zelmo
