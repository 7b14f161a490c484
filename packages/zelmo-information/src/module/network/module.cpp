// The extension module `_network`: all-pairs matrices, surrogate tests and
// network inference over binned rows, computed on a pool of threads with
// the interpreter lock released. The rows are binned once (bin_rows); each
// measure then takes the bins with a tile of the pairs to compute, the whole
// array or, on a cluster, one piece of it. Arguments arrive checked by
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
#include "ksg.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zelmo::py {

namespace {

using Signals = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Block = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Series = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

StridedMatrix strided(const Signals& a) {
    return StridedMatrix{reinterpret_cast<const char*>(a.data()), a.shape(0), a.shape(1),
                         static_cast<std::ptrdiff_t>(a.stride(0)) * static_cast<std::ptrdiff_t>(sizeof(double)),
                         static_cast<std::ptrdiff_t>(a.stride(1)) * static_cast<std::ptrdiff_t>(sizeof(double))};
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

// Rows are read and binned with the lock held, by the pool's threads while
// the calling thread keeps the lock, so that no Python code can change the
// array meanwhile. The bins go to `codes` (32-bit while n_bins <= 2^31,
// else 64-bit) and each row's flag of a constant range to `constant`.
void bin_rows(const Signals& signals, std::uint64_t n_bins, bool reject_nonfinite, unsigned workers,
              nb::handle progress, nb::ndarray<nb::ndim<2>, nb::c_contig, nb::device::cpu> codes,
              nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> constant) {
    network::Progress done;
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows(strided(signals), n_bins, reject_nonfinite, pool);
    const unsigned bits = rows.narrow() ? 32 : 64;
    if (codes.dtype() != (rows.narrow() ? nb::dtype<std::uint32_t>() : nb::dtype<std::uint64_t>()) ||
        codes.shape(0) != rows.rows() || codes.shape(1) != rows.length() || constant.shape(0) != rows.rows()) {
        throw std::invalid_argument("bins need a " + std::to_string(bits) + "-bit array of the signals' shape");
    }
    rows.copy_to(codes.data());
    for (std::size_t i = 0; i < rows.rows(); ++i) constant.data()[i] = rows.constant(i);
}

using Codes = nb::ndarray<nb::ndim<2>, nb::c_contig, nb::device::cpu, nb::ro>;
using Flags = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Indices = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Binned rows from `codes` (unsigned, 8 to 64 bits), built with the lock
// held so that the arrays cannot change while they are read.
network::BinnedRows binned(const Codes& codes, const Flags& constant, std::uint64_t n_bins, network::Pool& pool) {
    const nb::dlpack::dtype type = codes.dtype();
    const unsigned bits = type.bits;
    if (type.code != static_cast<std::uint8_t>(nb::dlpack::dtype_code::UInt) || type.lanes != 1 ||
        (bits != 8 && bits != 16 && bits != 32 && bits != 64)) throw std::invalid_argument("bins must be unsigned integers");
    if (constant.shape(0) != codes.shape(0)) throw std::invalid_argument("one constant flag per row is needed");
    const network::CodeMatrix matrix{codes.data(), bits, codes.shape(0), codes.shape(1)};
    return network::BinnedRows(matrix, constant.data(), n_bins, pool);
}

std::vector<std::size_t> indices(const Indices& a) {
    return std::vector<std::size_t>(a.data(), a.data() + a.shape(0));
}

network::Tile tile_of(const Indices& keys, const Indices& sources, const Indices& targets, std::size_t rows) {
    network::Tile tile;
    tile.sources = indices(sources);
    tile.targets = indices(targets);
    tile.keys.assign(keys.data(), keys.data() + keys.shape(0));
    tile.check(rows);
    return tile;
}

double* tile_out(Block& out, const network::Tile& tile) {
    if (out.shape(0) != tile.sources.size() || out.shape(1) != tile.targets.size()) {
        throw std::invalid_argument("result array of the wrong shape");
    }
    return out.data();
}

// The pairs are computed without the lock.
void te_matrix(const Codes& codes, const Flags& constant, std::uint64_t n_bins, const Indices& keys,
               const Indices& sources, const Indices& targets, std::uint64_t history, unsigned workers,
               nb::handle progress, Block out) {
    const network::Tile tile = tile_of(keys, sources, targets, codes.shape(0));
    double* result = tile_out(out, tile);
    network::Progress done;
    done.total = tile.ordered_pairs();
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows = binned(codes, constant, n_bins, pool);
    nb::gil_scoped_release release;
    network::transfer_entropy_matrix(rows, tile, history, pool, result);
}

void mi_matrix(const Codes& codes, const Flags& constant, std::uint64_t n_bins, const Indices& keys,
               const Indices& sources, const Indices& targets, unsigned workers, nb::handle progress, Block out) {
    const network::Tile tile = tile_of(keys, sources, targets, codes.shape(0));
    double* result = tile_out(out, tile);
    network::Progress done;
    done.total = network::mutual_information_pairs(tile);
    network::Pool pool(workers, poll_with(progress), done);
    network::BinnedRows rows = binned(codes, constant, n_bins, pool);
    nb::gil_scoped_release release;
    network::mutual_information_matrix(rows, tile, pool, result);
}

void te_test(const Codes& codes, const Flags& constant, std::uint64_t n_bins, const Indices& keys,
             const Indices& sources, const Indices& targets, std::uint64_t history, std::uint64_t surrogates,
             const std::string& method, std::uint64_t seed, unsigned workers, nb::handle progress, Block te,
             Block p_values, Block null_mean, Block null_std) {
    network::TestSettings settings;
    settings.history = history;
    settings.surrogates = surrogates;
    settings.seed = seed;
    settings.method = method_of(method);
    const network::Tile tile = tile_of(keys, sources, targets, codes.shape(0));
    const network::TestOutput out{tile_out(te, tile), tile_out(p_values, tile), tile_out(null_mean, tile),
                                  tile_out(null_std, tile)};
    network::Progress done;
    done.total = tile.ordered_pairs() * (1 + surrogates);
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows = binned(codes, constant, n_bins, pool);
    nb::gil_scoped_release release;
    network::transfer_entropy_test(rows, tile, settings, pool, out);
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

// Returns, per target of `targets`, (links, omnibus p-value or None, steps)
// with links a list of (source, lag, te, p-value, states) in order of
// selection.
nb::list infer(const Codes& codes, const Flags& constant, std::uint64_t n_bins, const Indices& targets,
               std::uint64_t history, std::size_t max_lag, double alpha, std::uint64_t surrogates,
               const std::string& method, std::uint64_t seed, std::size_t max_sources, unsigned workers,
               nb::handle progress) {
    network::InferenceSettings settings;
    settings.history = history;
    settings.max_lag = max_lag;
    settings.alpha = alpha;
    settings.surrogates = surrogates;
    settings.method = method_of(method);
    settings.seed = seed;
    settings.max_sources = max_sources;
    const std::vector<std::size_t> which = indices(targets);
    network::Progress done;  // the total is not known in advance
    network::Pool pool(workers, poll_with(progress), done);
    const network::BinnedRows rows = binned(codes, constant, n_bins, pool);
    std::vector<network::TargetResult> results;
    {
        nb::gil_scoped_release release;
        results = network::infer_network(rows, which, settings, pool);
    }
    nb::list out;
    for (const network::TargetResult& r : results) {
        nb::list links;
        for (const network::Link& l : r.links) links.append(nb::make_tuple(l.source, l.lag, l.te, l.p_value, l.states));
        nb::object omnibus = r.omnibus_p < 0 ? nb::none() : nb::cast(r.omnibus_p);
        out.append(nb::make_tuple(links, omnibus, r.steps));
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
    m.def("bin_rows", &bin_rows, "signals"_a, "n_bins"_a, "reject_nonfinite"_a, "workers"_a, "progress"_a.none(),
          "codes"_a, "constant"_a);
    m.def("transfer_entropy_matrix", &te_matrix, "codes"_a, "constant"_a, "n_bins"_a, "keys"_a, "sources"_a,
          "targets"_a, "history"_a, "workers"_a, "progress"_a.none(), "out"_a);
    m.def("mutual_information_matrix", &mi_matrix, "codes"_a, "constant"_a, "n_bins"_a, "keys"_a, "sources"_a,
          "targets"_a, "workers"_a, "progress"_a.none(), "out"_a);
    m.def("transfer_entropy_test", &te_test, "codes"_a, "constant"_a, "n_bins"_a, "keys"_a, "sources"_a,
          "targets"_a, "history"_a, "surrogates"_a, "method"_a, "seed"_a, "workers"_a, "progress"_a.none(), "te"_a,
          "p_values"_a, "null_mean"_a, "null_std"_a);
    m.def("conditional_transfer_entropy", &conditional, "source"_a, "target"_a, "conditions"_a, "n_bins"_a,
          "history"_a, "lag"_a, "condition_lags"_a);
    m.def("infer_network", &infer, "codes"_a, "constant"_a, "n_bins"_a, "targets"_a, "history"_a, "max_lag"_a,
          "alpha"_a, "surrogates"_a, "method"_a, "seed"_a, "max_sources"_a, "workers"_a, "progress"_a.none());
    bind_ksg(m);
}
