#include "estimate.hpp"

#include <algorithm>

#include "../../kernels/support.hpp"

namespace zelmo::network::ksg {

namespace {

constexpr double kEulerGamma = 0.57721566490153286060651209008240243;
constexpr double kLn2 = 0.69314718055994530941723212145817657;

}  // namespace

Digamma::Digamma(std::size_t n) : table_(n + 1) {
    if (n == 0) return;
    // (hi, lo): the harmonic number as an unevaluated sum; each step adds
    // 1/j to hi exactly (the rounding error of hi + 1/j goes to lo).
    double hi = 0.0, lo = 0.0;
    table_[1] = -kEulerGamma;
    for (std::size_t m = 2; m <= n; ++m) {
        const double term = 1.0 / static_cast<double>(m - 1);
        const double sum = hi + term;
        const double back = sum - hi;
        lo += (hi - (sum - back)) + (term - back);
        hi = sum;
        table_[m] = (hi - kEulerGamma) + lo;
    }
}

double mi_from_counts(const Digamma& psi, std::size_t k, const std::uint32_t* n_x, const std::uint32_t* n_y,
                      std::size_t n) {
    double sum = 0.0;
    for (std::size_t t = 0; t < n; ++t) sum += psi(n_x[t] + std::size_t{1}) + psi(n_y[t] + std::size_t{1});
    return (psi(k) + psi(n) - sum / static_cast<double>(n)) / kLn2;
}

double cmi_from_counts(const Digamma& psi, std::size_t k, const std::uint32_t* n_z, const std::uint32_t* n_xz,
                       const std::uint32_t* n_yz, std::size_t n) {
    double sum = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        sum += psi(n_z[t] + std::size_t{1}) - psi(n_xz[t] + std::size_t{1}) - psi(n_yz[t] + std::size_t{1});
    }
    return (psi(k) + sum / static_cast<double>(n)) / kLn2;
}

Context::Context(const Columns& y, const Columns& z, std::size_t k)
    : n_(y.n), k_(k), y_dims_(y.dims()), z_dims_(z.dims()), psi_(y.n) {
    if (y_dims_ == 0) panic("the target needs at least one column");
    if (z.n != n_ && z_dims_ > 0) panic("target and conditions of different lengths");
    if (n_ > kMaxPoints) panic("too many points for a neighbour search");
    if (k_ == 0 || k_ >= n_) panic("the neighbour rank must be at least 1 and below the number of points");
    const std::size_t dims = y_dims_ + z_dims_;
    data_.resize(dims * n_);
    lines_.resize(dims);
    for (std::size_t c = 0; c < dims; ++c) {
        const double* column = c < y_dims_ ? y.columns[c] : z.columns[c - y_dims_];
        std::copy(column, column + n_, data_.begin() + static_cast<std::ptrdiff_t>(c * n_));
        lines_[c].build(data_.data() + c * n_, n_);
    }
    target_.build(own(0, dims), k_);
    if (z_dims_ > 0) conditions_.build(own(y_dims_, z_dims_), k_);
}

Subspace Context::own(std::size_t first, std::size_t count) const {
    Subspace out{{{}, n_}, {}};
    for (std::size_t c = first; c < first + count; ++c) {
        out.points.columns.push_back(data_.data() + c * n_);
        out.lines.push_back(&lines_[c]);
    }
    return out;
}

const NearestLists* Context::lists() const {
    // The count decides alone which threads use the lists: call_once makes
    // every such thread wait for them and see them whole. Either way the
    // distances are the same.
    if (n_ > kListPoints || uses_.fetch_add(1, std::memory_order_relaxed) + 1 < kListsAfter) return nullptr;
    std::call_once(lists_built_, [this] { lists_.build(Stored{data_.data(), n_, y_dims_ + z_dims_}, kListWidth); });
    return &lists_;
}

double Context::value(const Columns& x, Workspace& work) const {
    if (x.n != n_) panic("source and target of different lengths");
    work.source_lines.resize(x.dims());
    for (std::size_t c = 0; c < x.dims(); ++c) work.source_lines[c].build(x.columns[c], n_);
    return value_with_lines(x, work);
}

double Context::value_with_lines(const Columns& x, Workspace& work) const {
    if (x.dims() == 0) panic("the source needs at least one column");
    if (x.n != n_) panic("source and target of different lengths");
    if (work.source_lines.size() != x.dims()) panic("a sorted line for each column of the source");
    Subspace source{x, {}};
    for (std::size_t c = 0; c < x.dims(); ++c) {
        if (work.source_lines[c].size() != n_) panic("a sorted line of another length");
        source.lines.push_back(&work.source_lines[c]);
    }
    work.eps.resize(n_);
    work.n_source.resize(n_);
    work.n_target.resize(n_);
    const NearestLists* lists = this->lists();
    if (lists) {
        lists->kth_distances(x, k_, work.eps.data(), work.n_target.data());  // the counts over Y and Z too
    } else {
        work.joint.build(join(source, own(0, y_dims_ + z_dims_)));
        work.joint.kth_distances(k_, work.eps.data());
    }
    work.runs.reset(work.eps.data(), n_);
    if (!lists) target_.count_within(work.runs, work.n_target.data());
    if (z_dims_ == 0) {
        work.source.build(source, k_);
        work.source.count_within(work.runs, work.n_source.data());
        return mi_from_counts(psi_, k_, work.n_source.data(), work.n_target.data(), n_);
    }
    work.source.build(join(source, own(y_dims_, z_dims_)), k_);
    work.source.count_within(work.runs, work.n_source.data());
    work.n_conditions.resize(n_);
    conditions_.count_within(work.runs, work.n_conditions.data());
    return cmi_from_counts(psi_, k_, work.n_conditions.data(), work.n_source.data(), work.n_target.data(), n_);
}

double Context::value(const Columns& x) const {
    Workspace work;
    return value(x, work);
}

double mutual_information(const Columns& x, const Columns& y, std::size_t k) {
    return Context(y, Columns{{}, y.n}, k).value(x);
}

double conditional_mutual_information(const Columns& x, const Columns& y, const Columns& z, std::size_t k) {
    return Context(y, z, k).value(x);
}

}  // namespace zelmo::network::ksg
