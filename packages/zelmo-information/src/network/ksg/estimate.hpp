// Nearest-neighbour estimates of mutual and conditional mutual information,
// in bits, from the maximum-norm searches of neighbours.hpp.
//
// With eps_t the distance from point t to its k-th nearest neighbour in the
// joint space and n_S(t) the other points strictly within eps_t in subspace S:
//
//   I(X; Y)     = psi(k) + psi(N) - < psi(n_x + 1) + psi(n_y + 1) >
//                 (Kraskov, Stögbauer and Grassberger 2004, algorithm 1);
//   I(X; Y | Z) = psi(k) + < psi(n_z + 1) - psi(n_xz + 1) - psi(n_yz + 1) >
//                 (Frenzel and Pompe 2007),
//
// in nats, divided by ln 2. psi is the digamma function, read from a table;
// < > is the mean over the points, summed in point order (the term of each
// point formed left to right as written), so that an estimate repeats to the
// last bit. Estimates may be negative and are returned as they are.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "lists.hpp"
#include "neighbours.hpp"

namespace zelmo::network::ksg {

// psi(m) for m = 1 .. n: psi(m) = H(m - 1) - gamma, the harmonic number
// H(m - 1) = 1 + 1/2 + ... + 1/(m - 1) summed in that order with the
// rounding error of every addition carried in a second double (each 1/j
// rounded once). Within a few units in the last place of the true value;
// the same on every IEEE machine.
class Digamma {
public:
    explicit Digamma(std::size_t n);
    std::size_t size() const { return table_.size() - 1; }
    double operator()(std::size_t m) const { return table_[m]; }  // 1 <= m <= size()

private:
    std::vector<double> table_;  // table_[m] = psi(m); table_[0] is unused
};

// The estimates from the counts of every point, in bits.
double mi_from_counts(const Digamma& psi, std::size_t k, const std::uint32_t* n_x, const std::uint32_t* n_y,
                      std::size_t n);
double cmi_from_counts(const Digamma& psi, std::size_t k, const std::uint32_t* n_z, const std::uint32_t* n_xz,
                       const std::uint32_t* n_yz, std::size_t n);

// Scratch of one thread for Context::value: the structures and arrays that
// depend on the source, reused from call to call.
struct Workspace {
    std::vector<SortedLine> source_lines;  // one per column of X
    NeighbourSearch joint;
    RangeCounter source;                   // X, or X and Z
    std::vector<double> eps;
    Runs runs;
    std::vector<std::uint32_t> n_source, n_target, n_conditions;
};

// What does not depend on the source X: the target Y and the conditions Z
// (copied), the sorted line of each of their columns and the counting
// structures of Y and Z together and of Z alone. value(X) is I(X; Y | Z), or
// I(X; Y) when Z has no columns, for a source X of the same points; the
// lines of X, the joint search and the structure of X (with Z) are built
// for each X. value() is const: threads may share a context, each with its
// own Workspace. A context is not copied (its structures refer to its lines).
// Every distance and count depends on X, so a value costs nearly as much as
// a fresh estimate: the context saves sorting Y and Z and building their
// structures (5 to 10 per cent of an estimate of 10^4 points in 3 columns).
// A context of a few thousand points that serves many values also keeps
// neighbour lists of Y and Z (lists.hpp), through which the k-th distances
// and the counts over Y and Z cost about half as much.
class Context {
public:
    // y: at least one column; z: any number; both of n points, k < n.
    Context(const Columns& y, const Columns& z, std::size_t k);
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    std::size_t size() const { return n_; }
    std::size_t k() const { return k_; }
    bool conditional() const { return z_dims_ > 0; }

    double value(const Columns& x, Workspace& work) const;
    double value(const Columns& x) const;
    // As value(x, work), with the sorted line of each column of x already
    // in work.source_lines (built by the caller, as from the line of a row
    // that x is a window of).
    double value_with_lines(const Columns& x, Workspace& work) const;

    // A context serving at least this many values searches the joint space
    // through neighbour lists of Y and Z (lists.hpp), built at that value.
    static constexpr std::size_t kListsAfter = 16;
    static constexpr std::size_t kListWidth = 128;
    static constexpr std::size_t kListPoints = 3'000;  // the most points with lists (by measurement)

private:
    Subspace own(std::size_t first, std::size_t count) const;
    const NearestLists* lists() const;

    std::size_t n_, k_, y_dims_, z_dims_;
    std::vector<double> data_;       // the columns of Y then Z, n_ each
    std::vector<SortedLine> lines_;  // of each column of data_
    Digamma psi_;
    RangeCounter target_;       // Y and Z
    RangeCounter conditions_;   // Z (unused when Z has no columns)
    mutable std::atomic<std::size_t> uses_{0};
    mutable std::once_flag lists_built_;
    mutable NearestLists lists_;  // of Y and Z, once kListsAfter values are asked for
};

// Single estimates: Context(y, z, k).value(x).
double mutual_information(const Columns& x, const Columns& y, std::size_t k);
double conditional_mutual_information(const Columns& x, const Columns& y, const Columns& z, std::size_t k);

}  // namespace zelmo::network::ksg
