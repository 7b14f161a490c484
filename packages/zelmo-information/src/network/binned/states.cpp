#include "states.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "../../kernels/key_counts.hpp"
#include "../../kernels/radix_sort.hpp"
#include "../../kernels/stop.hpp"

namespace zelmo::network {

Geometry::Geometry(std::size_t length_, std::uint64_t n_bins, std::size_t history_, std::size_t first_)
    : length(length_),
      history(history_),
      first(first_),
      count(length_ > first_ ? length_ - first_ : 0),
      radix(std::max<std::uint64_t>(n_bins, 1)),
      states(bounded_power(radix, history_, kDenseStates)) {}

void circular_codes(const std::uint32_t* bins, const Geometry& g, std::uint32_t* codes) {
    const std::size_t length = g.length, h = g.history;
    if (h == 0) {
        std::fill(codes, codes + length, std::uint32_t{0});
        return;
    }
    const std::uint64_t radix = g.radix;
    const std::uint64_t top = g.states / radix;  // radix^(h - 1)
    // The code ending at step -1 reads the last h bins (h < length).
    std::uint64_t code = 0;
    for (std::size_t k = h; k-- > 0;) code = code * radix + bins[length - 1 - k];
    for (std::size_t u = 0;; ++u) {
        codes[u] = static_cast<std::uint32_t>(code);
        if (u + 1 == length) break;
        const std::size_t oldest = u >= h ? u - h : u + length - h;
        code = bins[u] + radix * (code - bins[oldest] * top);
    }
}

void circular_codes(const std::uint64_t* bins, const Geometry& g, const PastWeights& weights,
                    std::uint64_t* codes, std::uint64_t* scratch) {
    // The codes of the series preceded by its own last `history` bins are
    // the circular codes; past_codes forms them as the single-pair function
    // does (wrapping, saturating weights).
    const std::size_t length = g.length, h = g.history;
    for (std::size_t k = 0; k < h; ++k) scratch[k] = bins[length - h + k];
    std::copy(bins, bins + length, scratch + h);
    past_codes(scratch, length + h, weights, codes);
}

bool DenseContext::fits(std::uint64_t contexts, std::uint64_t sources, std::uint64_t radix) {
    if (contexts == 0 || sources == 0) return false;
    if (contexts > kDenseStates / sources) return false;
    return contexts * sources <= kDenseStates / radix;
}

DenseContext::DenseContext(const Geometry& g, const std::uint32_t* target_bins, const std::uint32_t* context,
                           std::uint64_t contexts, std::uint64_t sources, const XLog2X& xlogx)
    : count_(g.count),
      groups_(contexts * sources),
      cells_(contexts * sources * g.radix),
      next_part_(Buffer<std::uint32_t>::uninitialised(g.count)),
      context_part_(Buffer<std::uint32_t>::uninitialised(g.count)) {
    Counts by_context = Counts::zeroed(contexts);
    Counts by_next = Counts::zeroed(contexts * g.radix);
    for (std::size_t t = 0; t < count_; ++t) {
        const std::uint64_t a = target_bins[g.first + t], c = context[t];
        next_part_[t] = static_cast<std::uint32_t>(a * groups_);
        context_part_[t] = static_cast<std::uint32_t>(c * sources);
        ++by_context[c];
        ++by_next[a * contexts + c];
    }
    const std::int64_t* f = xlogx.terms();
    for (std::uint64_t c : by_context) target_part_ += f[c];
    for (std::uint64_t c : by_next) target_part_ -= f[c];
}

std::int64_t DenseContext::value(const CodeView<std::uint32_t>& source, std::uint32_t* tables,
                                 const XLog2X& xlogx) const {
    const std::uint32_t* next = next_part_.data();
    const std::uint32_t* context = context_part_.data();
    const std::uint32_t* codes = source.codes;
    std::uint32_t* cells = tables;
    std::uint32_t* groups = tables + cells_;
    std::int64_t acc = 0;
    if (cells_ <= count_) {
        // Few states: count them, then read the tables whole, the cells of
        // next value a forming row a of the (context, source) groups.
        for_each_step(count_, source, [&](std::size_t t, std::size_t u) { ++cells[next[t] + context[t] + codes[u]]; });
        const std::int64_t* f = xlogx.terms();
        const std::uint64_t radix = cells_ / groups_;
        for (std::uint64_t a = 0; a < radix; ++a) {
            const std::uint32_t* row = cells + a * groups_;
            for (std::uint64_t k = 0; k < groups_; ++k) {
                acc += f[row[k]];
                groups[k] += row[k];
            }
        }
        for (std::uint64_t k = 0; k < groups_; ++k) acc -= f[groups[k]];
        std::memset(cells, 0, (cells_ + groups_) * sizeof(std::uint32_t));
    } else {
        // Many states: keep the sums as the counts grow, F(c + 1) - F(c) per
        // increment, and clear only the cells that were touched.
        const std::int64_t* step = xlogx.steps();
        for_each_step(count_, source, [&](std::size_t t, std::size_t u) {
            const std::uint32_t group = context[t] + codes[u];
            acc += step[cells[next[t] + group]++];
            acc -= step[groups[group]++];
        });
        for_each_step(count_, source, [&](std::size_t t, std::size_t u) {
            const std::uint32_t group = context[t] + codes[u];
            cells[next[t] + group] = 0;
            groups[group] = 0;
        });
    }
    const std::int64_t te = acc + target_part_;
    return te > 0 ? te : 0;
}

std::vector<std::size_t> row_order(const std::uint64_t* rows, std::size_t count, std::size_t width) {
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t comparisons = 0;
    const auto less = [&](std::size_t x, std::size_t y) {
        return std::lexicographical_compare(rows + x * width, rows + (x + 1) * width, rows + y * width,
                                            rows + (y + 1) * width);
    };
    std::sort(order.begin(), order.end(), stopping(less, comparisons));
    return order;
}

namespace {

// sorted_sums of rows whose columns fit one 64-bit key together: each row
// packed (first column highest), the keys radix sorted and their runs
// counted. False, with nothing done, when they do not fit.
bool packed_sums(const std::vector<std::uint64_t>& rows, std::size_t width, std::size_t prefix,
                 const XLog2X& xlogx, std::int64_t& sum) {
    const std::size_t count = rows.size() / width;
    std::vector<int> bits(width, 0);
    int total = 0;
    for (std::size_t k = 0; k < width; ++k) {
        std::uint64_t top = 0;
        for (std::size_t i = 0; i < count; ++i) top |= rows[i * width + k];
        while (bits[k] < 64 && (top >> bits[k]) != 0) ++bits[k];
        total += bits[k];
        if (total > 64) return false;
    }
    int suffix = 0;  // the bits of the columns after the prefix
    for (std::size_t k = prefix; k < width; ++k) suffix += bits[k];
    std::vector<std::uint64_t> keys(count), scratch(count);
    for_pieces(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::uint64_t key = 0;
            for (std::size_t k = 0; k < width; ++k) {
                key = bits[k] == 0 ? key : (bits[k] == 64 ? 0 : key << bits[k]) | rows[i * width + k];
            }
            keys[i] = key;
        }
    });
    const std::uint64_t max_key = total == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << total) - 1;
    radix_sort(keys.data(), count, max_key, scratch.data());
    auto head = [&](std::uint64_t key) { return suffix >= 64 ? 0 : key >> suffix; };
    const std::int64_t* f = xlogx.terms();
    sum = 0;
    StopEvery stop;
    for (std::size_t i = 0; i < count;) {
        stop.at(i);
        std::size_t j = i;  // a run of one prefix
        while (j < count && head(keys[j]) == head(keys[i])) ++j;
        sum -= f[j - i];
        for (std::size_t k = i; k < j;) {
            std::size_t l = k;  // a run of one row
            while (l < j && keys[l] == keys[k]) ++l;
            sum += f[l - k];
            k = l;
        }
        i = j;
    }
    return true;
}

}  // namespace

std::int64_t sorted_sums(const std::vector<std::uint64_t>& rows, std::size_t width, std::size_t prefix,
                         const XLog2X& xlogx) {
    const std::size_t count = width == 0 ? 0 : rows.size() / width;
    if (std::int64_t packed = 0; count != 0 && packed_sums(rows, width, prefix, xlogx, packed)) return packed;
    const std::vector<std::size_t> order = row_order(rows.data(), count, width);
    const std::uint64_t* base = rows.data();
    auto row = [&](std::size_t i) { return base + i * width; };
    auto same = [&](std::size_t x, std::size_t y, std::size_t words) {
        return std::equal(row(x), row(x) + words, row(y));
    };
    const std::int64_t* f = xlogx.terms();
    std::int64_t sum = 0;
    StopEvery stop;
    for (std::size_t i = 0; i < count;) {
        stop.at(i);
        std::size_t j = i;  // a run of one prefix
        while (j < count && same(order[j], order[i], prefix)) ++j;
        sum -= f[j - i];
        for (std::size_t k = i; k < j;) {
            std::size_t l = k;  // a run of one row
            while (l < j && same(order[l], order[k], width)) ++l;
            sum += f[l - k];
            k = l;
        }
        i = j;
    }
    return sum;
}

WideContext::WideContext(std::size_t count, std::size_t width, std::vector<std::uint64_t> context,
                         std::vector<std::uint64_t> next, const XLog2X& xlogx)
    : count_(count), width_(width), context_(std::move(context)), next_(std::move(next)) {
    std::vector<std::uint64_t> rows(count_ * (width_ + 1));
    for (std::size_t t = 0; t < count_; ++t) {
        std::copy(context_.begin() + t * width_, context_.begin() + (t + 1) * width_, rows.begin() + t * (width_ + 1));
        rows[t * (width_ + 1) + width_] = next_[t];
    }
    target_part_ = -sorted_sums(rows, width_ + 1, width_, xlogx);
}

std::int64_t WideContext::value(const std::uint64_t* source, std::size_t source_width, const XLog2X& xlogx) const {
    const std::size_t width = width_ + source_width + 1;
    std::vector<std::uint64_t> rows(count_ * width);
    for (std::size_t t = 0; t < count_; ++t) {
        std::uint64_t* row = rows.data() + t * width;
        std::copy(context_.begin() + t * width_, context_.begin() + (t + 1) * width_, row);
        std::copy(source + t * source_width, source + (t + 1) * source_width, row + width_);
        row[width - 1] = next_[t];
    }
    const std::int64_t te = sorted_sums(rows, width, width - 1, xlogx) + target_part_;
    return te > 0 ? te : 0;
}

}  // namespace zelmo::network
