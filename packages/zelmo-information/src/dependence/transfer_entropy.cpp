#include <algorithm>

#include "../kernels/transfer_entropy.hpp"
#include "dependence.hpp"

namespace zelmo {

double transfer_entropy(Span source, Span target, std::uint64_t n_bins, std::uint64_t history) {
    return transfer_entropy_inner(source, target, n_bins, history);
}

namespace {

// Reads row i of `signals` through its strides into `row`.
void copy_row(const StridedMatrix& signals, std::size_t i, Buffer<double>& row) {
    for (std::size_t t = 0; t < signals.cols; ++t) row[t] = signals.at(i, t);
}

}  // namespace

std::vector<double> batch_transfer_entropy(const StridedMatrix& signals, std::uint64_t n_bins,
                                           std::uint64_t history, BetweenPairs between_pairs) {
    const std::size_t m = signals.rows;
    const std::size_t length = signals.cols;
    // m * m checked before anything is allocated: from m = 2^32 on it would
    // wrap, and from 2^30 on its byte size would exceed the address space.
    std::vector<double> result(square_cells(m), 0.0);
    // The guard of every pair: all rows share the length.
    if (m < 2 || length < 3 || length <= history) return result;

    // Every row is binned (and for the sorted path its past codes computed)
    // once: a pair's estimate depends on its two rows only through these, so
    // every entry equals the single call on the same two rows.
    const std::size_t count = length - static_cast<std::size_t>(history);
    Buffer<double> row = Buffer<double>::uninitialised(length);
    auto store = [&](std::size_t i, double te) { result[i] = te > 0.0 ? te : 0.0; };

    NarrowTransfer narrow(n_bins, history, count);
    if (narrow.applies()) {
        Buffer<std::uint32_t> bins = Buffer<std::uint32_t>::uninitialised(m * length);
        for (std::size_t i = 0; i < m; ++i) {
            copy_row(signals, i, row);
            series_bins_narrow(Span{row.data(), length}, n_bins, bins.data() + i * length);
        }
        row = {};
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                if (j == i) continue;
                between_pairs();
                store(i * m + j, narrow.estimate(bins.data() + i * length, bins.data() + j * length, length));
            }
        }
        return result;
    }

    const PastWeights weights(n_bins, history);
    Buffer<std::uint64_t> next = Buffer<std::uint64_t>::uninitialised(m * count);
    Buffer<std::uint64_t> past = Buffer<std::uint64_t>::uninitialised(m * count);
    for (std::size_t i = 0; i < m; ++i) {
        copy_row(signals, i, row);
        const Buffer<std::uint64_t> bins = series_bins(Span{row.data(), length}, n_bins);
        std::copy(bins.begin() + history, bins.end(), next.data() + i * count);
        past_codes(bins.data(), length, weights, past.data() + i * count);
    }
    row = {};
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (j == i) continue;
            between_pairs();
            store(i * m + j, sorted_transfer_entropy(next.data() + j * count, past.data() + j * count,
                                                     past.data() + i * count, count));
        }
    }
    return result;
}

}  // namespace zelmo
