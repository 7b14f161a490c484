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

namespace zelmo::network {

namespace {

// Each row's bins replaced by their ranks among the row's distinct bins, in
// ascending bin order, with the count of every rank. Ranks keep the order of
// the bins, so a table indexed by ranks is the bin table without its empty
// rows and columns, visited in the same order.
struct RankedRows {
    std::vector<std::size_t> start;  // counts of row i: counts[start[i] .. start[i + 1])
    std::vector<std::uint64_t> counts;

    std::size_t distinct(std::size_t i) const { return start[i + 1] - start[i]; }
    const std::uint64_t* of(std::size_t i) const { return counts.data() + start[i]; }
};

RankedRows rank_rows(BinnedRows& rows, Pool& pool) {
    const std::size_t m = rows.rows();
    const std::size_t length = rows.length();
    std::vector<std::vector<std::uint64_t>> per_row(m);
    pool.run(m, [&](std::size_t i, unsigned) {
        std::uint32_t* bins = rows.bins32(i);
        std::vector<std::uint32_t> distinct(bins, bins + length);
        std::size_t comparisons = 0;
        std::sort(distinct.begin(), distinct.end(), stopping(std::less<std::uint32_t>{}, comparisons));
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        std::vector<std::uint64_t>& counts = per_row[i];
        counts.assign(distinct.size(), 0);
        for (std::size_t t = 0; t < length; ++t) {
            stop_point(t);
            const auto rank = static_cast<std::uint32_t>(
                std::lower_bound(distinct.begin(), distinct.end(), bins[t]) - distinct.begin());
            bins[t] = rank;
            ++counts[rank];
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
        if (dx * dy <= dense_cells_) {
            if (table_.size() == 0) table_ = Counts::zeroed(dense_cells_);
            for (std::size_t t = 0; t < length; ++t) ++table_[x[t] * dy + y[t]];
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
            for (std::size_t t = 0; t < length;) {
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
