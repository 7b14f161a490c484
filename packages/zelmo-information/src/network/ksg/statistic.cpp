#include "statistic.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zelmo::network {

namespace {

// Columns [first, first + count) of a block of columns of n values each.
ksg::Columns columns_of(const double* block, std::size_t first, std::size_t count, std::size_t n) {
    ksg::Columns out{{}, n};
    for (std::size_t c = first; c < first + count; ++c) out.columns.push_back(block + c * n);
    return out;
}

}  // namespace

KsgStatistic::KsgStatistic(const RealRows& rows, std::uint64_t history, std::size_t first, std::size_t k)
    : rows_(rows), history_(history), k_(k), window_(rows.length(), first) {
    if (k_ == 0) throw std::invalid_argument("k must be at least 1");
}

NullSummary KsgStatistic::summarize(const Value* values, std::size_t n, std::size_t stride) const {
    return summary_in_bits(values, n, stride, [this](const Value& v) { return bits(v); });
}

void KsgStatistic::Worker::build(Context& c, const ContextSpec& spec, const Window& window) {
    const RealRows& rows = st_.rows_;
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    c.window = window;
    c.ksg.reset();
    c.columns.clear();
    c.columns.push_back({spec.target, 0});
    for (std::size_t k = 1; k <= spec.history; ++k) c.columns.push_back({spec.target, k});
    for (const Candidate& z : spec.conditions) {
        for (std::size_t k = 0; k < width; ++k) c.columns.push_back({z.row, z.lag + k});
    }
    for (const Candidate& v : c.columns) {
        if (v.lag > window.first) throw std::invalid_argument("a past before the first step counted");
    }
    const std::size_t d = c.columns.size(), n = window.count;
    c.complete = true;
    if (rows.any_missing()) {
        c.complete = present_steps(rows, c.columns, window, c.valid);
        if (!c.complete) return;
    }
    if (n <= st_.k_) return;
    Buffer<double> block = Buffer<double>::uninitialised(d * n);
    for (std::size_t a = 0; a < d; ++a) gather(rows.row(c.columns[a].row), window, c.columns[a].lag, 0, block.data() + a * n);
    c.ksg = std::make_unique<ksg::Context>(columns_of(block.data(), 0, 1, n), columns_of(block.data(), 1, d - 1, n),
                                           st_.k_);
}

const KsgStatistic::Worker::Shuffled& KsgStatistic::Worker::shuffled(const Draws& draws, std::size_t row) {
    return shuffled_.get(draws, row, [&](Shuffled& s) { s = shuffle_row(st_.rows_, row, draws); });
}

std::size_t KsgStatistic::Worker::gather_sources(const Context& c, std::span<const Source> sources) {
    const RealRows& rows = st_.rows_;
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    const Window& w = c.window;
    const std::size_t n = w.count, dx = sources.size() * width;
    if (columns_.size() < dx * n) columns_ = Buffer<double>::uninitialised(dx * n);
    const bool missing = rows.any_missing();
    std::size_t present = n;
    if (missing) {
        if (source_valid_.size() < n) source_valid_ = Buffer<std::uint8_t>::uninitialised(n);
        if (ok_.size() < n) ok_ = Buffer<std::uint8_t>::uninitialised(n);
        std::fill(source_valid_.begin(), source_valid_.begin() + static_cast<std::ptrdiff_t>(n), std::uint8_t{1});
    }
    for (std::size_t q = 0; q < sources.size(); ++q) {
        const Source& s = sources[q];
        const bool shuffle = s.draw.kind == Draw::Kind::shuffled;
        const Shuffled* copy = shuffle ? &shuffled(s.draw.draws, s.candidate.row) : nullptr;
        const std::size_t rotation = shuffle ? 0 : s.draw.rotation;
        for (std::size_t k = 0; k < width; ++k) {
            const std::size_t lag = s.candidate.lag + k;
            if (lag > w.first) throw std::invalid_argument("a past before the first step counted");
            gather(shuffle ? copy->values.data() : rows.row(s.candidate.row), w, lag, rotation,
                   columns_.data() + (q * width + k) * n);
            if (missing) {
                gather(shuffle ? copy->valid.data() : rows.valid(s.candidate.row), w, lag, rotation, ok_.data());
                for (std::size_t t = 0; t < n; ++t) source_valid_[t] &= ok_[t];
            }
        }
    }
    if (missing) {
        present = 0;
        for (std::size_t t = 0; t < n; ++t) present += source_valid_[t];
    }
    return present;
}

KsgStatistic::Value KsgStatistic::Worker::value(const Context& c, std::span<const Source> sources) {
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    const std::size_t n = c.window.count, dx = sources.size() * width;
    const std::size_t present = gather_sources(c, sources);
    if (present == n && c.complete) {
        // Every step counts: the context's structures serve.
        if (dx == 0 || !c.ksg) return Value{0.0, n};
        const ksg::Columns x = columns_of(columns_.data(), 0, dx, n);
        return Value{window_lines(c, sources) ? c.ksg->value_with_lines(x, work_) : c.ksg->value(x, work_), n};
    }
    return masked_value(c, sources, dx);
}

bool KsgStatistic::Worker::window_lines(const Context& c, std::span<const Source> sources) {
    const RealRows& rows = st_.rows_;
    if (rows.any_missing()) return false;
    for (const Source& s : sources) {
        if (s.draw.kind == Draw::Kind::shuffled) return false;
    }
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    const Window& w = c.window;
    work_.source_lines.resize(sources.size() * width);
    for (std::size_t q = 0; q < sources.size(); ++q) {
        const std::size_t row = sources[q].candidate.row;
        auto kept = std::find_if(row_lines_.begin(), row_lines_.end(), [&](const auto& e) { return e.first == row; });
        if (kept == row_lines_.end()) {
            if (row_lines_.size() == kRowLines) row_lines_.erase(row_lines_.begin());
            row_lines_.emplace_back(row, ksg::SortedLine{});
            row_lines_.back().second.build(rows.row(row), w.length);
            kept = row_lines_.end() - 1;
        }
        // Column k holds the row from (first - lag + rotation) mod length on,
        // as gather() reads it.
        for (std::size_t k = 0; k < width; ++k) {
            const std::size_t lag = sources[q].candidate.lag + k;
            const std::size_t start = (w.first - lag + sources[q].draw.rotation) % w.length;
            work_.source_lines[q * width + k].build_window(kept->second, start, w.count);
        }
    }
    return true;
}

KsgStatistic::Value KsgStatistic::Worker::masked_value(const Context& c, std::span<const Source>, std::size_t dx) {
    const RealRows& rows = st_.rows_;
    const Window& w = c.window;
    const std::size_t d = c.columns.size();
    // The steps at which every value is present.
    std::size_t n = 0;
    for (std::size_t t = 0; t < w.count; ++t) {
        source_valid_[t] = source_valid_[t] & (c.complete ? std::uint8_t{1} : c.valid[t]);
        n += source_valid_[t];
    }
    if (dx == 0 || n <= st_.k_) return Value{0.0, n};
    // Y, Z, then X at the present steps.
    if (compact_.size() < (d + dx) * n + w.count) compact_ = Buffer<double>::uninitialised((d + dx) * n + w.count);
    double* full = compact_.data() + (d + dx) * n;
    auto keep = [&](const double* column, std::size_t slot) {
        double* out = compact_.data() + slot * n;
        std::size_t k = 0;
        for (std::size_t t = 0; t < w.count; ++t) {
            if (source_valid_[t]) out[k++] = column[t];
        }
    };
    for (std::size_t a = 0; a < d; ++a) {
        gather(rows.row(c.columns[a].row), w, c.columns[a].lag, 0, full);
        keep(full, a);
    }
    for (std::size_t a = 0; a < dx; ++a) keep(columns_.data() + a * w.count, d + a);
    const ksg::Context fresh(columns_of(compact_.data(), 0, 1, n), columns_of(compact_.data(), 1, d - 1, n), st_.k_);
    return Value{fresh.value(columns_of(compact_.data(), d, dx, n), work_), n};
}

Estimate KsgStatistic::Worker::estimate(const ContextSpec& spec, std::span<const Source> sources) {
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    // The first step every past lies inside; none when a reach overflows.
    std::size_t first = spec.history;
    auto reach = [&](std::size_t lag) {
        std::size_t end;
        first = __builtin_add_overflow(lag, width - 1, &end) ? SIZE_MAX : std::max(first, end);
    };
    for (const Source& s : sources) reach(s.candidate.lag);
    for (const Candidate& z : spec.conditions) reach(z.lag);
    Estimate out;
    const Window window(st_.rows_.length(), first);
    if (window.count == 0 || window.length < 3) return out;
    Context c;
    build(c, spec, window);
    const Value v = value(c, sources);
    out.value = v.bits;
    out.steps = v.steps;
    return out;
}

}  // namespace zelmo::network
