// The pairs one call computes: every source against every target, as
// indices into the rows it holds. `keys` gives each of those rows its index
// in the whole array of series: keys name a pair's surrogates and order the
// two rows of a symmetric measure, so a tile of a large array gives the
// numbers of the whole. Results are sources x targets, row-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmo::network {

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
    // The units of a symmetric measure: a square tile computes each
    // unordered pair once.
    std::uint64_t symmetric_units() const {
        const std::uint64_t n = sources.size();
        return square() ? n * (n + 1) / 2 : units();
    }
};

}  // namespace zelmo::network
