// Private bindings of the nearest-neighbour (KSG) estimator, for the tests
// and the benchmarks. Points are float64 arrays of shape (d, N): one row per
// coordinate (a series), one column per point, as the network module holds
// series; other layouts and dtypes are converted. Values must be finite.
// The work runs with the interpreter lock released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../network/ksg/estimate.hpp"
#include "../../network/ksg/neighbours.hpp"
#include "../../network/ksg/prepare.hpp"
#include "ksg.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zelmo::py {

namespace {

namespace ksg = network::ksg;

using Points = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Series = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A NumPy array that owns `values`, of the given shape.
template <class T>
nb::ndarray<nb::numpy, T> owned(std::vector<T> values, std::initializer_list<std::size_t> shape) {
    auto holder = std::make_unique<std::vector<T>>(std::move(values));
    T* data = holder->data();
    nb::capsule owner(holder.get(), [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    holder.release();
    return nb::ndarray<nb::numpy, T>(data, shape, owner);
}

// The rows of `a` as columns of points, checked: finite, `n` points (any
// number when n is SIZE_MAX), at least `least` rows.
ksg::Columns columns(const Points& a, const char* name, std::size_t least, std::size_t n = SIZE_MAX) {
    const std::size_t rows = a.shape(0), points = a.shape(1);
    if (rows < least) throw std::invalid_argument(std::string(name) + " needs at least one row");
    if (n != SIZE_MAX && points != n) throw std::invalid_argument(std::string(name) + " has another number of points");
    if (points > ksg::kMaxPoints) throw std::invalid_argument("too many points");
    ksg::Columns out{{}, points};
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = a.data() + r * points;
        for (std::size_t i = 0; i < points; ++i) {
            if (!std::isfinite(row[i])) throw std::invalid_argument(std::string(name) + " holds NaN or an infinity");
        }
        out.columns.push_back(row);
    }
    return out;
}

void check_k(std::size_t k, std::size_t n) {
    if (k < 1 || k >= n) throw std::invalid_argument("k must be at least 1 and below the number of points");
}

ksg::Structure structure_of(const std::string& name) {
    if (name == "auto") return ksg::Structure::automatic;
    if (name == "tree") return ksg::Structure::tree;
    if (name == "rank") return ksg::Structure::rank;
    throw std::invalid_argument("structure must be auto, tree or rank");
}

// eps (N,) and counts (len(subspaces), N): the k-th neighbour distance of
// every point over all rows, and the other points strictly within it over
// the rows of each subspace, by the structures chosen ("auto": the fastest;
// "tree" or "rank": those kinds wherever they apply).
nb::tuple counts(const Points& points, std::size_t k, const std::vector<std::vector<std::size_t>>& subspaces,
                 const std::string& structure) {
    const ksg::Structure chosen = structure_of(structure);
    const ksg::Columns all = columns(points, "points", 1);
    const std::size_t n = all.n;
    check_k(k, n);
    std::vector<std::vector<std::size_t>> spaces;
    for (const auto& rows : subspaces) {
        for (std::size_t r : rows) {
            if (r >= all.dims()) throw std::invalid_argument("subspace row out of range");
        }
        if (rows.empty()) throw std::invalid_argument("a subspace needs at least one row");
        spaces.push_back(rows);
    }
    std::vector<double> eps(n);
    std::vector<std::int64_t> out(spaces.size() * n);
    {
        nb::gil_scoped_release release;
        std::vector<ksg::SortedLine> lines(all.dims());
        ksg::Subspace joint{all, {}};
        for (std::size_t c = 0; c < all.dims(); ++c) {
            lines[c].build(all.columns[c], n);
            joint.lines.push_back(&lines[c]);
        }
        ksg::NeighbourSearch search;
        search.build(joint, chosen);
        search.kth_distances(k, eps.data());
        std::vector<std::uint32_t> within(n);
        ksg::Runs runs;
        runs.reset(eps.data(), n);
        ksg::RangeCounter counter;
        for (std::size_t s = 0; s < spaces.size(); ++s) {
            ksg::Subspace space{{{}, n}, {}};
            for (std::size_t r : spaces[s]) {
                space.points.columns.push_back(all.columns[r]);
                space.lines.push_back(&lines[r]);
            }
            counter.build(space, k, chosen);
            counter.count_within(runs, within.data());
            std::copy(within.begin(), within.end(), out.begin() + static_cast<std::ptrdiff_t>(s * n));
        }
    }
    return nb::make_tuple(owned(std::move(eps), {n}), owned(std::move(out), {spaces.size(), n}));
}

double mutual_information(const Points& x, const Points& y, std::size_t k) {
    const ksg::Columns cy = columns(y, "y", 1);
    const ksg::Columns cx = columns(x, "x", 1, cy.n);
    check_k(k, cy.n);
    nb::gil_scoped_release release;
    return ksg::mutual_information(cx, cy, k);
}

double conditional_mutual_information(const Points& x, const Points& y, const Points& z, std::size_t k) {
    const ksg::Columns cy = columns(y, "y", 1);
    const ksg::Columns cx = columns(x, "x", 1, cy.n);
    const ksg::Columns cz = columns(z, "z", 0, cy.n);
    check_k(k, cy.n);
    nb::gil_scoped_release release;
    return ksg::conditional_mutual_information(cx, cy, cz, k);
}

nb::ndarray<nb::numpy, double> prepare(const Series& series, bool rank, double noise, std::uint64_t seed,
                                       std::uint64_t row) {
    if (!(noise >= 0.0) || !std::isfinite(noise)) throw std::invalid_argument("noise must be finite and not negative");
    const std::size_t n = series.shape(0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(series.data()[i])) throw std::invalid_argument("the series holds NaN or an infinity");
    }
    std::vector<double> out(n);
    {
        nb::gil_scoped_release release;
        ksg::prepare_series(series.data(), n, ksg::Preparation{rank, noise, seed}, row, out.data());
    }
    return owned(std::move(out), {n});
}

nb::ndarray<nb::numpy, double> digamma(std::size_t n) {
    const ksg::Digamma psi(n);
    std::vector<double> out(n);
    for (std::size_t m = 1; m <= n; ++m) out[m - 1] = psi(m);
    return owned(std::move(out), {n});
}

}  // namespace

void bind_ksg(nb::module_& m) {
    m.def("_ksg_counts", &counts, "points"_a, "k"_a, "subspaces"_a, "structure"_a = "auto");
    m.def("_ksg_mutual_information", &mutual_information, "x"_a, "y"_a, "k"_a);
    m.def("_ksg_conditional_mutual_information", &conditional_mutual_information, "x"_a, "y"_a, "z"_a, "k"_a);
    m.def("_ksg_prepare", &prepare, "series"_a, "rank"_a, "noise"_a, "seed"_a, "row"_a);
    m.def("_ksg_digamma", &digamma, "n"_a);
    nb::class_<ksg::Context>(m, "_KsgContext")
        .def("__init__",
             [](ksg::Context* self, const Points& y, const Points& z, std::size_t k) {
                 const ksg::Columns cy = columns(y, "y", 1);
                 const ksg::Columns cz = columns(z, "z", 0, cy.n);
                 check_k(k, cy.n);
                 nb::gil_scoped_release release;
                 new (self) ksg::Context(cy, cz, k);
             },
             "y"_a, "z"_a, "k"_a)
        .def_prop_ro("n", &ksg::Context::size)
        .def_prop_ro("k", &ksg::Context::k)
        .def("value",
             [](const ksg::Context& context, const Points& x) {
                 const ksg::Columns cx = columns(x, "x", 1, context.size());
                 nb::gil_scoped_release release;
                 return context.value(cx);
             },
             "x"_a)
        .def("values",
             [](const ksg::Context& context, const std::vector<Points>& xs) {
                 std::vector<ksg::Columns> sources;
                 for (const Points& x : xs) sources.push_back(columns(x, "x", 1, context.size()));
                 std::vector<double> out(sources.size());
                 nb::gil_scoped_release release;
                 ksg::Workspace work;  // one for all, as a thread of the caller would keep it
                 for (std::size_t i = 0; i < sources.size(); ++i) out[i] = context.value(sources[i], work);
                 return out;
             },
             "xs"_a);
}

}  // namespace zelmo::py
