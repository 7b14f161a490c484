#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "neighbours.hpp"
#include "search.hpp"

namespace zelmo::network::ksg {

namespace {

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

}  // namespace

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
    by_dims<6>(dims_, [&]<std::size_t D>() { kth_distances_in<D>(k, eps); });
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
    const Stored stored{x, n, d};
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
        // Offers the points of a leaf to point i of the group.
        auto scan = [&](std::uint32_t i, const Node& leaf) {
            const std::uint32_t p = first + i;
            for (std::size_t c = 0; c < d; ++c) q[c] = x[c * n + p];
            double dist[kLeaf];
            distances<D>(stored, q, leaf.begin, leaf.end - leaf.begin, dist);
            if (p >= leaf.begin && p < leaf.end) dist[p - leaf.begin] = kInfinity;  // not its own neighbour
            kth[i] = offer(best.data() + i * k, k, dist, leaf.end - leaf.begin, kth[i]);
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
    by_dims<6>(dims_, [&]<std::size_t D>() { count_within_in<D>(radius, counts); });
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
    const Stored stored{x, n, d};
    std::array<std::uint32_t, kLeaf> within, active;
    std::array<double, kLeaf> r;
    Query<D> q(d);
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
                for (std::size_t c = 0; c < d; ++c) q[c] = x[c * n + p];
                double dist[kLeaf];
                distances<D>(stored, q, node.begin, node.end - node.begin, dist);
                std::uint32_t count = 0;
                for (std::uint32_t j = 0; j < node.end - node.begin; ++j) count += dist[j] < r[i];
                within[i] += count;
            }
        }
        // Less the point itself, at distance 0 < r.
        for (std::uint32_t i = 0; i < size; ++i) counts[index_[active[i]]] = within[i] - 1;
    }
}

}  // namespace zelmo::network::ksg
