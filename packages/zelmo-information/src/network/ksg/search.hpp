// What the neighbour searches of neighbours.hpp share: query points of a
// fixed or run-time number of coordinates, distances to a run of stored
// points, and the k smallest distances offered so far.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "../../kernels/support.hpp"

namespace zelmo::network::ksg {

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline double larger(double a, double b) { return a < b ? b : a; }

// The coordinates of one query point: D of them when D > 0, else as many as
// the structure has.
template <std::size_t D>
struct Query {
    std::array<double, D> q;
    explicit Query(std::size_t) {}
    double& operator[](std::size_t c) { return q[c]; }
    double operator[](std::size_t c) const { return q[c]; }
};

template <>
struct Query<0> {
    std::vector<double> q;
    explicit Query(std::size_t dims) : q(dims) {}
    double& operator[](std::size_t c) { return q[c]; }
    double operator[](std::size_t c) const { return q[c]; }
};

// Calls run.template operator()<D>() with D = dims when a fixed-size search
// exists for it (up to `most` columns), else with D = 0.
template <std::size_t most, class Run>
void by_dims(std::size_t dims, Run&& run) {
    switch (dims) {
        case 1: if constexpr (most >= 1) { run.template operator()<1>(); return; } break;
        case 2: if constexpr (most >= 2) { run.template operator()<2>(); return; } break;
        case 3: if constexpr (most >= 3) { run.template operator()<3>(); return; } break;
        case 4: if constexpr (most >= 4) { run.template operator()<4>(); return; } break;
        case 5: if constexpr (most >= 5) { run.template operator()<5>(); return; } break;
        case 6: if constexpr (most >= 6) { run.template operator()<6>(); return; } break;
        default: break;
    }
    run.template operator()<0>();
}

// Stored points: coordinate c of stored position i at x[c * n + i].
struct Stored {
    const double* x;
    std::size_t n, dims;
};

// out[j] = the distance from q to stored position first + j, j < count.
template <std::size_t D>
inline void distances(const Stored& s, const Query<D>& q, std::size_t first, std::size_t count, double* out) {
    const std::size_t d = D > 0 ? D : s.dims;
    const double* x0 = s.x + first;
    for (std::size_t j = 0; j < count; ++j) out[j] = std::fabs(x0[j] - q[0]);
    for (std::size_t c = 1; c < d; ++c) {
        const double* xc = s.x + c * s.n + first;
        for (std::size_t j = 0; j < count; ++j) out[j] = larger(out[j], std::fabs(xc[j] - q[c]));
    }
}

// The k smallest distances offered so far, ascending, in best[0 .. k) (all
// +inf at first); returns the new k-th smallest. A distance equal to the
// k-th changes nothing, so it is not inserted.
inline double offer(double* best, std::size_t k, const double* dist, std::size_t count, double kth) {
    int nearer = 0;
    for (std::size_t j = 0; j < count; ++j) nearer |= dist[j] < kth;
    if (nearer == 0) return kth;
    for (std::size_t j = 0; j < count; ++j) {
        const double x = dist[j];
        if (!(x < kth)) continue;
        // Inserted without branches: slot i keeps the smaller of its value
        // and the larger of x and the value below it (read before it moves).
        for (std::size_t slot = k - 1; slot > 0; --slot) best[slot] = std::min(best[slot], larger(best[slot - 1], x));
        best[0] = std::min(best[0], x);
        kth = best[k - 1];
    }
    return kth;
}

// The k smallest distances offered so far, ascending, all +inf at first:
// with K > 0 (k fixed at compile time) a small array that the compiler keeps
// in registers, with K = 0 a buffer of the run-time k.
template <std::size_t K>
class Nearest {
public:
    explicit Nearest(std::size_t) {}
    void reset() { best_.fill(kInfinity); }
    double kth() const { return best_[K - 1]; }
    // Inserted without branches as in offer(); a distance at least the k-th
    // changes nothing.
    void insert(double x) {
        for (std::size_t slot = K - 1; slot > 0; --slot) best_[slot] = std::min(best_[slot], larger(best_[slot - 1], x));
        best_[0] = std::min(best_[0], x);
    }

private:
    std::array<double, K> best_;
};

template <>
class Nearest<0> {
public:
    explicit Nearest(std::size_t k) : best_(k) {}
    void reset() { std::fill(best_.begin(), best_.end(), kInfinity); }
    double kth() const { return best_.back(); }
    void insert(double x) {
        for (std::size_t slot = best_.size() - 1; slot > 0; --slot) best_[slot] = std::min(best_[slot], larger(best_[slot - 1], x));
        best_[0] = std::min(best_[0], x);
    }

private:
    std::vector<double> best_;
};

// Offers B distances (B <= 32) to the k nearest so far and returns the new
// k-th. Those nearer than the k-th on entry are found as bits and only they
// are inserted (one that the insertions before it leave no nearer changes
// nothing), so that a block with none costs no branch per distance.
template <std::size_t B, class Best>
[[gnu::always_inline]] inline double offer_block(Best& best, const double* dist) {
    static_assert(B <= 32);
    const double kth = best.kth();
    std::uint32_t nearer = 0;
    for (std::size_t j = 0; j < B; ++j) nearer |= static_cast<std::uint32_t>(dist[j] < kth) << j;
    for (; nearer != 0; nearer &= nearer - 1) best.insert(dist[std::countr_zero(nearer)]);
    return best.kth();
}

// Calls run.template operator()<K>() with K = k for the neighbour ranks that
// have a fixed-size Nearest (the small ones), else with K = 0.
template <class Run>
void by_rank(std::size_t k, Run&& run) {
    switch (k) {
        case 1: run.template operator()<1>(); return;
        case 2: run.template operator()<2>(); return;
        case 3: run.template operator()<3>(); return;
        case 4: run.template operator()<4>(); return;
        case 5: run.template operator()<5>(); return;
        case 6: run.template operator()<6>(); return;
        case 7: run.template operator()<7>(); return;
        case 8: run.template operator()<8>(); return;
        default: run.template operator()<0>(); return;
    }
}

}  // namespace zelmo::network::ksg
