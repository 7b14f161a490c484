// All-pairs matrices over binned rows, computed on a pool of threads. Every
// entry is the number the single-pair measure gives for the same two rows,
// to the last bit, whatever the number of threads and however the pairs are
// split into tiles.
#pragma once

#include <cstdint>
#include <vector>

#include "binned_rows.hpp"
#include "parallel.hpp"

namespace zelmo::network {

// The pairs one call computes: every source against every target, as
// indices into the rows it holds. `keys` gives each of those rows its index
// in the whole array of series: keys name a pair's surrogates and order the
// two rows of a symmetric measure, so a tile of a large array gives the
// numbers of the whole. Results are sources x targets, row-major.
struct Tile {
    std::vector<std::size_t> sources, targets;
    std::vector<std::uint64_t> keys;

    // Every row against every row, keyed by position.
    static Tile whole(std::size_t rows);

    std::size_t units() const { return sources.size() * targets.size(); }
    // Whether sources and targets are the same rows in the same order.
    bool square() const { return sources == targets; }
    // Throws std::invalid_argument unless every index names one of `rows`
    // rows and there is one key per row.
    void check(std::size_t rows) const;
    // The ordered pairs of two different rows.
    std::uint64_t ordered_pairs() const;
    // Unit u as (source row, target row).
    void pair(std::size_t u, std::size_t& source, std::size_t& target) const {
        source = sources[u / targets.size()];
        target = targets[u % targets.size()];
    }
};

// out[a, b] = T(source a -> target b), 0.0 where the two are one row.
void transfer_entropy_matrix(const BinnedRows& rows, const Tile& tile, std::uint64_t history, Pool& pool,
                             double* out);

// out[a, b] = I(source a; target b), computed with the row of the smaller
// key first. A square tile computes each unordered pair once and mirrors
// it. The rows' bins are replaced by their ranks among the row's distinct
// bins. Needs n_bins in [1, 2^31].
void mutual_information_matrix(BinnedRows& rows, const Tile& tile, Pool& pool, double* out);

// The units of a tile that mutual_information_matrix computes.
std::uint64_t mutual_information_pairs(const Tile& tile);

}  // namespace zelmo::network
