#include "statistic.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "../../kernels/key_counts.hpp"
#include "conditional.hpp"

namespace zelmo::network {

RowCodes::RowCodes(const BinnedRows& rows, const Geometry& g, const PastWeights& weights, Pool& pool)
    : length_(g.length), narrow_(g.states != 0 && rows.narrow()) {
    const std::size_t m = rows.rows();
    if (narrow_) {
        codes32_ = Buffer<std::uint32_t>::uninitialised(m * length_);
        pool.run(m, [&](std::size_t i, unsigned) {
            circular_codes(rows.bins32(i), g, codes32_.data() + i * length_);
            return std::uint64_t{0};
        });
        return;
    }
    codes64_ = Buffer<std::uint64_t>::uninitialised(m * length_);
    pool.run(m, [&](std::size_t i, unsigned) {
        Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(length_);
        Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(length_ + g.history);
        rows.widen(i, bins.data());
        circular_codes(bins.data(), g, weights, codes64_.data() + i * length_, scratch.data());
        return std::uint64_t{0};
    });
}

BinnedStatistic::BinnedStatistic(const BinnedRows& rows, std::uint64_t history, std::size_t first, Pool& pool)
    : rows_(rows),
      history_(history),
      window_(rows.length(), first),
      geometry_(rows.length(), rows.n_bins(), static_cast<std::size_t>(history), first),
      weights_(rows.n_bins(), history) {
    // Values are only asked for where steps are counted.
    if (window_.count == 0 || window_.length < 3 || history >= window_.length) {
        window_.count = 0;
        return;
    }
    xlogx_.emplace(window_.count);
    codes_.emplace(rows, geometry_, weights_, pool);
    if (rows.any_missing()) {
        const std::size_t length = window_.length;
        past_present_ = Buffer<std::uint8_t>::uninitialised(rows.rows() * length);
        pool.run(rows.rows(), [&](std::size_t i, unsigned) {
            circular_presence(rows.present(i), length, static_cast<std::size_t>(history), past_present_.data() + i * length);
            return std::uint64_t{0};
        });
    }
}

void circular_presence(const std::uint8_t* samples, std::size_t length, std::size_t history, std::uint8_t* present) {
    // Runs of missing samples: the past ending at u - 1 is whole when the
    // last missing sample at or before u - 1 (circularly) lies more than
    // `history` back.
    std::size_t since = length;  // steps since the last missing sample, up to the first index
    for (std::size_t k = 0; k < length; ++k) since = samples[length - 1 - k] ? since : std::min(since, k);
    for (std::size_t u = 0; u < length; ++u) {
        present[u] = since >= history ? 1 : 0;
        since = samples[u] ? since + 1 : 0;
    }
}

NullSummary BinnedStatistic::summarize(const Value* values, std::size_t n, std::size_t stride) const {
    const auto in_bits = [this](const Value& v) { return bits(v); };
    bool whole = n != 0;  // every value over all the window's steps: one exact sum
    for (std::size_t k = 0; k < n; ++k) whole = whole && values[k * stride].steps == window_.count;
    if (!whole) return summary_in_bits(values, n, stride, in_bits);
    __int128 sum = 0;
    for (std::size_t k = 0; k < n; ++k) sum += values[k * stride].fixed;
    const double mean = xlogx_->bits(sum) / static_cast<double>(n);
    return summary_in_bits(values, n, stride, in_bits, &mean);
}

void BinnedStatistic::Worker::build(Context& c, const ContextSpec& spec) {
    const Geometry& g = st_.geometry_;
    const RowCodes& codes = *st_.codes_;
    if (spec.history != 0 && spec.history != g.history) throw std::invalid_argument("a target past of another length");
    const bool own_past = spec.history != 0;
    const std::size_t count = g.count, k = spec.conditions.size();
    const std::size_t width = k + (own_past ? 1 : 0);
    c.sources = spec.sources;
    // A past ends `lag` steps before each counted step.
    auto past = [&](std::size_t row, std::size_t lag, std::size_t t) {
        return codes.code(row, (t + g.first + g.length - lag + 1) % g.length);
    };
    if (st_.rows_.any_missing()) {
        // The words, next bins and presence per step, for values over the
        // steps whose samples are all present.
        const std::size_t length = g.length;
        auto past_present = [&](std::size_t row, std::size_t lag, std::size_t t) {
            return st_.past_present_[row * length + (t + g.first + length - lag + 1) % length];
        };
        c.width = width;
        c.words.resize(count * width);
        c.next.resize(count);
        c.present = Buffer<std::uint8_t>::uninitialised(count);
        Buffer<std::uint64_t> next_bins = Buffer<std::uint64_t>::uninitialised(g.length);
        st_.rows_.widen(spec.target, next_bins.data());
        const std::uint8_t* target_present = st_.rows_.present(spec.target);
        c.complete = true;
        for (std::size_t t = 0; t < count; ++t) {
            std::uint64_t* w = c.words.data() + t * width;
            bool ok = target_present[g.first + t] != 0;
            if (own_past) {
                *w++ = past(spec.target, 1, t);
                ok = ok && past_present(spec.target, 1, t);
            }
            for (std::size_t q = 0; q < k; ++q) {
                w[q] = past(spec.conditions[q].row, spec.conditions[q].lag, t);
                ok = ok && past_present(spec.conditions[q].row, spec.conditions[q].lag, t);
            }
            c.next[t] = next_bins[g.first + t];
            c.present[t] = ok ? 1 : 0;
            c.complete = c.complete && ok;
        }
    }
    const bool narrow = codes.narrow();
    const std::uint64_t contexts = narrow ? bounded_power(g.states, width, kDenseStates) : 0;
    const std::uint64_t sources = narrow ? bounded_power(g.states, spec.sources, kDenseStates) : 0;
    if (contexts != 0 && sources != 0 && DenseContext::fits(contexts, sources, g.radix)) {
        Buffer<std::uint32_t> context = Buffer<std::uint32_t>::uninitialised(count);
        for (std::size_t t = 0; t < count; ++t) {
            std::uint64_t code = 0;
            for (std::size_t q = k; q-- > 0;) {
                code = code * g.states + past(spec.conditions[q].row, spec.conditions[q].lag, t);
            }
            if (own_past) code = code * g.states + past(spec.target, 1, t);
            context[t] = static_cast<std::uint32_t>(code);
        }
        c.dense.emplace(g, st_.rows_.bins32(spec.target), context.data(), contexts, sources, *st_.xlogx_);
        return;
    }
    std::vector<std::uint64_t> words(count * width), next(count);
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(g.length);
    st_.rows_.widen(spec.target, bins.data());
    for (std::size_t t = 0; t < count; ++t) {
        std::uint64_t* w = words.data() + t * width;
        if (own_past) *w++ = past(spec.target, 1, t);
        for (std::size_t q = 0; q < k; ++q) w[q] = past(spec.conditions[q].row, spec.conditions[q].lag, t);
        next[t] = bins[g.first + t];
    }
    c.wide.emplace(count, width, std::move(words), std::move(next), *st_.xlogx_);
}

SourceCodes BinnedStatistic::Worker::codes_of(const Source& source) {
    const RowCodes& codes = *st_.codes_;
    const std::size_t row = source.candidate.row;
    if (source.draw.kind == Draw::Kind::shuffled) return shuffled(source.draw.draws, row).view();
    SourceCodes s = codes.narrow() ? SourceCodes{codes.codes32(row), nullptr, 0} : SourceCodes{nullptr, codes.codes64(row), 0};
    if (source.draw.kind == Draw::Kind::rotated) s.rotation = source.draw.rotation;
    return s;
}

const BinnedStatistic::Worker::Shuffled& BinnedStatistic::Worker::shuffled(Draws draws, std::size_t row) {
    return shuffled_.get(draws, row, [&](Shuffled& s) {
        const Geometry& g = st_.geometry_;
        Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(g.length);
        st_.rows_.widen(row, bins.data());
        shuffle_values(draws, bins.data(), g.length);
        if (st_.codes_->narrow()) {
            Buffer<std::uint32_t> narrow = Buffer<std::uint32_t>::uninitialised(g.length);
            std::transform(bins.begin(), bins.end(), narrow.begin(),
                           [](std::uint64_t b) { return static_cast<std::uint32_t>(b); });
            s.codes32 = Buffer<std::uint32_t>::uninitialised(g.length);
            circular_codes(narrow.data(), g, s.codes32.data());
        } else {
            Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(g.length + g.history);
            s.codes64 = Buffer<std::uint64_t>::uninitialised(g.length);
            circular_codes(bins.data(), g, st_.weights_, s.codes64.data(), scratch.data());
        }
        if (st_.rows_.any_missing()) {
            Buffer<std::uint8_t> samples = Buffer<std::uint8_t>::uninitialised(g.length);
            std::copy(st_.rows_.present(row), st_.rows_.present(row) + g.length, samples.data());
            shuffle_values(draws, samples.data(), g.length);
            s.present = Buffer<std::uint8_t>::uninitialised(g.length);
            circular_presence(samples.data(), g.length, g.history, s.present.data());
        }
    });
}

BinnedStatistic::Value BinnedStatistic::Worker::value(const Context& c, std::span<const Source> sources) {
    const Geometry& g = st_.geometry_;
    const XLog2X& xlogx = *st_.xlogx_;
    const std::size_t count = g.count;
    if (st_.rows_.any_missing()) {
        bool whole = c.complete;
        for (const Source& s : sources) whole = whole && !st_.rows_.row_missing(s.candidate.row);
        if (!whole) return masked_value(c, sources);
    }
    if (c.dense) {
        const std::size_t needed = c.dense->cells() + c.dense->groups();
        if (tables_.size() < needed) tables_ = Buffer<std::uint32_t>::zeroed(needed);
        if (sources.size() == 1) {
            const SourceCodes s = codes_of(sources[0]);
            return Value{c.dense->value(CodeView<std::uint32_t>::past(s.codes32, g, sources[0].candidate.lag, s.rotation),
                                        tables_.data(), xlogx),
                         count};
        }
        // Several sources: one code per step, sum of code_q * states^q.
        if (combined_.size() < count) combined_ = Buffer<std::uint32_t>::uninitialised(count);
        std::fill(combined_.begin(), combined_.begin() + count, std::uint32_t{0});
        for (std::size_t q = sources.size(); q-- > 0;) {
            const SourceCodes s = codes_of(sources[q]);
            const auto view = CodeView<std::uint32_t>::past(s.codes32, g, sources[q].candidate.lag, s.rotation);
            for_each_step(count, view, [&](std::size_t t, std::size_t u) {
                combined_[t] = static_cast<std::uint32_t>(combined_[t] * g.states + s.codes32[u]);
            });
        }
        return Value{c.dense->value(CodeView<std::uint32_t>{combined_.data(), count, 0}, tables_.data(), xlogx), count};
    }
    const std::size_t width = sources.size();
    if (words_.size() < count * width) words_ = Buffer<std::uint64_t>::uninitialised(count * width);
    for (std::size_t q = 0; q < width; ++q) {
        const SourceCodes s = codes_of(sources[q]);
        auto copy = [&](const auto* codes) {
            const auto view =
                CodeView<std::remove_cvref_t<decltype(*codes)>>::past(codes, g, sources[q].candidate.lag, s.rotation);
            for_each_step(count, view, [&](std::size_t t, std::size_t u) { words_[t * width + q] = codes[u]; });
        };
        if (s.codes64 != nullptr) {
            copy(s.codes64);
        } else {
            copy(s.codes32);
        }
    }
    return Value{c.wide->value(words_.data(), width, xlogx), count};
}

BinnedStatistic::Value BinnedStatistic::Worker::masked_value(const Context& c, std::span<const Source> sources) {
    const Geometry& g = st_.geometry_;
    const std::size_t count = g.count, wc = c.width, ws = sources.size();
    // Which steps keep every sample, then the rows (context, sources, next)
    // of those steps, counted by sorting.
    Buffer<std::uint8_t> keep = Buffer<std::uint8_t>::uninitialised(count);
    std::copy(c.present.begin(), c.present.end(), keep.begin());
    std::vector<SourceCodes> codes(ws);
    std::vector<const std::uint8_t*> presence(ws);
    for (std::size_t q = 0; q < ws; ++q) {
        const Source& s = sources[q];
        if (s.draw.kind == Draw::Kind::shuffled) {
            const Shuffled& shuffled_row = shuffled(s.draw.draws, s.candidate.row);
            codes[q] = shuffled_row.view();
            presence[q] = shuffled_row.present.data();
        } else {
            codes[q] = codes_of(s);
            presence[q] = st_.past_present_.data() + s.candidate.row * g.length;
        }
        const CodeView<std::uint8_t> view = CodeView<std::uint8_t>::past(presence[q], g, s.candidate.lag, codes[q].rotation);
        for_each_step(count, view, [&](std::size_t t, std::size_t u) { keep[t] &= view.codes[u]; });
    }
    std::size_t kept = 0;
    for (std::size_t t = 0; t < count; ++t) kept += keep[t];
    if (kept == 0) return Value{0, 0};
    const std::size_t width = wc + ws + 1;
    std::vector<std::uint64_t> full(kept * width), context(kept * (wc + 1));
    std::vector<std::size_t> slot(count);
    for (std::size_t t = 0, r = 0; t < count; ++t) {
        slot[t] = r;
        if (!keep[t]) continue;
        std::copy(c.words.begin() + t * wc, c.words.begin() + (t + 1) * wc, full.begin() + r * width);
        std::copy(c.words.begin() + t * wc, c.words.begin() + (t + 1) * wc, context.begin() + r * (wc + 1));
        full[r * width + width - 1] = context[r * (wc + 1) + wc] = c.next[t];
        ++r;
    }
    for (std::size_t q = 0; q < ws; ++q) {
        auto copy = [&](const auto* source_codes) {
            using Code = std::remove_cvref_t<decltype(*source_codes)>;
            const auto view = CodeView<Code>::past(source_codes, g, sources[q].candidate.lag, codes[q].rotation);
            for_each_step(count, view, [&](std::size_t t, std::size_t u) {
                if (keep[t]) full[slot[t] * width + wc + q] = source_codes[u];
            });
        };
        if (codes[q].codes64 != nullptr) {
            copy(codes[q].codes64);
        } else {
            copy(codes[q].codes32);
        }
    }
    const XLog2X& xlogx = *st_.xlogx_;
    const std::int64_t te = sorted_sums(full, width, width - 1, xlogx) - sorted_sums(context, wc + 1, wc, xlogx);
    return Value{te > 0 ? te : 0, kept};
}

Estimate BinnedStatistic::Worker::estimate(const ContextSpec& spec, std::span<const Source> sources) {
    const BinnedRows& rows = st_.rows_;
    const std::size_t length = rows.length();
    Estimate out;
    if (sources.size() != 1) throw std::invalid_argument("an estimate of one source at a time");
    const bool missing = rows.row_missing(spec.target) || rows.row_missing(sources[0].candidate.row) ||
                         std::any_of(spec.conditions.begin(), spec.conditions.end(),
                                     [&](const Candidate& z) { return rows.row_missing(z.row); });
    if (!missing && spec.conditions.empty() && sources[0].candidate.lag == 1 && spec.history == st_.history_ &&
        sources[0].draw.kind == Draw::Kind::observed) {
        if (!transfer_counts_steps(length, st_.history_)) return out;
        if (!pairs_) pairs_.emplace(rows, st_.history_);
        out.value = pairs_->estimate(sources[0].candidate.row, spec.target);
        out.steps = length - static_cast<std::size_t>(st_.history_);
        return out;
    }
    // Target, sources, then the conditions, each row's bins widened.
    std::vector<std::size_t> series{spec.target}, lags{1};
    for (const Source& s : sources) {
        series.push_back(s.candidate.row);
        lags.push_back(s.candidate.lag);
    }
    for (const Candidate& c : spec.conditions) {
        series.push_back(c.row);
        lags.push_back(c.lag);
    }
    std::vector<Buffer<std::uint64_t>> bins;
    for (std::size_t row : series) {
        bins.push_back(Buffer<std::uint64_t>::uninitialised(length));
        rows.widen(row, bins.back().data());
    }
    std::vector<const std::uint64_t*> views;  // after the last push: short buffers move with the vector
    for (const auto& b : bins) views.push_back(b.data());
    std::vector<const std::uint8_t*> present;
    for (std::size_t row : series) present.push_back(missing ? rows.present(row) : nullptr);
    const ConditionalEstimate e = conditional_from_bins(views, lags, length, rows.n_bins(), st_.history_,
                                                        spec.history != 0, missing ? &present : nullptr);
    out.value = e.te;
    out.states = e.states;
    out.steps = e.steps;
    return out;
}

}  // namespace zelmo::network
