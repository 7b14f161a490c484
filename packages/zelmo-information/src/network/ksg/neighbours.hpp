// Exact nearest-neighbour search in the maximum norm, the geometry of the
// nearest-neighbour (Kraskov-Stögbauer-Grassberger) estimators.
//
// A set of n points is given column by column (Columns): column c holds
// coordinate c of every point. The distance of two points a and b over a set
// of columns is the largest |a_c - b_c|, each difference rounded once to a
// double and its sign dropped: the number that numpy.abs(a - b).max() gives.
// Two searches use it:
//
//   eps_t   the k-th smallest of the n - 1 distances from point t to the
//           other points, over every column. Duplicate points count as
//           distinct points, so eps_t = 0 when k others coincide with t:
//           a tie at the k-th distance needs no rule, since eps_t is a
//           distance, not a neighbour.
//   n(t)    the number of other points whose distance to t, over the
//           columns of a subspace, is strictly below a radius r_t (eps_t);
//           0 whenever r_t = 0.
//
// Both are exact, equal to a comparison of all n (n - 1) pairs: a search
// skips a group of points only on a bound formed by the same rounded
// subtractions as the distances, and rounding keeps order (a <= b implies
// fl(a - q) <= fl(b - q)), so a bound never passes over a point that counts.
//
// Structures: a k-d tree with tight boxes for two or more columns, a sorted
// copy for one. Both copy the coordinates (O(n d) memory) and can be rebuilt
// in place for new points without new allocations. Searches are const and
// single-threaded; concurrent searches of one structure are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelmo::network::ksg {

// n points, one pointer per coordinate column, each to n doubles.
struct Columns {
    std::vector<const double*> columns;
    std::size_t n = 0;

    std::size_t dims() const { return columns.size(); }
};

// The columns of `a` followed by those of `b` (of the same points).
Columns join(const Columns& a, const Columns& b);

// Point counts are held in 32 bits: at most this many points.
inline constexpr std::size_t kMaxPoints = 0xFFFFFFFEu;

// A k-d tree in the maximum norm: every node holds the smallest box around
// its points; a node is split at the median of its widest coordinate until
// it holds at most kLeaf points.
class MaxNormTree {
public:
    static constexpr std::size_t kLeaf = 8;

    void build(const Columns& points);
    std::size_t size() const { return n_; }
    std::size_t dims() const { return dims_; }

    // eps[t] = the k-th smallest distance from point t to the others
    // (1 <= k < n), for every t.
    void kth_distances(std::size_t k, double* eps) const;

    // counts[t] = #{j != t : distance(t, j) < radius[t]}, for every t.
    void count_within(const double* radius, std::uint32_t* counts) const;

private:
    struct Node {
        std::uint32_t begin, end;  // its points: tree positions [begin, end)
        std::uint32_t right;       // the second child (the first is the next node); 0 for a leaf
    };

    struct Key {
        double value;
        std::uint32_t point;
    };

    void build_node(const Columns& points, std::uint32_t begin, std::uint32_t end, std::vector<double>& cut);
    template <std::size_t D> void kth_distances_in(std::size_t k, double* eps) const;
    template <std::size_t D> void count_within_in(const double* radius, std::uint32_t* counts) const;

    std::size_t n_ = 0, dims_ = 0;
    std::vector<std::uint32_t> index_;  // the point at each tree position
    std::vector<double> coords_;        // coordinate c of tree position i at c * n_ + i
    std::vector<Node> nodes_;           // in depth-first order, the root first
    std::vector<double> boxes_;         // node v: lows at 2 d v, highs at 2 d v + d
    std::vector<Key> keys_;             // scratch of the build
};

// One coordinate, sorted: the points within a radius of a point are a run of
// neighbours in sorted order, found by a galloping search from the point.
class SortedLine {
public:
    void build(const double* values, std::size_t n);
    std::size_t size() const { return values_.size(); }
    void count_within(const double* radius, std::uint32_t* counts) const;

    // The sorted positions [first, last) of the points whose distance to the
    // point at sorted position p is below r > 0 (p among them).
    std::pair<std::size_t, std::size_t> run_within(std::size_t p, double r) const;
    std::uint32_t point(std::size_t position) const { return order_[position]; }
    std::uint32_t position(std::size_t point) const { return position_[point]; }

private:
    std::vector<double> values_;           // ascending
    std::vector<std::uint32_t> order_;     // the point at each sorted position
    std::vector<std::uint32_t> position_;  // the sorted position of each point
};

// Two coordinates: the points within a radius of a point are those whose
// sorted positions fall in a run on each coordinate, counted for every point
// at once by a sweep over the positions of the first coordinate with a
// Fenwick tree over the positions of the second.
class RankPlane {
public:
    void build(const double* a, const double* b, std::size_t n);
    std::size_t size() const { return a_.size(); }
    void count_within(const double* radius, std::uint32_t* counts) const;

private:
    SortedLine a_, b_;
};

// Strict counts within a radius over some columns: a SortedLine for one
// column, a RankPlane for two, else a MaxNormTree.
class RangeCounter {
public:
    void build(const Columns& points);
    std::size_t size() const { return dims_ == 1 ? line_.size() : dims_ == 2 ? plane_.size() : tree_.size(); }
    void count_within(const double* radius, std::uint32_t* counts) const;

private:
    std::size_t dims_ = 0;
    SortedLine line_;
    RankPlane plane_;
    MaxNormTree tree_;
};

}  // namespace zelmo::network::ksg
