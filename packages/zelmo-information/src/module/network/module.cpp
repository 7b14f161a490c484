// The extension module `_network`: all-pairs matrices and surrogate tests
// over the rows of a two-dimensional float64 array, computed on a pool of
// threads with the interpreter lock released. Arguments arrive checked by
// zelmo_information.network, which also allocates the result arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "../../network/binned_rows.hpp"
#include "../../network/conditional.hpp"
#include "../../network/inference.hpp"
#include "../../network/matrices.hpp"
#include "../../network/parallel.hpp"
#include "../../network/surrogates.hpp"
#include "../errors.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zelmo::py {

namespace {

using Signals = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Square = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Series = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

StridedMatrix strided(const Signals& a) {
    return StridedMatrix{reinterpret_cast<const char*>(a.data()), a.shape(0), a.shape(1),
                         static_cast<std::ptrdiff_t>(a.stride(0)) * static_cast<std::ptrdiff_t>(sizeof(double)),
                         static_cast<std::ptrdiff_t>(a.stride(1)) * static_cast<std::ptrdiff_t>(sizeof(double))};
}

double* square_of(Square& out, std::size_t m) {
    if (out.shape(0) != m || out.shape(1) != m) throw std::invalid_argument("result array of the wrong shape");
    return out.data();
}

// With the interpreter lock held: stops the call on a pending signal
// (KeyboardInterrupt for Ctrl-C) and reports progress to `progress`.
network::Poll poll_with(nb::handle progress) {
    return [progress](std::uint64_t done, std::uint64_t total) {
        nb::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (!progress.is_none()) progress(done, total);
    };
}

network::Method method_of(const std::string& method) {
    if (method == "shift") return network::Method::shift;
    if (method == "shuffle") return network::Method::shuffle;
    throw std::invalid_argument("unknown surrogate method");
}

// Rows are read and binned with the lock held (by the pool's threads, the
// calling thread keeping the lock, so that no Python code can change the
// array meanwhile); the pairs are computed without it.
void te_matrix(const Signals& signals, std::uint64_t n_bins, std::uint64_t history, bool reject_nonfinite,
               unsigned workers, nb::handle progress, Square out) {
    const std::size_t m = signals.shape(0);
    double* result = square_of(out, m);
    network::Progress done;
    done.total = m < 2 ? 0 : m * (m - 1);
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows(strided(signals), n_bins, reject_nonfinite, pool);
    nb::gil_scoped_release release;
    network::transfer_entropy_matrix(rows, history, pool, result);
}

void mi_matrix(const Signals& signals, std::uint64_t n_bins, bool reject_nonfinite, unsigned workers,
               nb::handle progress, Square out) {
    const std::size_t m = signals.shape(0);
    double* result = square_of(out, m);
    network::Progress done;
    done.total = m * (m + 1) / 2;
    network::Pool pool(workers, poll_with(progress), done);
    network::BinnedRows rows(strided(signals), n_bins, reject_nonfinite, pool);
    nb::gil_scoped_release release;
    network::mutual_information_matrix(rows, pool, result);
}

void te_test(const Signals& signals, std::uint64_t n_bins, std::uint64_t history, std::uint64_t surrogates,
             const std::string& method, std::uint64_t seed, bool reject_nonfinite, unsigned workers,
             nb::handle progress, Square te, Square p_values, Square null_mean, Square null_std) {
    network::TestSettings settings;
    settings.history = history;
    settings.surrogates = surrogates;
    settings.seed = seed;
    settings.method = method_of(method);
    const std::size_t m = signals.shape(0);
    const network::TestOutput out{square_of(te, m), square_of(p_values, m), square_of(null_mean, m),
                                  square_of(null_std, m)};
    network::Progress done;
    done.total = m < 2 ? 0 : m * (m - 1) * (1 + surrogates);
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows(strided(signals), n_bins, reject_nonfinite, pool);
    nb::gil_scoped_release release;
    network::transfer_entropy_test(rows, settings, pool, out);
}

nb::tuple conditional(const Series& source, const Series& target, const Signals& conditions, std::uint64_t n_bins,
                      std::uint64_t history, std::size_t lag, const std::vector<std::size_t>& condition_lags) {
    if (condition_lags.size() != conditions.shape(0)) throw std::invalid_argument("one lag per condition");
    const Span s{source.data(), source.shape(0)}, t{target.data(), target.shape(0)};
    const StridedMatrix z = strided(conditions);
    network::ConditionalEstimate e;
    {
        nb::gil_scoped_release release;
        e = network::conditional_transfer_entropy(s, t, z, n_bins, history, lag, condition_lags);
    }
    return nb::make_tuple(e.te, e.states, e.steps);
}

// Returns, per target, (links, omnibus p-value or None, passed, steps) with
// links a list of (source, lag, te, p-value, states) in order of selection.
nb::list infer(const Signals& signals, std::uint64_t n_bins, std::uint64_t history, std::size_t max_lag,
               double alpha, std::uint64_t surrogates, const std::string& method, std::uint64_t seed,
               std::size_t max_sources, bool reject_nonfinite, unsigned workers, nb::handle progress) {
    network::InferenceSettings settings;
    settings.history = history;
    settings.max_lag = max_lag;
    settings.alpha = alpha;
    settings.surrogates = surrogates;
    settings.method = method_of(method);
    settings.seed = seed;
    settings.max_sources = max_sources;
    network::Progress done;  // the total is not known in advance
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows(strided(signals), n_bins, reject_nonfinite, pool);
    std::vector<network::TargetResult> results;
    {
        nb::gil_scoped_release release;
        results = network::infer_network(rows, settings, pool);
    }
    nb::list out;
    for (const network::TargetResult& r : results) {
        nb::list links;
        for (const network::Link& l : r.links) links.append(nb::make_tuple(l.source, l.lag, l.te, l.p_value, l.states));
        nb::object omnibus = r.omnibus_p < 0 ? nb::none() : nb::cast(r.omnibus_p);
        out.append(nb::make_tuple(links, omnibus, r.omnibus_passed, r.steps));
    }
    return out;
}

// The PanicException type, shared with _core: the package's
// zelmo_information.PanicException, so that it exists before any panic.
nb::object panic_exception() {
    PyObject* type = panic_type();
    if (type == nullptr) throw nb::python_error();
    return nb::borrow(type);
}

}  // namespace

}  // namespace zelmo::py

NB_MODULE(_network, m) {
    using namespace zelmo::py;
    m.doc() = "Native part of zelmo_information.network; use that module.";

    // A broken invariant becomes PanicException, as in _core; an allocation
    // that fails becomes MemoryError (nanobind's own translation).
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const zelmo::Panic& panic) {
            raise_panic(panic);
        }
    });

    m.def("_panic_exception", &panic_exception);
    m.def("transfer_entropy_matrix", &te_matrix, "signals"_a, "n_bins"_a, "history"_a, "reject_nonfinite"_a,
          "workers"_a, "progress"_a.none(), "out"_a);
    m.def("mutual_information_matrix", &mi_matrix, "signals"_a, "n_bins"_a, "reject_nonfinite"_a, "workers"_a,
          "progress"_a.none(), "out"_a);
    m.def("transfer_entropy_test", &te_test, "signals"_a, "n_bins"_a, "history"_a, "surrogates"_a, "method"_a,
          "seed"_a, "reject_nonfinite"_a, "workers"_a, "progress"_a.none(), "te"_a, "p_values"_a,
          "null_mean"_a, "null_std"_a);
    m.def("conditional_transfer_entropy", &conditional, "source"_a, "target"_a, "conditions"_a, "n_bins"_a,
          "history"_a, "lag"_a, "condition_lags"_a);
    m.def("infer_network", &infer, "signals"_a, "n_bins"_a, "history"_a, "max_lag"_a, "alpha"_a, "surrogates"_a,
          "method"_a, "seed"_a, "max_sources"_a, "reject_nonfinite"_a, "workers"_a, "progress"_a.none());
}
