#include "mutual_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "../../kernels/key_counts.hpp"
#include "../../kernels/radix_sort.hpp"
#include "../../kernels/stop.hpp"
#include "../../kernels/transfer_entropy.hpp"
#include "../../kernels/vector_ops.hpp"

namespace zelmo::network {

namespace {

// Each row's bins as codes with the count of every code: the bins
// themselves when there are few (codes of no sample count 0), else their
// ranks among the row's distinct bins, in ascending bin order. Ranks keep
// the order of the bins, so a table indexed by ranks is the bin table
// without its empty rows and columns, visited in the same order.
struct RankedRows {
    std::vector<std::size_t> start;  // counts of row i: counts[start[i] .. start[i + 1])
    std::vector<std::uint64_t> counts;

    std::size_t distinct(std::size_t i) const { return start[i + 1] - start[i]; }
    const std::uint64_t* of(std::size_t i) const { return counts.data() + start[i]; }
};

// Bin counts up to this many are kept as codes, only counted.
constexpr std::uint64_t kCountedBins = 256;

// Up to this many, bins are ranked through a table of one counter per bin
// (while the table is also within a few times the samples), beyond it by
// sorting the row's bins.
constexpr std::uint64_t kTabledBins = std::uint64_t{1} << 24;

// Adds the count of every bin of a row to `table` (n_bins counters).
void count_bins(const std::uint32_t* bins, std::size_t length, Counts& table) {
    vec::Tally tally(table.data(), table.size(), length);
    for_pieces(length, [&](std::size_t begin, std::size_t end) { tally.add(bins + begin, end - begin); });
    tally.finish();
}

bool ranks_by_table(std::uint64_t n_bins, std::size_t length) {
    return n_bins <= kTabledBins && n_bins <= std::max<std::uint64_t>(std::uint64_t{1} << 12, 2 * std::uint64_t{length});
}

// Ranks through a table: count every bin, number the occupied bins in
// ascending order, and replace each bin by its number. `table` holds
// n_bins zeros and is left so.
void rank_by_table(std::uint32_t* bins, std::size_t length, Counts& table, std::vector<std::uint64_t>& counts) {
    count_bins(bins, length, table);
    std::uint64_t next = 0;
    for_pieces(table.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            if (table[b] == 0) continue;
            counts.push_back(table[b]);
            table[b] = next++;
        }
    });
    for_pieces(length, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) bins[t] = static_cast<std::uint32_t>(table[bins[t]]);
    });
    std::fill(table.begin(), table.end(), std::uint64_t{0});
}

// Ranks by sorting: every step's (bin, step) in one 64-bit key, radix
// sorted; the runs of one bin are the ranks in ascending order. Needs fewer
// than 2^32 steps.
void rank_by_sorting(std::uint32_t* bins, std::size_t length, std::uint64_t n_bins,
                     std::vector<std::uint64_t>& counts) {
    Buffer<std::uint64_t> keys = Buffer<std::uint64_t>::uninitialised(length);
    for_pieces(length, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) keys[t] = std::uint64_t{bins[t]} << 32 | t;
    });
    {
        Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(length);
        radix_sort(keys.data(), length, (n_bins - 1) << 32 | (length - 1), scratch.data());
    }
    std::uint32_t rank = 0;
    StopEvery stop;
    for (std::size_t i = 0; i < length; ++rank) {
        stop.at(i);
        const std::uint64_t bin = keys[i] >> 32;
        std::size_t j = i;
        for (; j < length && keys[j] >> 32 == bin; ++j) bins[keys[j] & 0xFFFFFFFFu] = rank;
        counts.push_back(j - i);
        i = j;
    }
}

// The same for rows of 2^32 steps or more: the distinct bins sorted, and
// each bin's place among them.
void rank_by_searching(std::uint32_t* bins, std::size_t length, std::vector<std::uint64_t>& counts) {
    std::vector<std::uint32_t> distinct(bins, bins + length);
    std::size_t comparisons = 0;
    std::sort(distinct.begin(), distinct.end(), stopping(std::less<std::uint32_t>{}, comparisons));
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    counts.assign(distinct.size(), 0);
    for_pieces(length, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            const auto rank = static_cast<std::uint32_t>(
                std::lower_bound(distinct.begin(), distinct.end(), bins[t]) - distinct.begin());
            bins[t] = rank;
            ++counts[rank];
        }
    });
}

RankedRows rank_rows(BinnedRows& rows, Pool& pool) {
    const std::size_t m = rows.rows();
    const std::size_t length = rows.length();
    const bool counted = rows.n_bins() <= kCountedBins;
    const bool tabled = ranks_by_table(rows.n_bins(), length);
    std::vector<std::vector<std::uint64_t>> per_row(m);
    std::vector<Counts> tables(pool.workers());
    pool.run(m, [&](std::size_t i, unsigned slot) {
        if (counted) {
            Counts table = Counts::zeroed(static_cast<std::size_t>(rows.n_bins()));
            count_bins(rows.bins32(i), length, table);
            per_row[i].assign(table.begin(), table.end());
        } else if (tabled) {
            if (tables[slot].size() == 0) tables[slot] = Counts::zeroed(static_cast<std::size_t>(rows.n_bins()));
            rank_by_table(rows.bins32(i), length, tables[slot], per_row[i]);
        } else if (length < (std::uint64_t{1} << 32)) {
            rank_by_sorting(rows.bins32(i), length, rows.n_bins(), per_row[i]);
        } else {
            rank_by_searching(rows.bins32(i), length, per_row[i]);
        }
        return std::uint64_t{0};
    });
    RankedRows ranked;
    ranked.start.assign(m + 1, 0);
    for (std::size_t i = 0; i < m; ++i) ranked.start[i + 1] = ranked.start[i] + per_row[i].size();
    ranked.counts.reserve(ranked.start[m]);
    for (auto& counts : per_row) ranked.counts.insert(ranked.counts.end(), counts.begin(), counts.end());
    return ranked;
}

// The mutual-information sum over occupied cells in ascending (x, y) order,
// each term formed as the single-pair function forms it.
struct MutualSum {
    double total;
    const std::uint64_t* cx;
    const std::uint64_t* cy;
    double mi = 0.0;
    std::size_t row = SIZE_MAX;
    double px = 0.0;

    void add(std::size_t x, std::size_t y, std::uint64_t c) {
        if (x != row) {
            row = x;
            px = static_cast<double>(cx[x]) / total;
        }
        const double pxy = static_cast<double>(c) / total;
        const double py = static_cast<double>(cy[y]) / total;
        mi = mi + pxy * std::log2(pxy / (px * py));
    }
};

// Per-thread scratch for the pairs: a dense table while the distinct bins
// of the two rows span few cells, else the packed pairs to sort.
class MutualWorker {
public:
    MutualWorker(const BinnedRows& rows, const RankedRows& ranked, std::size_t dense_cells)
        : rows_(rows), ranked_(ranked), dense_cells_(dense_cells) {}

    double estimate(std::size_t i, std::size_t j) {
        const std::size_t length = rows_.length();
        const std::uint32_t* x = rows_.bins32(i);
        const std::uint32_t* y = rows_.bins32(j);
        const std::size_t dx = ranked_.distinct(i), dy = ranked_.distinct(j);
        MutualSum sum{static_cast<double>(length), ranked_.of(i), ranked_.of(j)};
        if (i == j) {
            // A row with itself occupies the cells (a, a) of its counts
            // alone: the same terms in the same order, without counting.
            for (std::size_t a = 0; a < dx; ++a) {
                if (ranked_.of(i)[a] != 0) sum.add(a, a, ranked_.of(i)[a]);
            }
        } else if (dx * dy <= dense_cells_) {
            if (table_.size() == 0) table_ = Counts::zeroed(dense_cells_);
            count_pairs(x, y, length, dx, dy);
            for (std::size_t a = 0; a < dx; ++a) {
                std::uint64_t* row = table_.data() + a * dy;
                for_each_occupied(row, dy, [&](std::size_t b, std::uint64_t c) { sum.add(a, b, c); });
                std::fill(row, row + dy, std::uint64_t{0});
            }
        } else {
            if (keys_.size() < length) {
                keys_ = Buffer<std::uint64_t>::uninitialised(length);
                scratch_ = Buffer<std::uint64_t>::uninitialised(length);
            }
            for (std::size_t t = 0; t < length; ++t) keys_[t] = std::uint64_t{x[t]} << 32 | y[t];
            radix_sort(keys_.data(), length, (std::uint64_t{dx - 1} << 32) | (dy - 1), scratch_.data());
            StopEvery stop;
            for (std::size_t t = 0; t < length;) {
                stop.at(t);
                std::size_t u = t + 1;
                while (u < length && keys_[u] == keys_[t]) ++u;
                sum.add(keys_[t] >> 32, keys_[t] & 0xFFFFFFFFu, u - t);
                t = u;
            }
        }
        return sum.mi > 0.0 ? sum.mi : 0.0;
    }

    // The same over the steps at which both rows are present, their counts
    // over those steps; `steps` receives how many.
    double masked(std::size_t i, std::size_t j, std::size_t& steps) {
        const std::size_t length = rows_.length();
        const std::uint32_t* x = rows_.bins32(i);
        const std::uint32_t* y = rows_.bins32(j);
        const std::uint8_t *pi = rows_.present(i), *pj = rows_.present(j);
        const std::size_t dx = ranked_.distinct(i), dy = ranked_.distinct(j);
        if (keys_.size() < length) {
            keys_ = Buffer<std::uint64_t>::uninitialised(length);
            scratch_ = Buffer<std::uint64_t>::uninitialised(length);
        }
        std::vector<std::uint64_t> cx(dx, 0), cy(dy, 0);
        std::size_t n = 0;
        for (std::size_t t = 0; t < length; ++t) {
            if (!pi[t] || !pj[t]) continue;
            keys_[n++] = std::uint64_t{x[t]} << 32 | y[t];
            ++cx[x[t]];
            ++cy[y[t]];
        }
        steps = n;
        if (n < 3) return 0.0;
        radix_sort(keys_.data(), n, (std::uint64_t{dx - 1} << 32) | (dy - 1), scratch_.data());
        MutualSum sum{static_cast<double>(n), cx.data(), cy.data()};
        for (std::size_t t = 0; t < n;) {
            std::size_t u = t + 1;
            while (u < n && keys_[u] == keys_[t]) ++u;
            sum.add(keys_[t] >> 32, keys_[t] & 0xFFFFFFFFu, u - t);
            t = u;
        }
        return sum.mi > 0.0 ? sum.mi : 0.0;
    }

private:
    // Counts the cells x * dy + y of the pairs into table_.
    void count_pairs(const std::uint32_t* x, const std::uint32_t* y, std::size_t length, std::size_t dx,
                     std::size_t dy) {
        if (dx * dy > UINT32_MAX) {
            for_pieces(length, [&](std::size_t begin, std::size_t end) {
                for (std::size_t t = begin; t < end; ++t) ++table_[x[t] * dy + y[t]];
            });
            return;
        }
        vec::Tally tally(table_.data(), dx * dy, length);
        const auto width = static_cast<std::uint32_t>(dy);
        std::uint32_t cells[vec::kBlock];
        for_pieces(length, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; t += vec::kBlock) {
                const std::size_t len = std::min(vec::kBlock, end - t);
                for (std::size_t k = 0; k < len; ++k) cells[k] = x[t + k] * width + y[t + k];
                tally.add(cells, len);
            }
        });
        tally.finish();
    }

    const BinnedRows& rows_;
    const RankedRows& ranked_;
    std::size_t dense_cells_;
    Counts table_;
    Buffer<std::uint64_t> keys_, scratch_;
};

}  // namespace

void mutual_information_matrix(BinnedRows& rows, const Tile& tile, Pool& pool, double* out, double* steps) {
    const std::size_t m = rows.rows();
    const std::size_t length = rows.length();
    std::fill(out, out + tile.units(), 0.0);
    if (steps != nullptr) std::fill(steps, steps + tile.units(), static_cast<double>(length));
    if (m == 0 || length < 3) return;
    const RankedRows ranked = rank_rows(rows, pool);
    std::size_t widest = 0;
    for (std::size_t i = 0; i < m; ++i) widest = std::max(widest, ranked.distinct(i));
    // Dense while the table stays within a few times the samples (and small).
    const std::size_t dense_cells =
        std::min<std::size_t>(widest * widest, std::max<std::size_t>(4 * length, std::size_t{1} << 16));

    const bool square = tile.square();
    const std::size_t columns = tile.targets.size();
    std::vector<std::optional<MutualWorker>> workers(pool.workers());
    pool.run(tile.units(), [&](std::size_t u, unsigned slot) {
        const std::size_t a = u / columns, b = u % columns;
        if (square && b < a) return std::uint64_t{0};  // the mirror of (b, a)
        std::size_t i, j;
        tile.pair(u, i, j);
        if (tile.keys[j] < tile.keys[i]) std::swap(i, j);
        double mi = 0.0;
        std::size_t counted = length;
        if (!workers[slot]) workers[slot].emplace(rows, ranked, dense_cells);
        if (rows.any_missing() && (rows.row_missing(i) || rows.row_missing(j))) {
            mi = workers[slot]->masked(i, j, counted);
        } else if (!rows.constant(i) && !rows.constant(j)) {
            mi = workers[slot]->estimate(i, j);
        }
        out[u] = mi;
        if (square) out[b * columns + a] = mi;
        if (steps != nullptr) {
            steps[u] = static_cast<double>(counted);
            if (square) steps[b * columns + a] = static_cast<double>(counted);
        }
        return std::uint64_t{1};
    });
}

}  // namespace zelmo::network
