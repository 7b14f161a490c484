#include "neighbours.hpp"

#include "../../kernels/support.hpp"

namespace zelmo::network::ksg {

Columns join(const Columns& a, const Columns& b) {
    if (a.n != b.n) panic("joined columns of different lengths");
    Columns out{a.columns, a.n};
    out.columns.insert(out.columns.end(), b.columns.begin(), b.columns.end());
    return out;
}

Subspace join(const Subspace& a, const Subspace& b) {
    Subspace out{join(a.points, b.points), a.lines};
    out.lines.insert(out.lines.end(), b.lines.begin(), b.lines.end());
    return out;
}

void RangeCounter::build(const Subspace& points) {
    dims_ = points.dims();
    if (dims_ == 0 || points.lines.size() != dims_) panic("a subspace needs a sorted line for each of its columns");
    if (dims_ == 1) line_ = points.lines[0];
    else if (dims_ == 2) {
        plane_lines_ = {points.lines[0], points.lines[1]};
        plane_.build(*points.lines[0], *points.lines[1]);
    }
    else tree_.build(points.points);
}

void RangeCounter::count_within(Runs& runs, std::uint32_t* counts) const {
    if (dims_ == 1) SortedLine::count(runs.of(*line_), line_->size(), counts);
    else if (dims_ == 2) plane_.count_within(runs.of(*plane_lines_[0]), runs.of(*plane_lines_[1]), counts);
    else tree_.count_within(runs.radius(), counts);
}

void NeighbourSearch::build(const Subspace& points) {
    if (points.lines.size() != points.dims()) panic("a subspace needs a sorted line for each of its columns");
    grid_mode_ = points.dims() <= RankGrid::kMaxDims;
    if (grid_mode_) grid_.build(points);
    else tree_.build(points.points);
}

void NeighbourSearch::kth_distances(std::size_t k, double* eps) const {
    if (grid_mode_) grid_.kth_distances(k, eps);
    else tree_.kth_distances(k, eps);
}

}  // namespace zelmo::network::ksg
