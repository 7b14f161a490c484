#include "neighbours.hpp"

#include <algorithm>
#include <cmath>

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

void RangeCounter::build(const Subspace& points, std::size_t k, Structure structure) {
    const std::size_t m = points.dims();
    if (m == 0 || points.lines.size() != m) panic("a subspace needs a sorted line for each of its columns");
    const std::size_t n = points.points.n;
    if (m == 1) {
        mode_ = structure == Structure::tree ? Mode::tree : Mode::line;
    } else if (m == 2 && structure != Structure::tree) {
        mode_ = structure == Structure::automatic && n <= kBoxPlanePoints ? Mode::box : Mode::plane;
    } else if (structure == Structure::automatic) {
        // The estimated length of a point's shortest run.
        const double points_n = static_cast<double>(std::max<std::size_t>(n, 1));
        const double run = points_n * std::pow(static_cast<double>(k) / points_n, 1.0 / static_cast<double>(m + 1));
        mode_ = run <= kBoxScan ? Mode::box : Mode::tree;
    } else {
        mode_ = structure == Structure::rank ? Mode::box : Mode::tree;
    }
    switch (mode_) {
        case Mode::line: line_ = points.lines[0]; break;
        case Mode::plane:
            plane_lines_ = {points.lines[0], points.lines[1]};
            plane_.build(*points.lines[0], *points.lines[1]);
            break;
        case Mode::box: box_.build(points); break;
        case Mode::tree: tree_.build(points.points); break;
    }
}

void RangeCounter::count_within(Runs& runs, std::uint32_t* counts) const {
    switch (mode_) {
        case Mode::line: SortedLine::count(runs.of(*line_), line_->size(), counts); break;
        case Mode::plane: plane_.count_within(runs.of(*plane_lines_[0]), runs.of(*plane_lines_[1]), counts); break;
        case Mode::box: box_.count_within(runs, counts); break;
        case Mode::tree: tree_.count_within(runs.radius(), counts); break;
    }
}

void NeighbourSearch::build(const Subspace& points, Structure structure) {
    if (points.lines.size() != points.dims()) panic("a subspace needs a sorted line for each of its columns");
    grid_mode_ = structure != Structure::tree && points.dims() <= RankGrid::kMaxDims;
    if (grid_mode_) grid_.build(points);
    else tree_.build(points.points);
}

void NeighbourSearch::kth_distances(std::size_t k, double* eps) const {
    if (grid_mode_) grid_.kth_distances(k, eps);
    else tree_.kth_distances(k, eps);
}

}  // namespace zelmo::network::ksg
