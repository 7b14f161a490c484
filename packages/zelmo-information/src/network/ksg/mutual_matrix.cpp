#include "mutual_matrix.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "../../kernels/stop.hpp"
#include "estimate.hpp"

namespace zelmo::network {

void ksg_mutual_information_matrix(const RealRows& rows, const Tile& tile, std::size_t k, Pool& pool, double* out,
                                   double* steps) {
    const std::size_t length = rows.length();
    const std::size_t columns = tile.targets.size();
    std::fill(out, out + tile.units(), 0.0);
    if (steps != nullptr) std::fill(steps, steps + tile.units(), 0.0);
    if (tile.units() == 0) return;
    const bool square = tile.square();
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t a = 0; a < tile.sources.size(); ++a) {
        for (std::size_t b = square ? a : 0; b < columns; ++b) pairs.emplace_back(a, b);
    }
    struct Scratch {
        std::vector<double> x, y;
        ksg::Workspace work;
    };
    std::vector<Scratch> scratch(pool.workers());
    pool.run(pairs.size(), [&](std::size_t u, unsigned slot) {
        stop_point();
        const auto [a, b] = pairs[u];
        std::size_t i = tile.sources[a], j = tile.targets[b];
        // The same two rows give the same number in either order.
        if (tile.keys[j] < tile.keys[i]) std::swap(i, j);
        Scratch& s = scratch[slot];
        const double *x = rows.row(i), *y = rows.row(j);
        std::size_t n = length;
        if (rows.missing(i) || rows.missing(j)) {
            s.x.resize(length);
            s.y.resize(length);
            const std::uint8_t *vi = rows.valid(i), *vj = rows.valid(j);
            n = 0;
            for (std::size_t t = 0; t < length; ++t) {
                if (vi[t] && vj[t]) {
                    s.x[n] = x[t];
                    s.y[n] = y[t];
                    ++n;
                }
            }
            x = s.x.data();
            y = s.y.data();
        }
        double mi = 0.0;
        if (n > k) {
            const ksg::Context context(ksg::Columns{{y}, n}, ksg::Columns{{}, n}, k);
            mi = context.value(ksg::Columns{{x}, n}, s.work);
        }
        out[a * columns + b] = mi;
        if (square) out[b * columns + a] = mi;
        if (steps != nullptr) {
            steps[a * columns + b] = static_cast<double>(n);
            if (square) steps[b * columns + a] = static_cast<double>(n);
        }
        return std::uint64_t{1};
    });
}

}  // namespace zelmo::network
