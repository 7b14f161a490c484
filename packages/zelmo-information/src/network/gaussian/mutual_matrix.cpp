#include "mutual_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "linalg.hpp"

namespace zelmo::network {

namespace {

// -1/2 log2(1 - rho^2) from a covariance pair and the two variances.
double mutual_bits(double cxy, double cxx, double cyy) {
    if (!(cxx > 0.0) || !(cyy > 0.0)) return 0.0;
    const double r2 = std::fmin((cxy / cxx) * (cxy / cyy), 1.0 - gaussian::kCollinear);
    if (!(r2 > 0.0)) return 0.0;
    return -0.5 * std::log1p(-r2) / std::log(2.0);
}

}  // namespace

void gaussian_mutual_information_matrix(const RealRows& rows, const Tile& tile, Pool& pool, double* out,
                                        double* steps) {
    const std::size_t length = rows.length();
    const std::size_t columns = tile.targets.size();
    std::fill(out, out + tile.units(), 0.0);
    if (steps != nullptr) std::fill(steps, steps + tile.units(), 0.0);
    if (tile.units() == 0 || length < 2) return;
    const bool square = tile.square();
    // A pair of rows without missing samples: the rows are centred over all
    // their steps, so its covariance is one product. A pair is computed the
    // same way whichever other rows share the call.
    std::vector<double> variance(rows.rows(), 0.0);
    pool.run(rows.rows(), [&](std::size_t i, unsigned) {
        if (rows.missing(i)) return std::uint64_t{0};
        const double* x = rows.row(i);
        gaussian::accurate_dots(x, &x, 1, length, &variance[i]);
        variance[i] /= static_cast<double>(length);
        return std::uint64_t{0};
    });
    auto place = [&](std::size_t a, std::size_t b, double mi, std::size_t n) {
        out[a * columns + b] = mi;
        if (square) out[b * columns + a] = mi;
        if (steps != nullptr) {
            steps[a * columns + b] = static_cast<double>(n);
            if (square) steps[b * columns + a] = static_cast<double>(n);
        }
    };
    pool.run(tile.sources.size(), [&](std::size_t a, unsigned) {
        const std::size_t i = tile.sources[a];
        std::vector<const double*> others;
        std::vector<std::size_t> complete, partial;
        for (std::size_t b = square ? a : 0; b < columns; ++b) {
            const std::size_t j = tile.targets[b];
            if (rows.missing(i) || rows.missing(j)) {
                partial.push_back(b);
            } else {
                complete.push_back(b);
                others.push_back(rows.row(j));
            }
        }
        std::vector<double> products(others.size());
        gaussian::accurate_dots(rows.row(i), others.data(), others.size(), length, products.data());
        for (std::size_t k = 0; k < complete.size(); ++k) {
            const std::size_t b = complete[k], j = tile.targets[b];
            place(a, b, mutual_bits(products[k] / static_cast<double>(length), variance[i], variance[j]), length);
        }
        // Missing samples: each pair over the steps both rows have.
        std::vector<double> x(length), y(length);
        for (const std::size_t b : partial) {
            const std::size_t j = tile.targets[b];
            const std::uint8_t *vi = rows.valid(i), *vj = rows.valid(j);
            std::size_t n = 0;
            for (std::size_t t = 0; t < length; ++t) {
                if (vi[t] && vj[t]) {
                    x[n] = rows.row(i)[t];
                    y[n] = rows.row(j)[t];
                    ++n;
                }
            }
            double mi = 0.0;
            if (n >= 2) {
                const double mx = gaussian::total(x.data(), n) / static_cast<double>(n);
                const double my = gaussian::total(y.data(), n) / static_cast<double>(n);
                for (std::size_t t = 0; t < n; ++t) {
                    x[t] = x[t] - mx;
                    y[t] = y[t] - my;
                }
                const double* cols[2] = {x.data(), y.data()};
                double xx[2], yy;
                gaussian::accurate_dots(x.data(), cols, 2, n, xx);
                gaussian::accurate_dots(y.data(), cols + 1, 1, n, &yy);
                mi = mutual_bits(xx[1], xx[0], yy);
            }
            place(a, b, mi, n);
        }
        return static_cast<std::uint64_t>(complete.size() + partial.size());
    });
}

}  // namespace zelmo::network
