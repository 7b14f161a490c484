#include "neighbours.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "../../kernels/support.hpp"

namespace zelmo::network::ksg {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline double larger(double a, double b) { return a < b ? b : a; }

// The coordinates of one query point: D of them when D > 0, else as many as
// the structure has.
template <std::size_t D>
struct Query {
    std::array<double, D> q;
    explicit Query(std::size_t) {}
    std::size_t dims() const { return D; }
    double& operator[](std::size_t c) { return q[c]; }
    double operator[](std::size_t c) const { return q[c]; }
};

template <>
struct Query<0> {
    std::vector<double> q;
    explicit Query(std::size_t dims) : q(dims) {}
    std::size_t dims() const { return q.size(); }
    double& operator[](std::size_t c) { return q[c]; }
    double operator[](std::size_t c) const { return q[c]; }
};

// The depth-first stack of a search. A median split halves the points, so a
// tree of fewer than 2^32 points is at most 32 levels deep and a search
// holds at most one pending node per level plus one.
template <class Entry>
class Stack {
public:
    void push(Entry e) {
        if (size_ == kCapacity) panic("neighbour search deeper than a balanced tree can be");
        items_[size_++] = e;
    }
    bool empty() const { return size_ == 0; }
    Entry pop() { return items_[--size_]; }

private:
    static constexpr std::size_t kCapacity = 80;
    std::array<Entry, kCapacity> items_;
    std::size_t size_ = 0;
};

// Calls run.template operator()<D>() with D the number of columns when a
// fixed-size search exists for it, else with D = 0.
template <class Run>
void by_dims(std::size_t dims, Run&& run) {
    switch (dims) {
        case 2: run.template operator()<2>(); break;
        case 3: run.template operator()<3>(); break;
        case 4: run.template operator()<4>(); break;
        case 5: run.template operator()<5>(); break;
        case 6: run.template operator()<6>(); break;
        default: run.template operator()<0>(); break;
    }
}

}  // namespace

Columns join(const Columns& a, const Columns& b) {
    if (a.n != b.n) panic("joined columns of different lengths");
    Columns out{a.columns, a.n};
    out.columns.insert(out.columns.end(), b.columns.begin(), b.columns.end());
    return out;
}

// ---------------------------------------------------------------------------
// MaxNormTree

void MaxNormTree::build(const Columns& points) {
    if (points.n > kMaxPoints) panic("too many points for a neighbour search");
    if (points.dims() == 0) panic("a neighbour search needs at least one coordinate");
    n_ = points.n;
    dims_ = points.dims();
    const std::size_t d = dims_;
    index_.resize(n_);
    std::iota(index_.begin(), index_.end(), std::uint32_t{0});
    nodes_.clear();
    boxes_.clear();
    if (n_ == 0) return;
    // The root's box; below it, a child's box is its parent's cut at the
    // split value, which is only used to choose the coordinate to split.
    std::vector<double> cut(2 * d);
    for (std::size_t c = 0; c < d; ++c) {
        const auto [lo, hi] = std::minmax_element(points.columns[c], points.columns[c] + n_);
        cut[c] = *lo;
        cut[d + c] = *hi;
    }
    keys_.resize(n_);
    build_node(points, 0, static_cast<std::uint32_t>(n_), cut);
    coords_.resize(d * n_);
    for (std::size_t c = 0; c < d; ++c) {
        const double* column = points.columns[c];
        double* out = coords_.data() + c * n_;
        for (std::size_t i = 0; i < n_; ++i) out[i] = column[index_[i]];
    }
    // Tight boxes: a leaf's from its points, an internal node's the union of
    // its children's (which follow it in depth-first order).
    boxes_.resize(2 * d * nodes_.size());
    for (std::size_t v = nodes_.size(); v-- > 0;) {
        const Node& node = nodes_[v];
        double* box = boxes_.data() + 2 * d * v;
        if (node.right == 0) {
            for (std::size_t c = 0; c < d; ++c) {
                const double* x = coords_.data() + c * n_;
                double lo = x[node.begin], hi = lo;
                for (std::uint32_t i = node.begin + 1; i < node.end; ++i) {
                    lo = x[i] < lo ? x[i] : lo;
                    hi = x[i] > hi ? x[i] : hi;
                }
                box[c] = lo;
                box[d + c] = hi;
            }
            continue;
        }
        const double* a = boxes_.data() + 2 * d * (v + 1);
        const double* b = boxes_.data() + 2 * d * node.right;
        for (std::size_t c = 0; c < d; ++c) {
            box[c] = std::min(a[c], b[c]);
            box[d + c] = std::max(a[d + c], b[d + c]);
        }
    }
}

void MaxNormTree::build_node(const Columns& points, std::uint32_t begin, std::uint32_t end, std::vector<double>& cut) {
    const auto id = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(Node{begin, end, 0});
    if (end - begin <= kLeaf) return;
    const std::size_t d = dims_;
    std::size_t split = 0;
    for (std::size_t c = 1; c < d; ++c) {
        if (cut[d + c] - cut[c] > cut[d + split] - cut[split]) split = c;
    }
    // The median of the split coordinate, by selection on (value, point)
    // pairs read once from the column.
    const double* column = points.columns[split];
    for (std::uint32_t i = begin; i < end; ++i) keys_[i] = Key{column[index_[i]], index_[i]};
    const std::uint32_t mid = begin + (end - begin) / 2;
    std::nth_element(keys_.begin() + begin, keys_.begin() + mid, keys_.begin() + end,
                     [](const Key& a, const Key& b) { return a.value < b.value; });
    for (std::uint32_t i = begin; i < end; ++i) index_[i] = keys_[i].point;
    const double value = keys_[mid].value, low = cut[split], high = cut[d + split];
    cut[d + split] = value;
    build_node(points, begin, mid, cut);
    cut[d + split] = high;
    cut[split] = value;
    nodes_[id].right = static_cast<std::uint32_t>(nodes_.size());
    build_node(points, mid, end, cut);
    cut[split] = low;
}

void MaxNormTree::kth_distances(std::size_t k, double* eps) const {
    if (k == 0 || k >= n_) panic("the neighbour rank must be at least 1 and below the number of points");
    by_dims(dims_, [&]<std::size_t D>() { kth_distances_in<D>(k, eps); });
}

// The points of one leaf are searched together: the tree is descended once
// for the group, with a node passed over when its box is no nearer to the
// group's box than the largest of the group's k-th distances so far, and
// each leaf reached is then scanned for each point that its box may hold
// nearer neighbours for.
template <std::size_t D>
void MaxNormTree::kth_distances_in(std::size_t k, double* eps) const {
    struct Pending {
        std::uint32_t node;
        double bound;  // no point of the node is nearer than this to the group
    };
    const std::size_t d = D > 0 ? D : dims_, n = n_;
    const double* x = coords_.data();
    const double* boxes = boxes_.data();
    std::vector<double> best(kLeaf * k);  // per point of the group, the k smallest distances so far, ascending
    std::array<double, kLeaf> kth;
    Query<D> q(d);
    for (std::uint32_t g = 0; g < nodes_.size(); ++g) {
        const Node& group = nodes_[g];
        if (group.right != 0) continue;
        const std::uint32_t first = group.begin, size = group.end - group.begin;
        const double* group_lo = boxes + 2 * d * g;
        const double* group_hi = group_lo + d;
        std::fill(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(size * k), kInfinity);
        std::fill(kth.begin(), kth.end(), kInfinity);
        // Offers the points of leaf v to point i of the group.
        auto scan = [&](std::uint32_t i, const Node& leaf) {
            const std::uint32_t p = first + i;
            for (std::size_t c = 0; c < d; ++c) q[c] = x[c * n + p];
            double* b = best.data() + i * k;
            double limit = kth[i];
            for (std::uint32_t j = leaf.begin; j < leaf.end; ++j) {
                double dist = std::fabs(x[j] - q[0]);
                for (std::size_t c = 1; c < d; ++c) dist = larger(dist, std::fabs(x[c * n + j] - q[c]));
                if (dist < limit && j != p) {
                    std::size_t slot = k - 1;
                    for (; slot > 0 && b[slot - 1] > dist; --slot) b[slot] = b[slot - 1];
                    b[slot] = dist;
                    limit = b[k - 1];
                }
            }
            kth[i] = limit;
        };
        auto largest_kth = [&] {
            double m = kth[0];
            for (std::uint32_t i = 1; i < size; ++i) m = larger(m, kth[i]);
            return m;
        };
        for (std::uint32_t i = 0; i < size; ++i) scan(i, group);
        double bound = largest_kth();
        // How near the box of node v comes to the group's box.
        auto lower = [&](std::uint32_t v) {
            const double* lo = boxes + 2 * d * v;
            const double* hi = lo + d;
            double gap = 0.0;
            for (std::size_t c = 0; c < d; ++c) gap = larger(gap, larger(lo[c] - group_hi[c], group_lo[c] - hi[c]));
            return gap;
        };
        Stack<Pending> stack;
        stack.push({0, 0.0});
        while (!stack.empty()) {
            const Pending top = stack.pop();
            if (top.bound >= bound || top.node == g) continue;
            const Node& node = nodes_[top.node];
            if (node.right == 0) {
                const double* lo = boxes + 2 * d * top.node;
                const double* hi = lo + d;
                for (std::uint32_t i = 0; i < size; ++i) {
                    double gap = 0.0;
                    for (std::size_t c = 0; c < d; ++c) {
                        const double v = x[c * n + first + i];
                        gap = larger(gap, larger(lo[c] - v, v - hi[c]));
                    }
                    if (gap < kth[i]) scan(i, node);
                }
                bound = largest_kth();
                continue;
            }
            const std::uint32_t left = top.node + 1, right = node.right;
            const double to_left = lower(left), to_right = lower(right);
            // The nearer child is searched first (pushed last).
            if (to_left <= to_right) {
                if (to_right < bound) stack.push({right, to_right});
                stack.push({left, to_left});
            } else {
                if (to_left < bound) stack.push({left, to_left});
                stack.push({right, to_right});
            }
        }
        for (std::uint32_t i = 0; i < size; ++i) eps[index_[first + i]] = kth[i];
    }
}

void MaxNormTree::count_within(const double* radius, std::uint32_t* counts) const {
    by_dims(dims_, [&]<std::size_t D>() { count_within_in<D>(radius, counts); });
}

// As the neighbour search, the points of one leaf are counted together: a
// node is passed over when its box is at least the group's largest radius
// from the group's box, counted whole for every point when its box lies
// within the smallest radius of all of them, and otherwise, at a leaf,
// settled point by point.
template <std::size_t D>
void MaxNormTree::count_within_in(const double* radius, std::uint32_t* counts) const {
    const std::size_t d = D > 0 ? D : dims_, n = n_;
    const double* x = coords_.data();
    const double* boxes = boxes_.data();
    std::array<std::uint32_t, kLeaf> within, active;
    std::array<double, kLeaf> r;
    for (std::uint32_t g = 0; g < nodes_.size(); ++g) {
        const Node& group = nodes_[g];
        if (group.right != 0) continue;
        const double* group_lo = boxes + 2 * d * g;
        const double* group_hi = group_lo + d;
        // Points with radius 0 have no point within it.
        std::uint32_t size = 0;
        double smallest = kInfinity, largest = 0.0;
        for (std::uint32_t p = group.begin; p < group.end; ++p) {
            const double rp = radius[index_[p]];
            counts[index_[p]] = 0;
            if (!(rp > 0.0)) continue;
            active[size] = p;
            r[size] = rp;
            within[size] = 0;
            smallest = rp < smallest ? rp : smallest;
            largest = larger(largest, rp);
            ++size;
        }
        if (size == 0) continue;
        Stack<std::uint32_t> stack;
        stack.push(0);
        while (!stack.empty()) {
            const std::uint32_t v = stack.pop();
            const Node& node = nodes_[v];
            // Every point of the box is at least `near` and at most `far`
            // from every point of the group.
            const double* lo = boxes + 2 * d * v;
            const double* hi = lo + d;
            double near = 0.0, far = 0.0;
            for (std::size_t c = 0; c < d; ++c) {
                near = larger(near, larger(lo[c] - group_hi[c], group_lo[c] - hi[c]));
                far = larger(far, larger(hi[c] - group_lo[c], group_hi[c] - lo[c]));
            }
            if (near >= largest) continue;
            if (far < smallest) {
                for (std::uint32_t i = 0; i < size; ++i) within[i] += node.end - node.begin;
                continue;
            }
            if (node.right != 0) {
                stack.push(node.right);
                stack.push(v + 1);
                continue;
            }
            for (std::uint32_t i = 0; i < size; ++i) {
                const std::uint32_t p = active[i];
                double point_near = 0.0, point_far = 0.0;
                for (std::size_t c = 0; c < d; ++c) {
                    const double below = x[c * n + p] - lo[c], above = hi[c] - x[c * n + p];
                    point_near = larger(point_near, larger(-below, -above));
                    point_far = larger(point_far, larger(below, above));
                }
                if (point_near >= r[i]) continue;
                if (point_far < r[i]) {
                    within[i] += node.end - node.begin;
                    continue;
                }
                std::uint32_t count = 0;
                for (std::uint32_t j = node.begin; j < node.end; ++j) {
                    double dist = std::fabs(x[j] - x[p]);
                    for (std::size_t c = 1; c < d; ++c) dist = larger(dist, std::fabs(x[c * n + j] - x[c * n + p]));
                    count += dist < r[i];
                }
                within[i] += count;
            }
        }
        // Less the point itself, at distance 0 < r.
        for (std::uint32_t i = 0; i < size; ++i) counts[index_[active[i]]] = within[i] - 1;
    }
}

// ---------------------------------------------------------------------------
// SortedLine

void SortedLine::build(const double* values, std::size_t n) {
    if (n > kMaxPoints) panic("too many points for a neighbour search");
    struct Key {
        double value;
        std::uint32_t point;
    };
    std::vector<Key> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = Key{values[i], static_cast<std::uint32_t>(i)};
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.value < b.value; });
    values_.resize(n);
    order_.resize(n);
    position_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        values_[i] = keys[i].value;
        order_[i] = keys[i].point;
        position_[keys[i].point] = static_cast<std::uint32_t>(i);
    }
}

std::pair<std::size_t, std::size_t> SortedLine::run_within(std::size_t p, double r) const {
    // Points below p are within r while q - v[j] < r, which fails on a
    // prefix of them; points above p while v[j] - q < r, which fails on a
    // suffix. Each end is found by doubling steps from p, then bisection
    // between the last position in and the first out.
    const double* v = values_.data();
    const std::size_t n = values_.size();
    const double q = v[p];
    std::size_t in = p, step = 1;
    while (step <= in && q - v[in - step] < r) {
        in -= step;
        step *= 2;
    }
    std::size_t out = step <= in ? in - step : 0;
    if (step > in && q - v[0] < r) {
        in = 0;
    } else {
        while (in - out > 1) {
            const std::size_t mid = out + (in - out) / 2;
            if (q - v[mid] < r) in = mid; else out = mid;
        }
    }
    const std::size_t first = in;
    in = p;
    step = 1;
    while (in + step < n && v[in + step] - q < r) {
        in += step;
        step *= 2;
    }
    out = in + step < n ? in + step : n;
    while (out - in > 1) {
        const std::size_t mid = in + (out - in) / 2;
        if (v[mid] - q < r) in = mid; else out = mid;
    }
    return {first, in + 1};
}

void SortedLine::count_within(const double* radius, std::uint32_t* counts) const {
    const std::size_t n = values_.size();
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint32_t t = order_[p];
        const double r = radius[t];
        if (!(r > 0.0)) {
            counts[t] = 0;
            continue;
        }
        const auto [first, last] = run_within(p, r);
        counts[t] = static_cast<std::uint32_t>(last - first - 1);  // less the point itself
    }
}

// ---------------------------------------------------------------------------
// RankPlane

void RankPlane::build(const double* a, const double* b, std::size_t n) {
    a_.build(a, n);
    b_.build(b, n);
}

// For point t with runs [a0, a1) and [b0, b1) of sorted positions, the
// points within its radius are those of a-position below a1 and b-position
// in [b0, b1), less those of a-position below a0. The sweep inserts the
// points in order of a-position into a Fenwick tree over b-positions and
// reads each run of b-positions when the sweep reaches a0 and a1.
void RankPlane::count_within(const double* radius, std::uint32_t* counts) const {
    const std::size_t n = size();
    std::vector<std::uint32_t> b_run(2 * n);      // per point: b0, b1
    std::vector<std::uint32_t> starts(n + 2, 0);  // events by a-position, as offsets
    std::vector<std::uint32_t> events(2 * n);     // 2 t for a0 (subtract), 2 t + 1 for a1 (add)
    std::vector<std::uint32_t> a_run(2 * n);
    for (std::size_t t = 0; t < n; ++t) {
        counts[t] = 0;
        const double r = radius[t];
        if (!(r > 0.0)) {
            a_run[2 * t] = a_run[2 * t + 1] = static_cast<std::uint32_t>(n + 1);  // no event
            continue;
        }
        const auto [a0, a1] = a_.run_within(a_.position(t), r);
        const auto [b0, b1] = b_.run_within(b_.position(t), r);
        a_run[2 * t] = static_cast<std::uint32_t>(a0);
        a_run[2 * t + 1] = static_cast<std::uint32_t>(a1);
        b_run[2 * t] = static_cast<std::uint32_t>(b0);
        b_run[2 * t + 1] = static_cast<std::uint32_t>(b1);
        ++starts[a0 + 1];
        ++starts[a1 + 1];
    }
    for (std::size_t s = 1; s <= n + 1; ++s) starts[s] += starts[s - 1];
    {
        std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t t = 0; t < n; ++t) {
            if (a_run[2 * t] > n) continue;
            events[next[a_run[2 * t]]++] = static_cast<std::uint32_t>(2 * t);
            events[next[a_run[2 * t + 1]]++] = static_cast<std::uint32_t>(2 * t + 1);
        }
    }
    // fenwick[i] (1-based) counts the inserted points of b-position in
    // (i - lowbit(i), i].
    std::vector<std::uint32_t> fenwick(n + 1, 0);
    auto below = [&](std::size_t end) {  // inserted points of b-position below end
        std::uint32_t sum = 0;
        for (std::size_t i = end; i > 0; i &= i - 1) sum += fenwick[i];
        return sum;
    };
    for (std::size_t s = 0; s <= n; ++s) {
        for (std::uint32_t e = starts[s]; e < starts[s + 1]; ++e) {
            const std::size_t t = events[e] / 2;
            const std::uint32_t inside = below(b_run[2 * t + 1]) - below(b_run[2 * t]);
            // Unsigned arithmetic: the subtraction at a0 comes first and the
            // total is not negative.
            counts[t] = (events[e] & 1) ? counts[t] + inside : counts[t] - inside;
        }
        if (s == n) break;
        for (std::size_t i = b_.position(a_.point(s)) + 1; i <= n; i += i & (0 - i)) ++fenwick[i];
    }
    for (std::size_t t = 0; t < n; ++t) {
        if (a_run[2 * t] <= n) --counts[t];  // the point itself
    }
}

// ---------------------------------------------------------------------------
// RangeCounter

void RangeCounter::build(const Columns& points) {
    dims_ = points.dims();
    if (dims_ == 1) line_.build(points.columns[0], points.n);
    else if (dims_ == 2) plane_.build(points.columns[0], points.columns[1], points.n);
    else tree_.build(points);
}

void RangeCounter::count_within(const double* radius, std::uint32_t* counts) const {
    if (dims_ == 1) line_.count_within(radius, counts);
    else if (dims_ == 2) plane_.count_within(radius, counts);
    else tree_.count_within(radius, counts);
}

}  // namespace zelmo::network::ksg
