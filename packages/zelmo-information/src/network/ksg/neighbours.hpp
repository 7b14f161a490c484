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
// passes over a group of points only on a bound formed by the same rounded
// subtractions as the distances, and rounding keeps order (a <= b implies
// fl(a - q) <= fl(b - q) and fl(q - a) >= fl(q - b)), so a bound never
// passes over a point that counts. For the same reason, on one column the
// points within r of a point form a run of the sorted values, and a point is
// within r over several columns exactly when it lies in the run of each:
// what the structures built on sorted lines count.
//
// The structures, chosen by the numbers of columns and points (by measurement):
//   SortedLine   one column sorted; the points within a radius form a run.
//   RankPlane    counts over two columns from their sorted lines, by a sweep.
//   RankBox      counts over two or more columns from their sorted lines, by
//                a scan of the shortest run (while the runs are short).
//   RankGrid     the k-th distances over up to three columns: cells cut at
//                equal numbers of points of each column's sorted line.
//   MaxNormTree  a k-d tree, for the rest.
// Each copies what it needs of the coordinates (O(n d) memory; a box
// O(n d^2)) and can be rebuilt in place for new points. Searches are const
// and single-threaded; concurrent searches of one structure are safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// The sorted positions [first, last) of the points within a radius of one
// point: the point itself among them, or none (first == last) when the
// radius is 0.
struct Run {
    std::uint32_t first, last;
};

// One column sorted (a stable radix sort of the values' bits, so that tied
// values keep the order of their points).
class SortedLine {
public:
    void build(const double* values, std::size_t n);
    // The line of the `count` values from `start` on of a cyclic sequence
    // whose own line is `whole` (point t the value at (start + t) mod its
    // length), read off whole's order without sorting. Tied values come in
    // whole's order, which may differ from a sort of the window's; no
    // search or count depends on the order of ties.
    void build_window(const SortedLine& whole, std::size_t start, std::size_t count);
    std::size_t size() const { return values_.size(); }

    // runs[t] = the run of the points within radius[t] of point t, for every
    // t. Points below t's position are within r while q - v[j] < r, which
    // fails on a prefix of them, and points above while v[j] - q < r, which
    // fails on a suffix: each end is found by doubling steps from t's
    // position, then bisection.
    void runs_within(const double* radius, Run* runs) const;
    // counts[t] from the runs of this line: the length of t's run, less t.
    static void count(const Run* runs, std::size_t n, std::uint32_t* counts);

    double value(std::size_t position) const { return values_[position]; }
    std::uint32_t point(std::size_t position) const { return order_[position]; }
    std::uint32_t position(std::size_t point) const { return position_[point]; }

private:
    std::vector<double> values_;           // ascending
    std::vector<std::uint32_t> order_;     // the point at each sorted position
    std::vector<std::uint32_t> position_;  // the sorted position of each point
};

// The runs of sorted lines for one set of radii, each line's computed when
// first asked for (a line may serve several subspaces).
class Runs {
public:
    void reset(const double* radius, std::size_t n);
    const double* radius() const { return radius_; }
    const Run* of(const SortedLine& line);

private:
    const double* radius_ = nullptr;
    std::size_t n_ = 0, used_ = 0;
    std::vector<const SortedLine*> lines_;
    std::vector<std::vector<Run>> runs_;
};

// Which structures a search or count uses: the fastest by measurement, or
// (to compare them) always the tree, or the rank structures wherever they
// apply (the grid up to three columns, lines, planes and boxes).
enum class Structure { automatic, tree, rank };

// Some columns of the points with the sorted line of each.
struct Subspace {
    Columns points;
    std::vector<const SortedLine*> lines;

    std::size_t dims() const { return points.dims(); }
};

// The columns of `a` followed by those of `b`.
Subspace join(const Subspace& a, const Subspace& b);

// Counts over two columns. The points within r of point t are those whose
// positions lie in t's run on each line, [a0, a1) and [b0, b1): the points
// of a-position below a1 and b-position in [b0, b1), less those of
// a-position below a0. One sweep inserts the points in order of a-position
// into a bit set over b-positions, with a Fenwick tree over its 64-bit
// words, and reads each run of b-positions as it passes a0 and a1. The
// lines must outlive the plane.
class RankPlane {
public:
    void build(const SortedLine& a, const SortedLine& b);
    void count_within(const Run* a_runs, const Run* b_runs, std::uint32_t* counts) const;

private:
    const SortedLine* a_ = nullptr;
    const SortedLine* b_ = nullptr;
};

// Counts over two or more columns, while the runs are short: t's
// neighbours within r lie in t's run on every line, so the shortest of
// those runs is scanned and each of its points is kept when its position on
// every other line falls in t's run there. The positions on the other lines
// are stored in the order of each line (m (m - 1) n of them), so a scan
// reads them one after another. The lines must outlive the box.
class RankBox {
public:
    void build(const Subspace& points);
    void count_within(Runs& runs, std::uint32_t* counts) const;

private:
    template <std::size_t M> void count_within_in(Runs& runs, std::uint32_t* counts) const;

    std::size_t n_ = 0;
    std::vector<const SortedLine*> lines_;
    std::vector<std::uint32_t> positions_;  // ((a m + b) n + p): on line b, of the point at position p of line a
};

// The k-th distances over one to three columns. Each column's sorted line is
// cut into g slabs of equal numbers of points, and the points are stored by
// cell (a slab of each column). A point's neighbours are sought in its cell,
// then in the shells of cells around it, until the k-th distance so far is
// at most the distance to the nearest slab beyond the last shell (the gap
// between the point and the slab's extreme value, which bounds every point
// of that slab).
class RankGrid {
public:
    static constexpr std::size_t kMaxDims = 3;

    void build(const Subspace& points);
    void kth_distances(std::size_t k, double* eps) const;

private:
    static constexpr std::size_t kBlock = 4;  // distances formed together
    template <std::size_t D, std::size_t K> void kth_distances_in(std::size_t k, double* eps) const;

    std::size_t n_ = 0, dims_ = 0, slabs_ = 0, stride_ = 0;
    std::vector<double> coords_;         // coordinate c of stored position i at c * stride_ + i
    std::vector<std::uint32_t> index_;   // the point at each stored position
    std::vector<std::uint32_t> starts_;  // the first stored position of each cell, and n_
    std::vector<double> slab_lo_;        // c * slabs_ + s: the smallest value of column c in slab s
    std::vector<double> slab_hi_;        // and the largest
};

// A k-d tree in the maximum norm: every node holds the smallest box around
// its points; a node is split at the median of its widest coordinate until
// it holds at most kLeaf points. The points of one leaf are searched
// together: a node far enough from the leaf's box for all of them is passed
// over once for all.
class MaxNormTree {
public:
    static constexpr std::size_t kLeaf = 32;

    void build(const Columns& points);
    std::size_t size() const { return n_; }

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

// counts[t] = #{j != t : distance(t, j) < radius[t]} over a subspace of m
// columns: a SortedLine for one column; for two, a RankBox up to
// kBoxPlanePoints points and a RankPlane beyond; for more, a RankBox while
// the runs it scans stay short and a MaxNormTree beyond. A box scans each
// point's shortest run, which for radii that are k-th distances over the m
// columns and at least one more holds about n (k / n)^(1 / (m + 1)) points
// on data spread over them; the box is kept while that is at most kBoxScan.
// By measurement on Gaussian and dependent data (whole values of a context,
// one thread): with two columns a context's value takes 0.93-0.97 times as
// long with a box as with a plane up to 3,000 points and 1.03 times at
// 4,000; with four to six columns a box takes 0.45 of a tree's time at 10^4
// points, 0.46-0.68 at 3-5 10^4 (the estimate 7,600-8,400) and 0.9 at 10^5
// points and three columns (7,950). The lines must outlive the counter.
class RangeCounter {
public:
    static constexpr std::size_t kBoxPlanePoints = 3'000;
    static constexpr double kBoxScan = 10'000.0;

    // k: the neighbour rank whose distances the radii will be.
    void build(const Subspace& points, std::size_t k, Structure structure = Structure::automatic);
    // With the radii of `runs`.
    void count_within(Runs& runs, std::uint32_t* counts) const;

private:
    enum class Mode { line, plane, box, tree };
    Mode mode_ = Mode::tree;
    const SortedLine* line_ = nullptr;
    std::array<const SortedLine*, 2> plane_lines_{};
    RankPlane plane_;
    RankBox box_;
    MaxNormTree tree_;
};

// eps[t], the k-th smallest distance from point t to the others: a RankGrid
// for up to three columns, a MaxNormTree for more.
class NeighbourSearch {
public:
    void build(const Subspace& points, Structure structure = Structure::automatic);
    void kth_distances(std::size_t k, double* eps) const;

private:
    bool grid_mode_ = false;
    RankGrid grid_;
    MaxNormTree tree_;
};

}  // namespace zelmo::network::ksg
