#include <algorithm>
#include <array>
#include <cmath>

#include "neighbours.hpp"
#include "search.hpp"

namespace zelmo::network::ksg {

namespace {

// Points a cell holds on average, by the number of columns: what measured
// fastest on Gaussian and dependent data (fewer, fuller cells pay once the
// shells hold many cells).
constexpr std::array<double, RankGrid::kMaxDims + 1> kPerCell{0.0, 4.0, 2.0, 8.0};

}  // namespace

void RankGrid::build(const Subspace& points) {
    const std::size_t n = points.points.n, d = points.dims();
    if (d == 0 || d > kMaxDims) panic("a grid search needs one to three coordinates");
    if (n > kMaxPoints) panic("too many points for a neighbour search");
    n_ = n;
    dims_ = d;
    const double root = std::floor(std::pow(static_cast<double>(n) / kPerCell[d], 1.0 / static_cast<double>(d)) + 0.5);
    slabs_ = static_cast<std::size_t>(std::clamp(root, 1.0, static_cast<double>(std::max<std::size_t>(n, 1))));
    const std::size_t g = slabs_;
    std::size_t cells = 1;
    for (std::size_t c = 0; c < d; ++c) cells *= g;
    // The cell of each point, then the points stored by cell (a counting
    // sort, in order of the points within a cell).
    std::vector<std::uint32_t> cell(n);
    starts_.assign(cells + 1, 0);
    for (std::size_t t = 0; t < n; ++t) {
        std::size_t id = 0;
        for (std::size_t c = 0; c < d; ++c) {
            id = id * g + static_cast<std::size_t>(static_cast<std::uint64_t>(points.lines[c]->position(t)) * g / n);
        }
        cell[t] = static_cast<std::uint32_t>(id);
        ++starts_[id + 1];
    }
    for (std::size_t i = 1; i <= cells; ++i) starts_[i] += starts_[i - 1];
    index_.resize(n);
    {
        std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
        for (std::size_t t = 0; t < n; ++t) index_[next[cell[t]]++] = static_cast<std::uint32_t>(t);
    }
    // Each column padded by a block, so that a block read from any stored
    // position stays inside.
    stride_ = n + kBlock;
    coords_.assign(d * stride_, 0.0);
    for (std::size_t c = 0; c < d; ++c) {
        const double* column = points.points.columns[c];
        for (std::size_t i = 0; i < n; ++i) coords_[c * stride_ + i] = column[index_[i]];
    }
    // Slab s holds the sorted positions [ceil(s n / g), ceil((s + 1) n / g)),
    // never empty since g <= n.
    slab_lo_.resize(d * g);
    slab_hi_.resize(d * g);
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t s = 0; s < g; ++s) {
            const std::size_t first = (s * n + g - 1) / g, end = ((s + 1) * n + g - 1) / g;
            slab_lo_[c * g + s] = points.lines[c]->value(first);
            slab_hi_[c * g + s] = points.lines[c]->value(end - 1);
        }
    }
}

void RankGrid::kth_distances(std::size_t k, double* eps) const {
    if (k == 0 || k >= n_) panic("the neighbour rank must be at least 1 and below the number of points");
    by_dims<kMaxDims>(dims_, [&]<std::size_t D>() {
        if constexpr (D > 0) by_rank(k, [&]<std::size_t K>() { kth_distances_in<D, K>(k, eps); });
    });
}

// The rows of shell 1 (below) by their offsets in the leading columns, those
// one slab away in one column first, then in two, and so on.
template <std::size_t D>
constexpr auto shell_one_rows() {
    constexpr std::size_t lead = D - 1;
    constexpr std::size_t count = [] {
        std::size_t c = 1;
        for (std::size_t i = 0; i < lead; ++i) c *= 3;
        return c - 1;
    }();
    std::array<std::array<long, D>, count> rows{};
    std::size_t m = 0;
    for (std::size_t moved = 1; moved <= lead; ++moved) {
        for (std::size_t code = 0; code <= count; ++code) {  // 3^lead codes, the all-zero one skipped
            std::array<long, D> offset{};
            std::size_t rest = code, nonzero = 0;
            for (std::size_t c = 0; c < lead; ++c) {
                offset[c] = static_cast<long>(rest % 3) - 1;
                nonzero += offset[c] != 0;
                rest /= 3;
            }
            if (nonzero == moved) rows[m++] = offset;
        }
    }
    return rows;
}

// A point's neighbours are sought in its cell (shell 0), then shell by shell:
// shell s of the cell (a_0, .., a_{D-1}) holds the cells whose slabs differ
// from a's by at most s in every column and by s in one.
template <std::size_t D, std::size_t K>
void RankGrid::kth_distances_in(std::size_t k, double* eps) const {
    const std::size_t stride = stride_;
    const long g = static_cast<long>(slabs_);
    const std::size_t cells = starts_.size() - 1;
    Nearest<K> best(k);
    Query<D> q(D);
    std::array<long, D> a;
    // The rows of shell 1 and the distance in cells from the first cell of a
    // point's row to the first of each (modulo 2^64: a step back wraps, and
    // is only taken to a row inside the grid).
    static constexpr auto kRows = shell_one_rows<D>();
    std::array<std::size_t, kRows.size()> row_step;
    for (std::size_t m = 0; m < kRows.size(); ++m) {
        std::size_t step = 0;
        for (std::size_t c = 0; c + 1 < D; ++c) step = step * slabs_ + static_cast<std::size_t>(kRows[m][c]);
        row_step[m] = step * slabs_;
    }
    for (std::size_t id = 0; id < cells; ++id) {
        std::size_t rest = id;
        for (std::size_t c = D; c-- > 0;) {
            a[c] = static_cast<long>(rest % slabs_);
            rest /= slabs_;
        }
        // The largest value of the slab below the cell's in each column and
        // the smallest of the slab above (-inf and +inf where there is none).
        std::array<double, D> edge_below, edge_above;
        for (std::size_t c = 0; c < D; ++c) {
            edge_below[c] = a[c] > 0 ? slab_hi_[c * slabs_ + static_cast<std::size_t>(a[c] - 1)] : -kInfinity;
            edge_above[c] = a[c] + 1 < g ? slab_lo_[c * slabs_ + static_cast<std::size_t>(a[c] + 1)] : kInfinity;
        }
        for (std::size_t p = starts_[id]; p < starts_[id + 1]; ++p) {
            for (std::size_t c = 0; c < D; ++c) q[c] = coords_[c * stride + p];
            best.reset();
            double kth = kInfinity;
            // The stored positions [begin, end) in whole blocks: a lane past
            // the end, or the point itself, is +inf.
            auto scan = [&](std::size_t begin, std::size_t end) __attribute__((always_inline)) {
                for (; begin < end; begin += kBlock) {
                    double dist[kBlock];
                    const double* x = coords_.data() + begin;
                    for (std::size_t j = 0; j < kBlock; ++j) dist[j] = std::fabs(x[j] - q[0]);
                    for (std::size_t c = 1; c < D; ++c) {
                        for (std::size_t j = 0; j < kBlock; ++j) dist[j] = larger(dist[j], std::fabs(x[c * stride + j] - q[c]));
                    }
                    for (std::size_t j = 0; j < kBlock; ++j) dist[j] = begin + j < end ? dist[j] : kInfinity;
                    if (p - begin < kBlock) dist[p - begin] = kInfinity;  // not its own neighbour
                    kth = offer_block<kBlock>(best, dist);
                }
            };
            // No point of slab i of column c is nearer to q in that column than this.
            auto gap = [&](std::size_t c, long i) {
                if (i == a[c]) return 0.0;
                return i < a[c] ? q[c] - slab_hi_[c * slabs_ + static_cast<std::size_t>(i)]
                                : slab_lo_[c * slabs_ + static_cast<std::size_t>(i)] - q[c];
            };
            auto run = [&](std::size_t base, long first, long last) __attribute__((always_inline)) {  // the cells first .. last of a row
                scan(starts_[base + static_cast<std::size_t>(first)], starts_[base + static_cast<std::size_t>(last) + 1]);
            };
            constexpr std::size_t last = D - 1;
            // The first cell of the row at leading slabs i.
            auto row_base = [&](const std::array<long, D>& i) {
                std::size_t base = 0;
                for (std::size_t c = 0; c < last; ++c) base = base * slabs_ + static_cast<std::size_t>(i[c]);
                return base * slabs_;
            };
            // The cells of a row within [first, final] in the last column
            // that may hold a point nearer than the k-th.
            auto run_near = [&](std::size_t base, long first, long final) __attribute__((always_inline)) {
                while (first < a[last] && gap(last, first) >= kth) ++first;
                while (final > a[last] && gap(last, final) >= kth) --final;
                run(base, first, final);
            };
            // Whether no point beyond shell s can come nearer: the shell
            // covers the grid, or every point beyond it lies in a slab
            // outside it in some column.
            auto finished = [&](long s) {
                bool whole = true;
                double beyond = kInfinity;
                for (std::size_t c = 0; c < D; ++c) {
                    whole = whole && a[c] - s <= 0 && a[c] + s >= g - 1;
                    if (a[c] - s - 1 >= 0) beyond = std::min(beyond, gap(c, a[c] - s - 1));
                    if (a[c] + s + 1 < g) beyond = std::min(beyond, gap(c, a[c] + s + 1));
                }
                return whole || kth <= beyond;
            };
            const std::size_t own = id - static_cast<std::size_t>(a[last]);  // the first cell of its row
            run(own, a[last], a[last]);  // shell 0
            // The gaps to the slabs next to the point's in each column, below
            // and above (+inf where there is none), with 0 for its own between.
            std::array<std::array<double, 3>, D> next_gap;
            double beyond = kInfinity;
            for (std::size_t c = 0; c < D; ++c) {
                next_gap[c] = {q[c] - edge_below[c], 0.0, edge_above[c] - q[c]};
                beyond = std::min({beyond, next_gap[c][0], next_gap[c][2]});
            }
            if (kth > beyond) {  // else no point beyond shell 0 can come nearer
                // Shell 1 nearest first, so that the k-th falls early and
                // more of its cells are passed over: the two neighbours in
                // the point's own row, the nearer first, then the other rows.
                const long below = a[last] - 1, above = a[last] + 1;
                const bool below_first = next_gap[last][0] <= next_gap[last][2];
                const long nearer = below_first ? below : above, farther = below_first ? above : below;
                if (std::min(next_gap[last][0], next_gap[last][2]) < kth) run(own, nearer, nearer);
                if (std::max(next_gap[last][0], next_gap[last][2]) < kth) run(own, farther, farther);
#pragma GCC unroll 8
                for (std::size_t m = 0; m < kRows.size(); ++m) {
                    // A row off the grid has a gap of +inf, and so is passed over.
                    double row_gap = 0.0;
                    for (std::size_t c = 0; c < last; ++c) row_gap = larger(row_gap, next_gap[c][static_cast<std::size_t>(kRows[m][c] + 1)]);
                    if (row_gap < kth) {
                        const std::size_t base = own + row_step[m];
                        const long first = next_gap[last][0] < kth ? below : a[last];
                        const long final = next_gap[last][2] < kth ? above : a[last];
                        run(base, first, final);
                    }
                }
                for (long s = 1; !finished(s);) {
                    ++s;
                    // Shell s a row at a time along the last column, where
                    // the cells of a row are stored one after another: a row
                    // on the shell in a leading column is scanned whole, any
                    // other only at its two ends.
                    std::array<long, D> lo, hi;
                    for (std::size_t c = 0; c < D; ++c) {
                        lo[c] = std::max(0L, a[c] - s);
                        hi[c] = std::min(g - 1, a[c] + s);
                    }
                    std::array<long, D> i = lo;
                    for (;;) {
                        bool on_shell = false;
                        double row_gap = 0.0;
                        for (std::size_t c = 0; c < last; ++c) {
                            on_shell = on_shell || i[c] == a[c] - s || i[c] == a[c] + s;
                            row_gap = larger(row_gap, gap(c, i[c]));
                        }
                        if (row_gap < kth) {
                            const std::size_t base = row_base(i);
                            if (on_shell) {
                                run_near(base, lo[last], hi[last]);
                            } else {
                                if (a[last] - s >= 0 && gap(last, a[last] - s) < kth) run(base, a[last] - s, a[last] - s);
                                if (a[last] + s < g && gap(last, a[last] + s) < kth) run(base, a[last] + s, a[last] + s);
                            }
                        }
                        // The next row: an odometer over the leading columns.
                        std::size_t c = last;
                        while (c-- > 0) {
                            if (i[c] < hi[c]) {
                                ++i[c];
                                break;
                            }
                            i[c] = lo[c];
                        }
                        if (c == static_cast<std::size_t>(-1)) break;
                    }
                }
            }
            eps[index_[p]] = kth;
        }
    }
}

}  // namespace zelmo::network::ksg
