// Every estimator of the network functions, by name. Each lives in its own
// folder with a statistic for the search-and-test engine (engine/) and its
// mutual-information matrix; adding one is its folder and one entry in each
// of the two dispatches below.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "binned/binned_rows.hpp"
#include "binned/mutual_matrix.hpp"
#include "binned/statistic.hpp"
#include "engine/tile.hpp"
#include "gaussian/mutual_matrix.hpp"
#include "gaussian/real_rows.hpp"
#include "gaussian/statistic.hpp"
#include "ksg/mutual_matrix.hpp"
#include "ksg/statistic.hpp"
#include "parallel.hpp"

namespace zelmo::network {

// Which estimator, and its settings.
struct EstimatorSpec {
    std::string name = "binned";  // "binned", "gaussian" (the copula is the Gaussian estimator on normal scores) or "ksg"
    std::uint64_t n_bins = 0;     // binned
    std::uint64_t k = 0;          // ksg: the neighbour rank, at least 1 (its rows arrive prepared, see ksg/prepare.hpp)
};

// The rows a call hands to an estimator: the bins of every row with each
// row's flag of a constant range (binned), or the real values (m x L,
// missing samples as NaN).
struct RowData {
    CodeMatrix codes;
    const std::uint8_t* constant = nullptr;
    const double* values = nullptr;
    std::size_t rows = 0, length = 0;
};

// Calls f(statistic) with the estimator's statistic over the rows: pasts
// of `history` values, the steps counted starting at `first`.
template <class F>
void with_statistic(const EstimatorSpec& spec, const RowData& data, std::uint64_t history, std::size_t first, Pool& pool,
                    F&& f) {
    if (spec.name == "binned") {
        const BinnedRows rows(data.codes, data.constant, spec.n_bins, pool);
        const BinnedStatistic stat(rows, history, first, pool);
        f(stat);
    } else if (spec.name == "gaussian") {
        const RealRows rows(data.values, data.rows, data.length, true, pool);
        const GaussianStatistic stat(rows, history, first);
        f(stat);
    } else if (spec.name == "ksg") {
        const RealRows rows(data.values, data.rows, data.length, false, pool);
        const KsgStatistic stat(rows, history, first, static_cast<std::size_t>(spec.k));
        f(stat);
    } else {
        throw std::invalid_argument("unknown estimator '" + spec.name + "'");
    }
}

// out[a, b] = I(source a; target b) of the tile, in bits (steps, if not
// null, the steps counted). The rows are read before unlock() is called;
// what it returns is held while the pairs are computed.
template <class Unlock>
void mutual_information_matrix(const EstimatorSpec& spec, const RowData& data, const Tile& tile, Pool& pool,
                               double* out, double* steps, Unlock unlock) {
    if (spec.name == "binned") {
        BinnedRows rows(data.codes, data.constant, spec.n_bins, pool);
        const auto unlocked = unlock();
        mutual_information_matrix(rows, tile, pool, out, steps);
    } else if (spec.name == "gaussian") {
        const RealRows rows(data.values, data.rows, data.length, true, pool);
        const auto unlocked = unlock();
        gaussian_mutual_information_matrix(rows, tile, pool, out, steps);
    } else if (spec.name == "ksg") {
        if (spec.k == 0) throw std::invalid_argument("k must be at least 1");
        const RealRows rows(data.values, data.rows, data.length, false, pool);
        const auto unlocked = unlock();
        ksg_mutual_information_matrix(rows, tile, static_cast<std::size_t>(spec.k), pool, out, steps);
    } else {
        throw std::invalid_argument("unknown estimator '" + spec.name + "'");
    }
}

}  // namespace zelmo::network
