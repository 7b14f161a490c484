#include <algorithm>

#include "../kernels/transfer_entropy.hpp"
#include "dependence.hpp"

namespace zelmo {

double transfer_entropy(Span source, Span target, std::uint64_t n_bins, std::uint64_t history) {
    return transfer_entropy_inner(source, target, n_bins, history);
}

std::vector<double> batch_transfer_entropy(const StridedMatrix& signals, std::uint64_t n_bins,
                                           std::uint64_t history) {
    const std::size_t m = signals.rows;
    const std::size_t length = signals.cols;
    std::vector<double> result(m * m, 0.0);
    // The guard of every pair: all rows share the length.
    if (m < 2 || length < 3 || length <= history) return result;

    // Every row is binned, and its past codes computed, once: a pair's
    // estimate depends on its two rows only through these.
    const std::size_t count = length - static_cast<std::size_t>(history);
    const PastWeights weights(n_bins, history);
    Buffer<std::uint64_t> next = Buffer<std::uint64_t>::uninitialised(m * count);
    Buffer<std::uint64_t> past = Buffer<std::uint64_t>::uninitialised(m * count);
    {
        Buffer<double> row = Buffer<double>::uninitialised(length);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t t = 0; t < length; ++t) row[t] = signals.at(i, t);
            const Buffer<std::uint64_t> bins = series_bins(as_span(row), n_bins);
            std::copy(bins.begin() + history, bins.end(), next.data() + i * count);
            past_codes(bins.data(), length, weights, past.data() + i * count);
        }
    }

    TransferCounter counter(n_bins, history, count);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (j == i) continue;
            const double te =
                counter.estimate(next.data() + j * count, past.data() + j * count, past.data() + i * count, count);
            result[i * m + j] = te > 0.0 ? te : 0.0;
        }
    }
    return result;
}

}  // namespace zelmo
