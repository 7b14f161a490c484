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
    coords_.resize(d * n);
    for (std::size_t c = 0; c < d; ++c) {
        const double* column = points.points.columns[c];
        for (std::size_t i = 0; i < n; ++i) coords_[c * n + i] = column[index_[i]];
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
        if constexpr (D > 0) kth_distances_in<D>(k, eps);
    });
}

// Shell s of the cell (a_0, .., a_{D-1}) holds the cells whose slabs differ
// from a's by at most s in every column and by s in one. It is scanned a row
// at a time along the last column, where the cells of a row are stored one
// after another: a row that is on the shell in a leading column is scanned
// whole, any other only at its two ends.
template <std::size_t D>
void RankGrid::kth_distances_in(std::size_t k, double* eps) const {
    constexpr std::size_t kChunk = 64;
    const std::size_t n = n_;
    const long g = static_cast<long>(slabs_);
    const Stored stored{coords_.data(), n, D};
    const std::size_t cells = starts_.size() - 1;
    std::vector<double> best(k);
    double dist[kChunk];
    Query<D> q(D);
    std::array<long, D> a;
    for (std::size_t id = 0; id < cells; ++id) {
        std::size_t rest = id;
        for (std::size_t c = D; c-- > 0;) {
            a[c] = static_cast<long>(rest % slabs_);
            rest /= slabs_;
        }
        for (std::size_t p = starts_[id]; p < starts_[id + 1]; ++p) {
            for (std::size_t c = 0; c < D; ++c) q[c] = coords_[c * n + p];
            std::fill(best.begin(), best.end(), kInfinity);
            double kth = kInfinity;
            auto scan = [&](std::size_t begin, std::size_t end) {
                for (; begin < end; begin += kChunk) {
                    const std::size_t m = std::min(end - begin, kChunk);
                    distances<D>(stored, q, begin, m, dist);
                    if (p >= begin && p < begin + m) dist[p - begin] = kInfinity;  // not its own neighbour
                    kth = offer(best.data(), k, dist, m, kth);
                }
            };
            // No point of slab i of column c is nearer to q in that column than this.
            auto gap = [&](std::size_t c, long i) {
                if (i == a[c]) return 0.0;
                return i < a[c] ? q[c] - slab_hi_[c * slabs_ + static_cast<std::size_t>(i)]
                                : slab_lo_[c * slabs_ + static_cast<std::size_t>(i)] - q[c];
            };
            auto run = [&](std::size_t base, long first, long last) {  // the cells first .. last of a row
                scan(starts_[base + static_cast<std::size_t>(first)], starts_[base + static_cast<std::size_t>(last) + 1]);
            };
            for (long s = 0;; ++s) {
                std::array<long, D> lo, hi, i;
                bool whole = true;
                for (std::size_t c = 0; c < D; ++c) {
                    lo[c] = std::max(0L, a[c] - s);
                    hi[c] = std::min(g - 1, a[c] + s);
                    whole = whole && lo[c] == 0 && hi[c] == g - 1;
                }
                i = lo;
                for (;;) {
                    bool on_shell = false;
                    double row_gap = 0.0;
                    std::size_t base = 0;
                    for (std::size_t c = 0; c + 1 < D; ++c) {
                        on_shell = on_shell || i[c] == a[c] - s || i[c] == a[c] + s;
                        row_gap = larger(row_gap, gap(c, i[c]));
                        base = base * slabs_ + static_cast<std::size_t>(i[c]);
                    }
                    base *= slabs_;
                    constexpr std::size_t last = D - 1;
                    if (row_gap < kth) {
                        if (on_shell) {
                            long first = lo[last], final = hi[last];
                            while (first < a[last] && gap(last, first) >= kth) ++first;
                            while (final > a[last] && gap(last, final) >= kth) --final;
                            run(base, first, final);
                        } else {
                            if (a[last] - s >= 0 && gap(last, a[last] - s) < kth) run(base, a[last] - s, a[last] - s);
                            if (s > 0 && a[last] + s < g && gap(last, a[last] + s) < kth) run(base, a[last] + s, a[last] + s);
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
                if (whole) break;
                // Every point beyond the shell lies in a slab outside it in
                // some column.
                double beyond = kInfinity;
                for (std::size_t c = 0; c < D; ++c) {
                    if (a[c] - s - 1 >= 0) beyond = std::min(beyond, gap(c, a[c] - s - 1));
                    if (a[c] + s + 1 < g) beyond = std::min(beyond, gap(c, a[c] + s + 1));
                }
                if (kth <= beyond) break;
            }
            eps[index_[p]] = kth;
        }
    }
}

}  // namespace zelmo::network::ksg
