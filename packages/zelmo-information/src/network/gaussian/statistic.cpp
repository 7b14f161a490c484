#include "statistic.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "linalg.hpp"

namespace zelmo::network {

namespace {

// Steps of the window that a batch of values reads at a time: the context's
// pieces (4 KiB per column) stay in the first-level cache.
constexpr std::size_t kPieceSteps = 512;

void centre(double* column, std::size_t n) {
    const double mean = gaussian::total(column, n) / static_cast<double>(n);
    for (std::size_t t = 0; t < n; ++t) column[t] = column[t] - mean;
}

// The covariance (row-major, d x d) of d centred columns of n values.
void covariance(const double* const* columns, std::size_t d, std::size_t n, double* cov) {
    std::vector<double> row(d);
    for (std::size_t a = 0; a < d; ++a) {
        gaussian::dots(columns[a], columns + a, d - a, n, row.data());
        for (std::size_t b = a; b < d; ++b) cov[a * d + b] = cov[b * d + a] = row[b - a] / static_cast<double>(n);
    }
}

}  // namespace

GaussianStatistic::GaussianStatistic(const RealRows& rows, std::uint64_t history, std::size_t first)
    : rows_(rows), history_(history), window_(rows.length(), first) {}

NullSummary GaussianStatistic::summarize(const Value* values, std::size_t n, std::size_t stride) const {
    return summary_in_bits(values, n, stride, [this](const Value& v) { return bits(v); });
}

double GaussianStatistic::p_value(const Value& v, std::size_t degrees) const {
    return gaussian::chi2_survival(2.0 * static_cast<double>(v.steps) * v.nats, degrees);
}

NullSummary GaussianStatistic::analytic_summary(std::size_t degrees) const {
    // 2 N I ~ chi^2_k: I has mean k / (2 N) and standard deviation
    // sqrt(2 k) / (2 N) nats.
    NullSummary out;
    if (window_.count == 0) return out;
    const double scale = 1.0 / (2.0 * static_cast<double>(window_.count) * std::log(2.0));
    out.mean = static_cast<double>(degrees) * scale;
    out.std = std::sqrt(2.0 * static_cast<double>(degrees)) * scale;
    return out;
}

void GaussianStatistic::Worker::build(Context& c, const ContextSpec& spec, const Window& window) {
    const RealRows& rows = st_.rows_;
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    c.window = window;
    c.columns.clear();
    for (std::size_t k = 1; k <= spec.history; ++k) c.columns.push_back({spec.target, k});
    for (const Candidate& z : spec.conditions) {
        for (std::size_t k = 0; k < width; ++k) c.columns.push_back({z.row, z.lag + k});
    }
    c.dz = c.columns.size();
    c.columns.push_back({spec.target, 0});
    for (const Candidate& v : c.columns) {
        if (v.lag > window.first) throw std::invalid_argument("a past before the first step counted");
    }
    const std::size_t d = c.columns.size(), n = window.count;
    c.complete = true;
    if (rows.any_missing()) {
        c.complete = present_steps(rows, c.columns, window, c.valid);
        if (!c.complete) return;
    }
    c.centred = Buffer<double>::uninitialised(d * n);
    std::vector<const double*> views(d);
    for (std::size_t a = 0; a < d; ++a) {
        double* column = c.centred.data() + a * n;
        gather(rows.row(c.columns[a].row), window, c.columns[a].lag, 0, column);
        if (n != 0) centre(column, n);
        views[a] = column;
    }
    c.cov.assign(d * d, 0.0);
    if (n != 0) covariance(views.data(), d, n, c.cov.data());
    c.ones = Buffer<double>::uninitialised(n);
    std::fill(c.ones.begin(), c.ones.end(), 1.0);
}

const GaussianStatistic::Worker::Shuffled& GaussianStatistic::Worker::shuffled(const Draws& draws, std::size_t row) {
    return shuffled_.get(draws, row, [&](Shuffled& s) { s = shuffle_row(st_.rows_, row, draws); });
}

GaussianStatistic::Value GaussianStatistic::Worker::value(const Context& c, std::span<const Source> sources) {
    if (!st_.rows_.any_missing()) return complete_value(c, sources);
    return masked_value(c, sources);
}

// Where the column of a source that is observed or rotated lies in its
// row: from `start`, wrapping to the row's beginning after `first_run`
// values.
struct GaussianStatistic::Worker::Placement {
    const double* row;
    std::size_t start, first_run;
};

GaussianStatistic::Worker::Placement GaussianStatistic::Worker::place(const Context& c, const Source& s) {
    const std::size_t lag = s.candidate.lag, length = c.window.length, n = c.window.count;
    if (lag > c.window.first) throw std::invalid_argument("a past before the first step counted");
    const bool shuffle = s.draw.kind == Draw::Kind::shuffled;
    const double* row = shuffle ? shuffled(s.draw.draws, s.candidate.row).values.data() : st_.rows_.row(s.candidate.row);
    const std::size_t start = (c.window.first - lag + (shuffle ? 0 : s.draw.rotation)) % length;
    return Placement{row, start, std::min(n, length - start)};
}

void GaussianStatistic::Worker::context_covariance(const Context& c, std::size_t d) {
    // Z first, Y last, the sources' rows and columns between them left zero.
    const std::size_t dz = c.dz;
    cov_.assign(d * d, 0.0);
    for (std::size_t a = 0; a < dz; ++a) {
        for (std::size_t b = 0; b < dz; ++b) cov_[a * d + b] = c.cov[a * (dz + 1) + b];
        cov_[a * d + d - 1] = cov_[(d - 1) * d + a] = c.cov[a * (dz + 1) + dz];
    }
    cov_[(d - 1) * d + d - 1] = c.cov[dz * (dz + 1) + dz];
}

GaussianStatistic::Value GaussianStatistic::Worker::single_value(const Context& c, const double* sums) {
    // The products of one source column with the centred context columns
    // (covariances, since the context is centred), with ones (its sum) and
    // with itself, in that order.
    const std::size_t n = c.window.count, dz = c.dz, d = dz + 2;
    context_covariance(c, d);
    auto at = [&](std::size_t a, std::size_t b) -> double& { return cov_[a * d + b]; };
    const double count = static_cast<double>(n);
    const double mean = sums[dz + 1] / count;
    for (std::size_t a = 0; a < dz; ++a) at(dz, a) = at(a, dz) = sums[a] / count;
    at(dz, d - 1) = at(d - 1, dz) = sums[dz] / count;
    at(dz, dz) = std::fmax(sums[dz + 2] / count - mean * mean, 0.0);
    if (work_.size() < d * d) work_ = Buffer<double>::uninitialised(d * d);
    return Value{gaussian::conditional_mutual_information(cov_.data(), dz, 1, work_.data()), n};
}

void GaussianStatistic::Worker::values(const Context& c, std::span<const Source> sources, Value* out) {
    const std::size_t n = c.window.count, dz = c.dz, width = dz + 3;
    const bool batch = !st_.rows_.any_missing() && st_.history_ == 1 && n >= 2 && sources.size() > 1 &&
                       std::all_of(sources.begin(), sources.end(),
                                   [](const Source& s) { return s.draw.kind != Draw::Kind::shuffled; });
    if (!batch) {
        for (std::size_t i = 0; i < sources.size(); ++i) out[i] = value(c, sources.subspan(i, 1));
        return;
    }
    // The same products as one source at a time, formed a piece of the
    // window at a time for every source, so that the context's pieces are
    // read from the first-level cache by all of them. Each source keeps its
    // running sums between pieces; a rotated column is two runs (before and
    // after it wraps), each summed on its own and then added, as alone.
    struct Cursor {
        Placement at;
        std::size_t run = 0, begin = 0, end = 0, position = 0;
        const double* x(std::size_t p) const {
            return run == 0 ? at.row + at.start + p : at.row + (p - begin);
        }
    };
    const std::size_t count = sources.size();
    std::vector<Cursor> cursors(count);
    for (std::size_t i = 0; i < count; ++i) {
        cursors[i].at = place(c, sources[i]);
        cursors[i].end = cursors[i].at.first_run;
    }
    lanes_.assign(count * width * 4, 0.0);
    sums_.assign(count * width, 0.0);
    std::vector<const double*> columns(width);
    auto columns_at = [&](const Cursor& u, std::size_t p) {
        for (std::size_t a = 0; a <= dz; ++a) columns[a] = c.centred.data() + a * n + p;
        columns[dz + 1] = c.ones.data() + (p - u.begin);
        columns[dz + 2] = u.x(p);
    };
    auto body_of = [](const Cursor& u) { return u.begin + (u.end - u.begin) / 4 * 4; };
    // Ends every run whose groups of four are all in: its remaining terms
    // are added, then its sums; the next run, if any, starts.
    auto settle = [&](std::size_t i) {
        Cursor& u = cursors[i];
        double* lanes = lanes_.data() + i * width * 4;
        while (u.run < 2 && u.position >= body_of(u)) {
            const std::size_t body = body_of(u);
            columns_at(u, body);
            double* sums = sums_.data() + i * width;
            for (std::size_t a = 0; a < width; ++a) {
                sums[a] += gaussian::dots_finish(lanes + 4 * a, u.x(body), columns[a], u.end - body);
            }
            std::fill(lanes, lanes + width * 4, 0.0);
            u.position = u.begin = u.end;
            u.end = n;
            u.run = u.begin < n ? u.run + 1 : 2;
        }
    };
    struct Segment {
        std::size_t from, to, source;
        bool operator<(const Segment& o) const {
            return from != o.from ? from < o.from : to != o.to ? to < o.to : source < o.source;
        }
    };
    std::vector<Segment> segments;
    for (std::size_t i = 0; i < count; ++i) settle(i);
    for (std::size_t piece_end = 0; piece_end < n;) {
        piece_end = std::min(n, piece_end + kPieceSteps);
        for (;;) {
            // The groups of four of each source's run that start in this
            // piece. Sources at the same steps (all of them before their
            // wrap) go two at a time.
            segments.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const Cursor& u = cursors[i];
                if (u.run >= 2 || u.position >= piece_end) continue;
                const std::size_t stop = std::min(body_of(u), u.position + (piece_end - u.position + 3) / 4 * 4);
                segments.push_back({u.position, stop, i});
            }
            if (segments.empty()) break;
            std::sort(segments.begin(), segments.end());
            for (std::size_t k = 0; k < segments.size(); ++k) {
                const Segment& g = segments[k];
                const Cursor& u = cursors[g.source];
                columns_at(u, g.from);
                double* lanes = lanes_.data() + g.source * width * 4;
                if (k + 1 < segments.size() && segments[k + 1].from == g.from && segments[k + 1].to == g.to) {
                    const Segment& h = segments[++k];
                    const Cursor& v = cursors[h.source];
                    // The context's columns and the ones are the same for
                    // both; each source's product with itself comes last.
                    gaussian::dots_advance2(u.x(g.from), v.x(h.from), columns.data(), dz + 2, g.to - g.from, lanes,
                                            lanes_.data() + h.source * width * 4);
                    cursors[h.source].position = h.to;
                } else {
                    gaussian::dots_advance(u.x(g.from), columns.data(), width, g.to - g.from, lanes);
                }
                cursors[g.source].position = g.to;
            }
            for (const Segment& g : segments) settle(g.source);
        }
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = single_value(c, sums_.data() + i * width);
}

GaussianStatistic::Value GaussianStatistic::Worker::complete_value(const Context& c, std::span<const Source> sources) {
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    const std::size_t n = c.window.count, dz = c.dz, dx = sources.size() * width, d = dz + dx + 1;
    if (n < 2) return Value{0.0, n};
    if (dx == 1) {
        // One source column: read in place from its row, in at most two
        // runs where a rotation wraps.
        const Placement at = place(c, sources[0]);
        const std::size_t runs[2][2] = {{at.start, at.first_run}, {0, n - at.first_run}};
        std::vector<double> sums(dz + 3, 0.0), part(dz + 3);
        std::vector<const double*> columns(dz + 3);
        for (std::size_t r = 0, offset = 0; r < 2 && runs[r][1] != 0; offset += runs[r][1], ++r) {
            const double* x = at.row + runs[r][0];
            for (std::size_t a = 0; a <= dz; ++a) columns[a] = c.centred.data() + a * n + offset;
            columns[dz + 1] = c.ones.data();
            columns[dz + 2] = x;
            gaussian::dots(x, columns.data(), dz + 3, runs[r][1], part.data());
            for (std::size_t a = 0; a < dz + 3; ++a) sums[a] += part[a];
        }
        return single_value(c, sums.data());
    }
    context_covariance(c, d);
    auto at = [&](std::size_t a, std::size_t b) -> double& { return cov_[a * d + b]; };
    const double count = static_cast<double>(n);
    if (columns_.size() < dx * n) columns_ = Buffer<double>::uninitialised(dx * n);
    std::vector<const double*> xs(dx), ws(dz + 1);
    for (std::size_t q = 0; q < sources.size(); ++q) {
        const Source& s = sources[q];
        for (std::size_t k = 0; k < width; ++k) {
            double* column = columns_.data() + (q * width + k) * n;
            const std::size_t lag = s.candidate.lag + k;
            if (lag > c.window.first) throw std::invalid_argument("a past before the first step counted");
            if (s.draw.kind == Draw::Kind::shuffled) {
                gather(shuffled(s.draw.draws, s.candidate.row).values.data(), c.window, lag, 0, column);
            } else {
                gather(st_.rows_.row(s.candidate.row), c.window, lag, s.draw.rotation, column);
            }
            centre(column, n);
            xs[q * width + k] = column;
        }
    }
    for (std::size_t a = 0; a <= dz; ++a) ws[a] = c.centred.data() + a * n;
    std::vector<double> products(std::max(dz + 1, dx));
    for (std::size_t q = 0; q < dx; ++q) {
        gaussian::dots(xs[q], ws.data(), dz + 1, n, products.data());
        for (std::size_t a = 0; a < dz; ++a) at(dz + q, a) = at(a, dz + q) = products[a] / count;
        at(dz + q, d - 1) = at(d - 1, dz + q) = products[dz] / count;
        gaussian::dots(xs[q], xs.data() + q, dx - q, n, products.data());
        for (std::size_t r = q; r < dx; ++r) at(dz + q, dz + r) = at(dz + r, dz + q) = products[r - q] / count;
    }
    if (work_.size() < d * d) work_ = Buffer<double>::uninitialised(d * d);
    return Value{gaussian::conditional_mutual_information(cov_.data(), dz, dx, work_.data()), n};
}

GaussianStatistic::Value GaussianStatistic::Worker::masked_value(const Context& c, std::span<const Source> sources) {
    const RealRows& rows = st_.rows_;
    const std::size_t width = static_cast<std::size_t>(st_.history_);
    const Window& w = c.window;
    const std::size_t dz = c.dz, dx = sources.size() * width, d = dz + dx + 1;
    // The steps at which every value is present.
    Buffer<std::uint8_t> valid = Buffer<std::uint8_t>::uninitialised(w.count);
    if (c.complete) {
        std::fill(valid.begin(), valid.end(), std::uint8_t{1});
    } else {
        std::memcpy(valid.data(), c.valid.data(), w.count);
    }
    Buffer<std::uint8_t> ok = Buffer<std::uint8_t>::uninitialised(w.count);
    for (const Source& s : sources) {
        for (std::size_t k = 0; k < width; ++k) {
            const std::size_t lag = s.candidate.lag + k;
            if (lag > w.first) throw std::invalid_argument("a past before the first step counted");
            if (s.draw.kind == Draw::Kind::shuffled) {
                gather(shuffled(s.draw.draws, s.candidate.row).valid.data(), w, lag, 0, ok.data());
            } else {
                gather(rows.valid(s.candidate.row), w, lag, s.draw.rotation, ok.data());
            }
            for (std::size_t t = 0; t < w.count; ++t) valid[t] &= ok[t];
        }
    }
    std::size_t n = 0;
    for (std::size_t t = 0; t < w.count; ++t) n += valid[t];
    if (n == w.count && c.complete) return complete_value(c, sources);
    if (n < 2) return Value{0.0, n};
    // Every column at the present steps, in the order Z, X, Y.
    if (columns_.size() < (d + 1) * w.count) columns_ = Buffer<double>::uninitialised((d + 1) * w.count);
    double* full = columns_.data() + d * w.count;  // one column over the whole window
    std::vector<const double*> views(d);
    auto keep = [&](std::size_t slot) {
        double* column = columns_.data() + slot * w.count;
        std::size_t k = 0;
        for (std::size_t t = 0; t < w.count; ++t) {
            if (valid[t]) column[k++] = full[t];
        }
        centre(column, n);
        views[slot] = column;
    };
    for (std::size_t a = 0; a <= dz; ++a) {
        const Candidate& v = c.columns[a];
        gather(rows.row(v.row), w, v.lag, 0, full);
        keep(a == dz ? d - 1 : a);
    }
    for (std::size_t q = 0; q < sources.size(); ++q) {
        const Source& s = sources[q];
        for (std::size_t k = 0; k < width; ++k) {
            const std::size_t lag = s.candidate.lag + k;
            if (s.draw.kind == Draw::Kind::shuffled) {
                gather(shuffled(s.draw.draws, s.candidate.row).values.data(), w, lag, 0, full);
            } else {
                gather(rows.row(s.candidate.row), w, lag, s.draw.rotation, full);
            }
            keep(dz + q * width + k);
        }
    }
    cov_.assign(d * d, 0.0);
    covariance(views.data(), d, n, cov_.data());
    if (work_.size() < d * d) work_ = Buffer<double>::uninitialised(d * d);
    return Value{gaussian::conditional_mutual_information(cov_.data(), dz, dx, work_.data()), n};
}

Estimate GaussianStatistic::Worker::estimate(const ContextSpec& spec, std::span<const Source> sources) {
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
    out.value = st_.bits(v);
    out.steps = v.steps;
    return out;
}

}  // namespace zelmo::network
