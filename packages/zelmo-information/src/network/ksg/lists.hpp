// Nearest-neighbour lists of a fixed subspace, for searches in a joint space
// that adds columns to it. The distance over the joint space is the larger
// of the distance over the subspace and over the added columns, so it is at
// least the subspace's: scanning a point's others in ascending order of
// their subspace distance, once that distance reaches the k-th smallest
// joint distance so far, no later point can come nearer. The k-th joint
// distance is then exact, equal to a comparison of every pair, since every
// distance is formed as everywhere else (each difference rounded once, the
// largest taken) and a distance equal to the k-th changes nothing.
//
// A list holds the `width` nearest others of each point; a point whose scan
// runs off its list is searched against every point. The lists pay where a
// context serves many values at a few thousand points: at 10^3 points a
// value takes a quarter to a half of the time of the joint structures (3 to
// 6 columns), at 4 10^3 points and three columns more (the scans run off
// their lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "neighbours.hpp"
#include "search.hpp"

namespace zelmo::network::ksg {

class NearestLists {
public:
    // The lists of `points`, `width` others each (at most n - 1). The
    // points' coordinates must outlive the lists.
    void build(const Stored& points, std::size_t width);

    // eps[t] = the k-th smallest distance from point t to the others over
    // the subspace's columns and those of `added` (of the same points), and
    // counts[t] = the others strictly within eps[t] over the subspace alone:
    // those before the scan's stop on the list nearer than eps[t].
    void kth_distances(const Columns& added, std::size_t k, double* eps, std::uint32_t* counts) const;

private:
    static constexpr std::size_t kBlock = 8;  // entries scanned together
    template <std::size_t K>
    void kth_distances_in(const Columns& added, std::size_t k, double* eps, std::uint32_t* counts) const;

    std::size_t n_ = 0, width_ = 0, stride_ = 0;
    Stored points_{nullptr, 0, 0};
    std::vector<std::uint32_t> index_;  // t * stride_ + i: the i-th nearest other of t
    std::vector<double> distance_;      // and its distance over the subspace
};

}  // namespace zelmo::network::ksg
