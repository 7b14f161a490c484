#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "neighbours.hpp"
#include "search.hpp"

namespace zelmo::network::ksg {

// ---------------------------------------------------------------------------
// SortedLine

namespace {

// An unsigned integer in the order of the double: the sign bit set for
// positive numbers, every bit flipped for negative ones (-0.0 before +0.0,
// which compare equal and so may come in either order).
inline std::uint64_t order_key(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

struct Item {
    std::uint64_t key;
    std::uint32_t point;
};

// Stable least-significant-digit radix sort of items by key, 11 bits a pass;
// a pass whose digit is the same for every item is skipped.
void radix_sort(std::vector<Item>& items, std::vector<Item>& scratch) {
    constexpr unsigned kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    const std::size_t n = items.size();
    scratch.resize(n);
    std::array<std::uint32_t, kBuckets> offsets;
    for (unsigned shift = 0; shift < 64; shift += kBits) {
        offsets.fill(0);
        for (const Item& item : items) ++offsets[(item.key >> shift) & (kBuckets - 1)];
        if (offsets[(items[0].key >> shift) & (kBuckets - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::uint32_t& o : offsets) sum += std::exchange(o, sum);
        for (const Item& item : items) scratch[offsets[(item.key >> shift) & (kBuckets - 1)]++] = item;
        items.swap(scratch);
    }
}

}  // namespace

void SortedLine::build(const double* values, std::size_t n) {
    if (n > kMaxPoints) panic("too many points for a neighbour search");
    values_.resize(n);
    order_.resize(n);
    position_.resize(n);
    if (n == 0) return;
    std::vector<Item> items(n), scratch;
    for (std::size_t i = 0; i < n; ++i) items[i] = Item{order_key(values[i]), static_cast<std::uint32_t>(i)};
    radix_sort(items, scratch);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t t = items[i].point;
        values_[i] = values[t];
        order_[i] = t;
        position_[t] = static_cast<std::uint32_t>(i);
    }
}

void SortedLine::build_window(const SortedLine& whole, std::size_t start, std::size_t count) {
    const std::size_t length = whole.size();
    if (start >= length || count > length) panic("a window outside its sequence");
    values_.resize(count);
    order_.resize(count);
    position_.resize(count);
    std::size_t i = 0;
    for (std::size_t j = 0; j < length; ++j) {
        const std::size_t u = whole.order_[j];
        const std::size_t t = u >= start ? u - start : u + length - start;
        if (t >= count) continue;
        values_[i] = whole.values_[j];
        order_[i] = static_cast<std::uint32_t>(t);
        position_[t] = static_cast<std::uint32_t>(i);
        ++i;
    }
}

void SortedLine::runs_within(const double* radius, Run* runs) const {
    constexpr std::size_t kBlock = 64;
    const double* v = values_.data();
    const std::size_t n = values_.size();
    std::array<double, kBlock> q, r;
    std::array<std::size_t, kBlock> low, high;
    for (std::size_t p0 = 0; p0 < n; p0 += kBlock) {
        const std::size_t m = std::min(kBlock, n - p0);
        for (std::size_t i = 0; i < m; ++i) {
            q[i] = v[p0 + i];
            r[i] = radius[order_[p0 + i]];
            low[i] = high[i] = 0;
        }
        // Over the whole line, q - v[j] < r holds from the run's first
        // position on, and v[j] - q < r up to its last: two searches of the
        // same length for every point, run side by side without branches.
        std::size_t length = n;
        while (length > 1) {
            const std::size_t half = length / 2;
            for (std::size_t i = 0; i < m; ++i) {
                low[i] += q[i] - v[low[i] + half - 1] < r[i] ? 0 : half;
                high[i] += v[high[i] + half - 1] - q[i] < r[i] ? half : 0;
            }
            length -= half;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t t = order_[p0 + i];
            const auto p = static_cast<std::uint32_t>(p0 + i);
            if (!(r[i] > 0.0)) {
                runs[t] = Run{p, p};
                continue;
            }
            const std::size_t first = low[i] + (q[i] - v[low[i]] < r[i] ? 0 : 1);
            const std::size_t end = high[i] + (v[high[i]] - q[i] < r[i] ? 1 : 0);
            runs[t] = Run{static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end)};
        }
    }
}

void SortedLine::count(const Run* runs, std::size_t n, std::uint32_t* counts) {
    for (std::size_t t = 0; t < n; ++t) {
        const std::uint32_t length = runs[t].last - runs[t].first;
        counts[t] = length == 0 ? 0 : length - 1;
    }
}

// ---------------------------------------------------------------------------
// Runs

void Runs::reset(const double* radius, std::size_t n) {
    radius_ = radius;
    n_ = n;
    used_ = 0;
}

const Run* Runs::of(const SortedLine& line) {
    if (line.size() != n_) panic("runs of a line of another length");
    for (std::size_t i = 0; i < used_; ++i) {
        if (lines_[i] == &line) return runs_[i].data();
    }
    if (used_ == lines_.size()) {
        lines_.push_back(nullptr);
        runs_.emplace_back();
    }
    lines_[used_] = &line;
    std::vector<Run>& runs = runs_[used_++];
    runs.resize(n_);
    line.runs_within(radius_, runs.data());
    return runs.data();
}

// ---------------------------------------------------------------------------
// RankPlane

namespace {

// The set bits of a word, by halves, quarters, bytes and a multiply (no
// population-count instruction is assumed).
inline std::uint32_t bit_count(std::uint64_t w) {
    w = w - ((w >> 1) & 0x5555555555555555u);
    w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<std::uint32_t>((w * 0x0101010101010101u) >> 56);
}

}  // namespace

void RankPlane::build(const SortedLine& a, const SortedLine& b) {
    if (a.size() != b.size()) panic("a plane of lines of different lengths");
    a_ = &a;
    b_ = &b;
}

void RankPlane::count_within(const Run* a_runs, const Run* b_runs, std::uint32_t* counts) const {
    const SortedLine& a = *a_;
    const SortedLine& b = *b_;
    const std::size_t n = a.size();
    std::vector<std::uint32_t> starts(n + 2, 0);  // events by a-position, as offsets
    std::vector<std::uint32_t> events(2 * n);     // 2 t at a0 (subtract), 2 t + 1 at a1 (add)
    for (std::size_t t = 0; t < n; ++t) {
        counts[t] = 0;
        if (a_runs[t].first == a_runs[t].last) continue;  // radius 0
        ++starts[a_runs[t].first + 1];
        ++starts[a_runs[t].last + 1];
    }
    for (std::size_t s = 1; s <= n + 1; ++s) starts[s] += starts[s - 1];
    {
        std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t t = 0; t < n; ++t) {
            if (a_runs[t].first == a_runs[t].last) continue;
            events[next[a_runs[t].first]++] = static_cast<std::uint32_t>(2 * t);
            events[next[a_runs[t].last]++] = static_cast<std::uint32_t>(2 * t + 1);
        }
    }
    // The inserted points as bits by b-position (bit p % 64 of word p / 64),
    // and fenwick[i] the number of them in words [i - lowbit(i), i), so that
    // those in the words before w are fenwick[w] + fenwick[w - lowbit(w)] +
    // ... (walking down to 0).
    const std::size_t words = n / 64 + 1;
    std::vector<std::uint64_t> bits(words, 0);
    std::vector<std::uint32_t> fenwick(words + 1, 0);
    for (std::size_t s = 0; s <= n; ++s) {
        for (std::uint32_t e = starts[s]; e < starts[s + 1]; ++e) {
            const std::size_t t = events[e] / 2;
            const std::size_t lo = b_runs[t].first, hi = b_runs[t].last;
            const std::size_t w0 = lo / 64, w1 = hi / 64;
            const std::uint64_t below_lo = (std::uint64_t{1} << (lo % 64)) - 1;
            const std::uint64_t below_hi = (std::uint64_t{1} << (hi % 64)) - 1;
            // The points below hi less those below lo: the words before w1
            // less those before w0 (the walks down from w1 and w0 up to
            // where they meet), and the bits below each end in its word.
            std::uint32_t inside = bit_count(bits[w1] & below_hi) - bit_count(bits[w0] & below_lo);
            std::size_t top = w1, bottom = w0;
            while (top > bottom) {
                inside += fenwick[top];
                top &= top - 1;
            }
            while (bottom > top) {
                inside -= fenwick[bottom];
                bottom &= bottom - 1;
            }
            // Unsigned arithmetic: the subtraction at a0 comes first and the
            // total is not negative.
            counts[t] = (events[e] & 1) ? counts[t] + inside : counts[t] - inside;
        }
        if (s == n) break;
        const std::size_t at = b.position(a.point(s));
        bits[at / 64] |= std::uint64_t{1} << (at % 64);
        for (std::size_t w = at / 64 + 1; w <= words; w += w & (0 - w)) ++fenwick[w];
    }
    for (std::size_t t = 0; t < n; ++t) {
        if (a_runs[t].first != a_runs[t].last) --counts[t];  // the point itself
    }
}

// ---------------------------------------------------------------------------
// RankBox

void RankBox::build(const Subspace& points) {
    const std::size_t m = points.dims(), n = points.points.n;
    if (m < 2 || points.lines.size() != m) panic("a box needs a sorted line for each of two or more columns");
    n_ = n;
    lines_ = points.lines;
    positions_.resize(m * m * n);
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = 0; b < m; ++b) {
            if (b == a) continue;
            std::uint32_t* out = positions_.data() + (a * m + b) * n;
            for (std::size_t p = 0; p < n; ++p) out[p] = lines_[b]->position(lines_[a]->point(p));
        }
    }
}

void RankBox::count_within(Runs& runs, std::uint32_t* counts) const {
    by_dims<6>(lines_.size(), [&]<std::size_t M>() { count_within_in<M>(runs, counts); });
}

// M columns (M = 0: as many as the box has), so that the scan of a run is
// unrolled over the other lines.
template <std::size_t M>
void RankBox::count_within_in(Runs& runs, std::uint32_t* counts) const {
    const std::size_t m = M > 0 ? M : lines_.size(), n = n_;
    constexpr std::size_t kOthers = M > 0 ? M - 1 : 0;
    std::vector<const Run*> run(m);
    for (std::size_t c = 0; c < m; ++c) run[c] = runs.of(*lines_[c]);
    std::conditional_t<(M > 0), std::array<const std::uint32_t*, kOthers>, std::vector<const std::uint32_t*>> other{};
    std::conditional_t<(M > 0), std::array<std::uint32_t, kOthers>, std::vector<std::uint32_t>> first{}, width{};
    if constexpr (M == 0) {
        other.resize(m - 1);
        first.resize(m - 1);
        width.resize(m - 1);
    }
    for (std::size_t t = 0; t < n; ++t) {
        const Run own = run[0][t];
        if (own.first == own.last) {  // radius 0
            counts[t] = 0;
            continue;
        }
        std::size_t a = 0;
        for (std::size_t c = 1; c < m; ++c) {
            if (run[c][t].last - run[c][t].first < run[a][t].last - run[a][t].first) a = c;
        }
        for (std::size_t c = 0, o = 0; c < m; ++c) {
            if (c == a) continue;
            other[o] = positions_.data() + (a * m + c) * n;
            first[o] = run[c][t].first;
            width[o] = run[c][t].last - run[c][t].first;
            ++o;
        }
        // A position inside [first, first + width) as one unsigned comparison.
        std::uint32_t inside = 0;
        for (std::uint32_t p = run[a][t].first; p < run[a][t].last; ++p) {
            std::uint32_t keep = 1;
            for (std::size_t o = 0; o + 1 < m; ++o) keep &= static_cast<std::uint32_t>(other[o][p] - first[o] < width[o]);
            inside += keep;
        }
        counts[t] = inside - 1;  // less the point itself
    }
}

}  // namespace zelmo::network::ksg
