#include "lists.hpp"

#include <algorithm>
#include <cmath>

#include "../../kernels/stop.hpp"
#include "../../kernels/support.hpp"

namespace zelmo::network::ksg {

namespace {

// out[j] = the distance from point t to every point j of `points`.
void distances_from(const Stored& points, std::size_t t, double* out) {
    Query<0> q(points.dims);
    for (std::size_t c = 0; c < points.dims; ++c) q[c] = points.x[c * points.n + t];
    distances<0>(points, q, 0, points.n, out);
}

}  // namespace

void NearestLists::build(const Stored& points, std::size_t width) {
    const std::size_t n = points.n;
    if (points.dims == 0) panic("neighbour lists need at least one column");
    if (n > kMaxPoints) panic("too many points for a neighbour search");
    n_ = n;
    points_ = points;
    width_ = n == 0 ? 0 : std::min(width, n - 1);
    // Each list padded to whole blocks with entries at +inf (of point 0),
    // which no scan inserts.
    stride_ = (width_ + kBlock - 1) / kBlock * kBlock;
    index_.assign(n * stride_, 0);
    distance_.assign(n * stride_, kInfinity);
    std::vector<double> dist(n);
    std::vector<std::uint32_t> order(n);
    for (std::size_t t = 0; t < n; ++t) {
        stop_point(t, 64);
        distances_from(points, t, dist.data());
        // The others by distance, ties by point, so that a list is the same
        // on every machine.
        std::size_t m = 0;
        for (std::size_t j = 0; j < n; ++j) {
            if (j != t) order[m++] = static_cast<std::uint32_t>(j);
        }
        auto nearer = [&](std::uint32_t a, std::uint32_t b) { return dist[a] < dist[b] || (dist[a] == dist[b] && a < b); };
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(width_), order.begin() + static_cast<std::ptrdiff_t>(m), nearer);
        std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(width_), nearer);
        for (std::size_t i = 0; i < width_; ++i) {
            index_[t * stride_ + i] = order[i];
            distance_[t * stride_ + i] = dist[order[i]];
        }
    }
}

void NearestLists::kth_distances(const Columns& added, std::size_t k, double* eps, std::uint32_t* counts) const {
    if (added.n != n_) panic("added columns of another length");
    if (k == 0 || k >= n_) panic("the neighbour rank must be at least 1 and below the number of points");
    by_rank(k, [&]<std::size_t K>() { kth_distances_in<K>(added, k, eps, counts); });
}

template <std::size_t K>
void NearestLists::kth_distances_in(const Columns& added, std::size_t k, double* eps, std::uint32_t* counts) const {
    const std::size_t n = n_;
    const std::size_t dx = added.dims();
    // The joint distance of t and j from their distance over the subspace.
    auto joint = [&](std::size_t t, std::size_t j, double d) {
        for (std::size_t c = 0; c < dx; ++c) d = larger(d, std::fabs(added.columns[c][j] - added.columns[c][t]));
        return d;
    };
    Nearest<K> best(k);
    std::vector<double> full;
    for (std::size_t t = 0; t < n; ++t) {
        stop_point(t);
        best.reset();
        double kth = kInfinity;
        const std::uint32_t* index = index_.data() + t * stride_;
        const double* distance = distance_.data() + t * stride_;
        // The list a block at a time; the scan stops after a block whose
        // last entry is at least the k-th away over the subspace, since no
        // later one comes nearer.
        std::size_t read = 0;
        bool stopped = false;
        while (read < width_) {
            double d[kBlock];
            for (std::size_t j = 0; j < kBlock; ++j) d[j] = distance[read + j];
            for (std::size_t c = 0; c < dx; ++c) {
                const double* x = added.columns[c];
                const double q = x[t];
                for (std::size_t j = 0; j < kBlock; ++j) d[j] = larger(d[j], std::fabs(x[index[read + j]] - q));
            }
            kth = offer_block<kBlock>(best, d);
            read = std::min(read + kBlock, width_);
            if (!(distance[read - 1] < kth)) {
                stopped = true;
                break;
            }
        }
        if (!stopped && width_ < n - 1) {
            // Off the list: every other point.
            full.resize(n);
            distances_from(points_, t, full.data());
            best.reset();
            kth = kInfinity;
            for (std::size_t j = 0; j < n; ++j) {
                if (j == t) continue;
                const double d = joint(t, j, full[j]);
                if (d < kth) {
                    best.insert(d);
                    kth = best.kth();
                }
            }
            std::uint32_t within = 0;
            for (std::size_t j = 0; j < n; ++j) within += j != t && full[j] < kth;
            counts[t] = within;
        } else {
            // Every point beyond the entries read lies at least the last
            // one's distance, at least kth, away over the subspace.
            counts[t] = static_cast<std::uint32_t>(std::lower_bound(distance, distance + read, kth) - distance);
        }
        eps[t] = kth;
    }
}

}  // namespace zelmo::network::ksg
