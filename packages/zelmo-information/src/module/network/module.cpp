// The extension module `_network`: all-pairs matrices, surrogate tests and
// network inference over the rows of a matrix, for every estimator,
// computed on a pool of threads with the interpreter lock released. The
// rows arrive prepared by zelmo_information.network (bins for the binned
// estimator, real values for the others); each measure takes them with a
// tile of the pairs to compute, the whole array or, on a cluster, one piece
// of it. Settings and results cross as bound types with named fields.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <stdexcept>
#include <string>

#include "../../network/binned/conditional.hpp"
#include "../../network/binned/mutual_pairs.hpp"
#include "../../network/copula/transform.hpp"
#include "../../network/engine/pairwise.hpp"
#include "../../network/engine/search.hpp"
#include "../../network/estimators.hpp"
#include "../../network/ksg/prepare.hpp"
#include "../../network/parallel.hpp"
#include "../errors.hpp"
#include "ksg.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zelmo::py {

namespace {

using Signals = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Block = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Series = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Rows = nb::ndarray<nb::ndim<2>, nb::c_contig, nb::device::cpu, nb::ro>;
using Flags = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Indices = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

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

network::Nonfinite nonfinite_of(const std::string& nonfinite) {
    if (nonfinite == "raise") return network::Nonfinite::reject;
    if (nonfinite == "skip") return network::Nonfinite::skip;
    if (nonfinite == "bin") return network::Nonfinite::bin;
    throw std::invalid_argument("unknown nonfinite '" + nonfinite + "'");
}

network::Method method_of(const std::string& method) {
    if (method == "shift") return network::Method::shift;
    if (method == "shuffle") return network::Method::shuffle;
    throw std::invalid_argument("unknown surrogate method '" + method + "'");
}

std::string method_name(network::Method method) { return method == network::Method::shift ? "shift" : "shuffle"; }

// Lets other Python threads run between pieces of work done with the lock
// held. CPython hands the lock to a waiting thread only once that thread
// has waited a whole switch interval without the lock changing hands, so a
// release between every short piece would only starve it: the lock is let
// go once one and a half intervals have passed since it was last let go.
class LockBreaks {
public:
    LockBreaks() : interval_(std::chrono::duration<double>(1.5 * switch_interval())), last_(Clock::now()) {}

    void operator()() {
        if (Clock::now() - last_ < interval_) return;
        {
            nb::gil_scoped_release let_others_run;
        }
        last_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    static double switch_interval() {
        return nb::cast<double>(nb::module_::import_("sys").attr("getswitchinterval")());
    }
    std::chrono::duration<double> interval_;
    Clock::time_point last_;
};

// Rows are binned straight into `codes` (32-bit while n_bins <= 2^31, else
// 64-bit, a missing sample as the code n_bins) by the pool's threads, with
// each row's flag of a constant range going to `constant`. The calling
// thread keeps the interpreter lock while a batch of rows is read, so that
// no Python code can change them meanwhile, and lets it go between batches
// of about kBinBatch samples (at least a row per thread) as LockBreaks
// allows, so that other Python threads run.
constexpr std::size_t kBinBatch = std::size_t{1} << 20;

void bin_rows(const Signals& signals, std::uint64_t n_bins, const std::string& nonfinite, unsigned workers,
              nb::handle progress, nb::ndarray<nb::ndim<2>, nb::c_contig, nb::device::cpu> codes,
              nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> constant) {
    const network::Nonfinite mode = nonfinite_of(nonfinite);
    const StridedMatrix all = strided(signals);
    const bool narrow = network::BinnedRows::narrow_for(n_bins);
    const std::size_t width = narrow ? 4 : 8;
    if (codes.dtype() != (narrow ? nb::dtype<std::uint32_t>() : nb::dtype<std::uint64_t>()) ||
        codes.shape(0) != all.rows || codes.shape(1) != all.cols || constant.shape(0) != all.rows) {
        throw std::invalid_argument("bins need a " + std::to_string(8 * width) + "-bit array of the signals' shape");
    }
    const std::size_t rows = all.rows, cols = all.cols;
    const std::uint64_t missing_bin = n_bins == 0 ? 1 : n_bins;
    network::Progress done;
    network::Pool pool(workers, poll_with(progress), done);
    const std::size_t per_batch = std::max<std::size_t>(pool.workers(), cols == 0 ? rows : kBinBatch / cols);
    char* out = static_cast<char*>(codes.data());
    std::vector<Buffer<double>> copies(pool.workers());
    std::vector<std::uint8_t> refused(rows, 0);
    LockBreaks let_others_run;
    for (std::size_t first = 0; first < rows; first += per_batch) {
        if (first != 0) let_others_run();
        pool.run(std::min(per_batch, rows - first), [&](std::size_t unit, unsigned slot) {
            const std::size_t i = first + unit;
            // A row that is not contiguous and aligned is read through a copy.
            const char* start = all.data + static_cast<std::ptrdiff_t>(i) * all.row_stride;
            Span row{reinterpret_cast<const double*>(start), cols};
            if (all.col_stride != static_cast<std::ptrdiff_t>(sizeof(double)) ||
                reinterpret_cast<std::uintptr_t>(start) % alignof(double) != 0) {
                if (copies[slot].size() == 0) copies[slot] = Buffer<double>::uninitialised(cols);
                for (std::size_t t = 0; t < cols; ++t) copies[slot][t] = all.at(i, t);
                row = Span{copies[slot].data(), cols};
            }
            const network::RowBinning found =
                network::BinnedRows::bin_row(row, n_bins, mode, out + i * cols * width, missing_bin, nullptr);
            refused[i] = found.refused;
            constant.data()[i] = found.constant;
            return std::uint64_t{0};
        });
        for (std::size_t i = first; i < std::min(rows, first + per_batch); ++i) {
            if (refused[i]) network::BinnedRows::refuse(i);
        }
    }
}

// The binned mutual information of every pair of a few rows, read with the
// lock held (let go between rounds of one pair per thread), into out (m x m).
void mutual_pairs(const Values& values, std::uint64_t n_bins, const std::string& nonfinite, unsigned workers,
                  nb::handle progress, Block out) {
    const network::Nonfinite mode = nonfinite_of(nonfinite);
    const std::size_t m = values.shape(0);
    if (out.shape(0) != m || out.shape(1) != m) throw std::invalid_argument("the result needs an m x m array");
    network::Progress done;
    done.total = m * (m - (m != 0)) / 2;
    network::Pool pool(workers, poll_with(progress), done);
    LockBreaks let_others_run;
    network::mutual_information_pairs(values.data(), m, values.shape(1), n_bins, mode, pool,
                                      [&] { let_others_run(); }, out.data());
}

// The normal scores of every row (the Gaussian copula), missing samples NaN.
void copula_rows(const Values& values, unsigned workers, nb::handle progress, Block out) {
    if (out.shape(0) != values.shape(0) || out.shape(1) != values.shape(1)) {
        throw std::invalid_argument("scores need an array of the values' shape");
    }
    network::Progress done;
    network::Pool pool(workers, poll_with(progress), done);
    network::copula_rows(values.data(), values.shape(0), values.shape(1), out.data(), pool);
}

// The rows of the nearest-neighbour estimator: each standardised (or
// ranked) over its present values, with its noise keyed by (seed, row
// index); missing samples NaN.
void ksg_rows(const Values& values, bool rank, double noise, std::uint64_t seed, unsigned workers,
              nb::handle progress, Block out) {
    if (out.shape(0) != values.shape(0) || out.shape(1) != values.shape(1)) {
        throw std::invalid_argument("prepared rows need an array of the values' shape");
    }
    if (!(noise >= 0.0) || !std::isfinite(noise)) throw std::invalid_argument("noise must be finite and not negative");
    network::Progress done;
    network::Pool pool(workers, poll_with(progress), done);
    const std::size_t length = values.shape(1);
    const double* in = values.data();
    double* prepared = out.data();
    nb::gil_scoped_release release;
    pool.run(values.shape(0), [&](std::size_t i, unsigned) {
        stop_point();
        network::ksg::prepare_row(in + i * length, length, network::ksg::Preparation{rank, noise, seed}, i,
                                  prepared + i * length);
        return std::uint64_t{0};
    });
}

// The rows as the estimator reads them: bins (unsigned, 8 to 64 bits) with
// each row's constant flag for the binned estimator, else real values.
// The arrays are read with the lock held while the estimator copies or
// widens them.
network::RowData row_data(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant) {
    network::RowData data;
    data.rows = rows.shape(0);
    data.length = rows.shape(1);
    const nb::dlpack::dtype type = rows.dtype();
    if (spec.name == "binned") {
        const unsigned bits = type.bits;
        if (type.code != static_cast<std::uint8_t>(nb::dlpack::dtype_code::UInt) || type.lanes != 1 ||
            (bits != 8 && bits != 16 && bits != 32 && bits != 64)) {
            throw std::invalid_argument("bins must be unsigned integers");
        }
        if (constant.shape(0) != data.rows) throw std::invalid_argument("one constant flag per row is needed");
        data.codes = network::CodeMatrix{rows.data(), bits, data.rows, data.length};
        data.constant = constant.data();
    } else {
        if (type != nb::dtype<double>()) throw std::invalid_argument("the values must be float64");
        data.values = static_cast<const double*>(rows.data());
    }
    return data;
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

double* optional_out(nb::handle out, const network::Tile& tile) {
    if (out.is_none()) return nullptr;
    Block block = nb::cast<Block>(out);
    return tile_out(block, tile);
}

// The estimator's statistic is built with the lock held (it copies or
// widens the rows); the pairs are computed without it.
template <class F>
void run(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant, std::uint64_t history,
         std::size_t first, network::Pool& pool, F&& f) {
    const network::RowData data = row_data(spec, rows, constant);
    network::with_statistic(spec, data, history, first, pool, [&](const auto& stat) {
        nb::gil_scoped_release release;
        f(stat);
    });
}

void te_matrix(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant, const Indices& keys,
               const Indices& sources, const Indices& targets, std::uint64_t history, unsigned workers,
               nb::handle progress, Block out, nb::handle steps) {
    const network::Tile tile = tile_of(keys, sources, targets, rows.shape(0));
    double* result = tile_out(out, tile);
    double* counted = optional_out(steps, tile);
    network::Progress done;
    done.total = tile.ordered_pairs();
    network::Pool pool(workers, poll_with(progress), done);
    run(spec, rows, constant, history, static_cast<std::size_t>(history), pool,
        [&](const auto& stat) { network::transfer_matrix(stat, tile, history, pool, result, counted); });
}

void mi_matrix(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant, const Indices& keys,
               const Indices& sources, const Indices& targets, unsigned workers, nb::handle progress, Block out,
               nb::handle steps) {
    const network::Tile tile = tile_of(keys, sources, targets, rows.shape(0));
    double* result = tile_out(out, tile);
    double* counted = optional_out(steps, tile);
    network::Progress done;
    done.total = tile.symmetric_units();
    network::Pool pool(workers, poll_with(progress), done);
    const network::RowData data = row_data(spec, rows, constant);
    network::mutual_information_matrix(spec, data, tile, pool, result, counted,
                                       [] { return std::make_unique<nb::gil_scoped_release>(); });
}

void te_test(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant, const Indices& keys,
             const Indices& sources, const Indices& targets, const network::TestSettings& settings, unsigned workers,
             nb::handle progress, Block te, Block p_values, Block null_mean, Block null_std, nb::handle steps) {
    const network::Tile tile = tile_of(keys, sources, targets, rows.shape(0));
    const network::TestOutput out{tile_out(te, tile), tile_out(p_values, tile), tile_out(null_mean, tile),
                                  tile_out(null_std, tile), optional_out(steps, tile)};
    network::Progress done;
    done.total = tile.ordered_pairs() * (1 + (settings.analytic ? 0 : settings.surrogates));
    network::Pool pool(workers, poll_with(progress), done);
    run(spec, rows, constant, settings.history, static_cast<std::size_t>(settings.history), pool,
        [&](const auto& stat) { network::pairwise_test(stat, tile, settings, pool, out); });
}

std::vector<network::TargetResult> infer(const network::EstimatorSpec& spec, const Rows& rows, const Flags& constant,
                                         const Indices& targets, const network::InferenceSettings& settings,
                                         unsigned workers, nb::handle progress) {
    const std::vector<std::size_t> which = indices(targets);
    network::Progress done;  // the total is not known in advance
    network::Pool pool(workers, poll_with(progress), done);
    const std::size_t first = network::first_counted_step(static_cast<std::size_t>(settings.history),
                                                          settings.longest_lag());
    std::vector<network::TargetResult> results;
    run(spec, rows, constant, settings.history, first, pool, [&](const auto& stat) {
        results = network::search_network(stat, rows.shape(0), which, settings, pool);
    });
    return results;
}

// One conditional estimate. The binned estimator bins each series over its
// own full length and counts the first n steps (n the shortest length), as
// the single-pair functions do; the others read the first n steps of each.
// With `target_lags` the target's own past is its values at those lags in
// place of its last `history` values.
nb::tuple conditional(const network::EstimatorSpec& spec, const Series& source, const Series& target,
                      const Signals& conditions, std::uint64_t history, std::size_t lag,
                      const std::vector<std::size_t>& condition_lags,
                      const std::optional<std::vector<std::size_t>>& target_lags) {
    if (condition_lags.size() != conditions.shape(0)) throw std::invalid_argument("one lag per condition");
    const Span s{source.data(), source.shape(0)}, t{target.data(), target.shape(0)};
    const StridedMatrix z = strided(conditions);
    // One unit on a pool of one thread, so that Ctrl-C stops it at its next
    // stop point.
    network::Progress done;
    network::Pool pool(1, poll_with(nb::none()), done);
    if (spec.name == "binned") {
        network::ConditionalEstimate e;
        {
            nb::gil_scoped_release release;
            pool.run(1, [&](std::size_t, unsigned) {
                e = network::conditional_transfer_entropy(s, t, z, spec.n_bins, history, lag, condition_lags,
                                                          target_lags ? &*target_lags : nullptr);
                return std::uint64_t{0};
            });
        }
        return nb::make_tuple(e.te, e.states, e.steps);
    }
    std::size_t n = std::min(s.len, t.len);
    if (z.rows != 0) n = std::min(n, z.cols);
    // Rows: target, source, conditions.
    const std::size_t m = 2 + z.rows;
    Buffer<double> values = Buffer<double>::uninitialised(m * n);
    std::copy(t.data, t.data + n, values.data());
    std::copy(s.data, s.data + n, values.data() + n);
    for (std::size_t k = 0; k < z.rows; ++k) {
        for (std::size_t u = 0; u < n; ++u) values[(2 + k) * n + u] = z.at(k, u);
    }
    network::RowData data;
    data.values = values.data();
    data.rows = m;
    data.length = n;
    network::ContextSpec context{0, target_lags ? 0 : static_cast<std::size_t>(history), {}, 1};
    if (target_lags) {
        for (std::size_t l : *target_lags) context.conditions.push_back({0, l});
    }
    for (std::size_t k = 0; k < z.rows; ++k) context.conditions.push_back({2 + k, condition_lags[k]});
    network::Estimate e;
    network::with_statistic(spec, data, history, 0, pool, [&](const auto& stat) {
        nb::gil_scoped_release release;
        pool.run(1, [&](std::size_t, unsigned) {
            typename std::remove_cvref_t<decltype(stat)>::Worker worker(stat);
            const network::Source one{network::Candidate{1, lag}, network::Draw::observed()};
            e = worker.estimate(context, std::span(&one, 1));
            return std::uint64_t{0};
        });
    });
    return nb::make_tuple(e.value, e.states, e.steps);
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
    namespace network = zelmo::network;
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

    nb::class_<network::EstimatorSpec>(m, "Estimator")
        .def("__init__", [](network::EstimatorSpec* e, std::string name, std::uint64_t n_bins,
                            std::uint64_t k) { new (e) network::EstimatorSpec{std::move(name), n_bins, k}; },
             "name"_a, "n_bins"_a = 0, "k"_a = 0)
        .def_rw("name", &network::EstimatorSpec::name)
        .def_rw("n_bins", &network::EstimatorSpec::n_bins)
        .def_rw("k", &network::EstimatorSpec::k)
        .def("__getstate__", [](const network::EstimatorSpec& e) { return nb::make_tuple(e.name, e.n_bins, e.k); })
        .def("__setstate__", [](network::EstimatorSpec& e, const nb::tuple& state) {
            new (&e) network::EstimatorSpec{nb::cast<std::string>(state[0]), nb::cast<std::uint64_t>(state[1]),
                                            nb::cast<std::uint64_t>(state[2])};
        });

    nb::class_<network::TestSettings>(m, "TestSettings")
        .def("__init__",
             [](network::TestSettings* s, std::uint64_t history, std::uint64_t surrogates, const std::string& method,
                std::uint64_t seed, bool analytic) {
                 new (s) network::TestSettings{history, surrogates, method_of(method), seed, analytic};
             },
             "history"_a, "surrogates"_a, "method"_a, "seed"_a, "analytic"_a)
        .def_rw("history", &network::TestSettings::history)
        .def_rw("surrogates", &network::TestSettings::surrogates)
        .def_prop_rw("method", [](const network::TestSettings& s) { return method_name(s.method); },
                     [](network::TestSettings& s, const std::string& m) { s.method = method_of(m); })
        .def_rw("seed", &network::TestSettings::seed)
        .def_rw("analytic", &network::TestSettings::analytic)
        .def("__getstate__", [](const network::TestSettings& s) {
            return nb::make_tuple(s.history, s.surrogates, method_name(s.method), s.seed, s.analytic);
        })
        .def("__setstate__", [](network::TestSettings& s, const nb::tuple& t) {
            new (&s) network::TestSettings{nb::cast<std::uint64_t>(t[0]), nb::cast<std::uint64_t>(t[1]),
                                           method_of(nb::cast<std::string>(t[2])), nb::cast<std::uint64_t>(t[3]),
                                           nb::cast<bool>(t[4])};
        });

    nb::class_<network::InferenceSettings>(m, "InferenceSettings")
        .def("__init__",
             [](network::InferenceSettings* s, std::uint64_t history, std::size_t target_history, std::size_t max_lag,
                std::size_t max_history, double alpha, std::uint64_t surrogates, const std::string& method,
                std::uint64_t seed, std::size_t max_sources, bool analytic, bool sequential) {
                 new (s) network::InferenceSettings{history,    target_history,    max_lag, max_history,
                                                    alpha,      surrogates,        method_of(method),
                                                    seed,       max_sources,       analytic, sequential};
             },
             "history"_a, "target_history"_a, "max_lag"_a, "max_history"_a, "alpha"_a, "surrogates"_a, "method"_a,
             "seed"_a, "max_sources"_a, "analytic"_a, "sequential"_a = false)
        .def_rw("history", &network::InferenceSettings::history)
        .def_rw("target_history", &network::InferenceSettings::target_history)
        .def_rw("max_lag", &network::InferenceSettings::max_lag)
        .def_rw("max_history", &network::InferenceSettings::max_history)
        .def_rw("alpha", &network::InferenceSettings::alpha)
        .def_rw("surrogates", &network::InferenceSettings::surrogates)
        .def_prop_rw("method", [](const network::InferenceSettings& s) { return method_name(s.method); },
                     [](network::InferenceSettings& s, const std::string& m) { s.method = method_of(m); })
        .def_rw("seed", &network::InferenceSettings::seed)
        .def_rw("max_sources", &network::InferenceSettings::max_sources)
        .def_rw("analytic", &network::InferenceSettings::analytic)
        .def_rw("sequential", &network::InferenceSettings::sequential)
        .def_prop_ro("early_stop",
                     [](const network::InferenceSettings& s) { return network::search_detail::early_stop(s); })
        .def("__getstate__", [](const network::InferenceSettings& s) {
            return nb::make_tuple(s.history, s.target_history, s.max_lag, s.max_history, s.alpha, s.surrogates,
                                  method_name(s.method), s.seed, s.max_sources, s.analytic, s.sequential);
        })
        .def("__setstate__", [](network::InferenceSettings& s, const nb::tuple& t) {
            new (&s) network::InferenceSettings{nb::cast<std::uint64_t>(t[0]), nb::cast<std::size_t>(t[1]),
                                                nb::cast<std::size_t>(t[2]), nb::cast<std::size_t>(t[3]),
                                                nb::cast<double>(t[4]), nb::cast<std::uint64_t>(t[5]),
                                                method_of(nb::cast<std::string>(t[6])), nb::cast<std::uint64_t>(t[7]),
                                                nb::cast<std::size_t>(t[8]), nb::cast<bool>(t[9]),
                                                nb::cast<bool>(t[10])};
        });

    nb::class_<network::Link>(m, "Link")
        .def_ro("source", &network::Link::source)
        .def_ro("lag", &network::Link::lag)
        .def_ro("te", &network::Link::te)
        .def_ro("p_value", &network::Link::p_value)
        .def_ro("states", &network::Link::states)
        .def_ro("steps", &network::Link::steps)
        .def("__getstate__", [](const network::Link& l) {
            return nb::make_tuple(l.source, l.lag, l.te, l.p_value, l.states, l.steps);
        })
        .def("__setstate__", [](network::Link& l, const nb::tuple& t) {
            new (&l) network::Link{nb::cast<std::size_t>(t[0]), nb::cast<std::size_t>(t[1]), nb::cast<double>(t[2]),
                                   nb::cast<double>(t[3]), nb::cast<std::uint64_t>(t[4]), nb::cast<std::uint64_t>(t[5])};
        });

    nb::class_<network::TargetResult>(m, "TargetResult")
        .def_ro("target", &network::TargetResult::target)
        .def_ro("links", &network::TargetResult::links)
        .def_ro("history", &network::TargetResult::history)
        .def_prop_ro("first_p", [](const network::TargetResult& r) -> nb::object {
            return r.first_p < 0 ? nb::none() : nb::cast(r.first_p);
        })
        .def_prop_ro("omnibus_p", [](const network::TargetResult& r) -> nb::object {
            return r.omnibus_p < 0 ? nb::none() : nb::cast(r.omnibus_p);
        })
        .def_ro("steps", &network::TargetResult::steps)
        .def_ro("surrogates", &network::TargetResult::surrogates)
        .def("__getstate__", [](const network::TargetResult& r) {
            return nb::make_tuple(r.target, r.links, r.history, r.first_p, r.omnibus_p, r.steps, r.surrogates);
        })
        .def("__setstate__", [](network::TargetResult& r, const nb::tuple& t) {
            new (&r) network::TargetResult{nb::cast<std::size_t>(t[0]), nb::cast<std::vector<network::Link>>(t[1]),
                                           nb::cast<std::vector<std::size_t>>(t[2]), nb::cast<double>(t[3]),
                                           nb::cast<double>(t[4]), nb::cast<std::uint64_t>(t[5]),
                                           nb::cast<std::uint64_t>(t[6])};
        });

    m.def("_panic_exception", &panic_exception);
    m.def("bin_rows", &bin_rows, "signals"_a, "n_bins"_a, "nonfinite"_a, "workers"_a, "progress"_a.none(),
          "codes"_a, "constant"_a);
    m.def("mutual_pairs", &mutual_pairs, "values"_a, "n_bins"_a, "nonfinite"_a, "workers"_a, "progress"_a.none(),
          "out"_a);
    m.def("copula_rows", &copula_rows, "values"_a, "workers"_a, "progress"_a.none(), "out"_a);
    m.def("ksg_rows", &ksg_rows, "values"_a, "rank"_a, "noise"_a, "seed"_a, "workers"_a, "progress"_a.none(), "out"_a);
    m.def("transfer_entropy_matrix", &te_matrix, "estimator"_a, "rows"_a, "constant"_a, "keys"_a, "sources"_a,
          "targets"_a, "history"_a, "workers"_a, "progress"_a.none(), "out"_a, "steps"_a.none());
    m.def("mutual_information_matrix", &mi_matrix, "estimator"_a, "rows"_a, "constant"_a, "keys"_a, "sources"_a,
          "targets"_a, "workers"_a, "progress"_a.none(), "out"_a, "steps"_a.none());
    m.def("transfer_entropy_test", &te_test, "estimator"_a, "rows"_a, "constant"_a, "keys"_a, "sources"_a,
          "targets"_a, "settings"_a, "workers"_a, "progress"_a.none(), "te"_a, "p_values"_a, "null_mean"_a,
          "null_std"_a, "steps"_a.none());
    m.def("conditional_transfer_entropy", &conditional, "estimator"_a, "source"_a, "target"_a, "conditions"_a,
          "history"_a, "lag"_a, "condition_lags"_a, "target_lags"_a.none());
    m.def("infer_network", &infer, "estimator"_a, "rows"_a, "constant"_a, "targets"_a, "settings"_a, "workers"_a,
          "progress"_a.none());
    bind_ksg(m);
}
