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
    index_.resize(n * width_);
    distance_.resize(n * width_);
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
            index_[t * width_ + i] = order[i];
            distance_[t * width_ + i] = dist[order[i]];
        }
    }
}

void NearestLists::kth_distances(const Columns& added, std::size_t k, double* eps, std::uint32_t* counts) const {
    const std::size_t n = n_;
    if (added.n != n) panic("added columns of another length");
    if (k == 0 || k >= n) panic("the neighbour rank must be at least 1 and below the number of points");
    const std::size_t dx = added.dims();
    // The joint distance of t and j from their distance over the subspace.
    auto joint = [&](std::size_t t, std::size_t j, double d) {
        for (std::size_t c = 0; c < dx; ++c) d = larger(d, std::fabs(added.columns[c][j] - added.columns[c][t]));
        return d;
    };
    std::vector<double> best(k), full;
    for (std::size_t t = 0; t < n; ++t) {
        stop_point(t);
        std::fill(best.begin(), best.end(), kInfinity);
        double kth = kInfinity;
        const std::uint32_t* index = index_.data() + t * width_;
        const double* distance = distance_.data() + t * width_;
        std::size_t i = 0;
        for (; i < width_; ++i) {
            const double base = distance[i];
            if (!(base < kth)) break;  // no later point comes nearer
            const double d = joint(t, index[i], base);
            kth = offer(best.data(), k, &d, 1, kth);
        }
        if (i == width_ && width_ < n - 1) {
            // Off the list: every other point.
            full.resize(n);
            distances_from(points_, t, full.data());
            std::fill(best.begin(), best.end(), kInfinity);
            kth = kInfinity;
            for (std::size_t j = 0; j < n; ++j) {
                if (j == t) continue;
                const double d = joint(t, j, full[j]);
                kth = offer(best.data(), k, &d, 1, kth);
            }
            std::uint32_t within = 0;
            for (std::size_t j = 0; j < n; ++j) within += j != t && full[j] < kth;
            counts[t] = within;
        } else {
            // Every point beyond position i lies at least distance[i] >= kth
            // away over the subspace.
            counts[t] = static_cast<std::uint32_t>(std::lower_bound(distance, distance + i, kth) - distance);
        }
        eps[t] = kth;
    }
}

}  // namespace zelmo::network::ksg
