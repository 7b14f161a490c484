#include "mutual_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "../../kernels/stop.hpp"
#include "linalg.hpp"

namespace zelmo::network {

namespace {

// Steps of each row read at a time (8 KiB): the pieces of a hundred rows fit
// in the second-level cache.
constexpr std::size_t kPieceSteps = 1024;
// Sources per task: each reads every target once per piece.
constexpr std::size_t kGroupSources = 8;

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
    // their steps, so its covariance is one product, and a row's variance
    // its product with itself. A square tile has those among its pairs;
    // otherwise they come first, for the tile's rows. A pair is computed
    // the same way whichever other rows share the call.
    std::vector<double> variance(rows.rows(), 0.0);
    if (!square) {
        std::vector<std::size_t> own(tile.sources);
        own.insert(own.end(), tile.targets.begin(), tile.targets.end());
        std::sort(own.begin(), own.end());
        own.erase(std::unique(own.begin(), own.end()), own.end());
        pool.run(own.size(), [&](std::size_t k, unsigned) {
            const std::size_t i = own[k];
            if (rows.missing(i)) return std::uint64_t{0};
            const double* x = rows.row(i);
            gaussian::accurate_dots(x, &x, 1, length, &variance[i]);
            return std::uint64_t{0};
        });
    }
    std::vector<double> product(tile.units(), 0.0);
    std::vector<std::uint8_t> formed(tile.units(), 0);
    auto place = [&](std::size_t a, std::size_t b, double mi, std::size_t n) {
        out[a * columns + b] = mi;
        if (square) out[b * columns + a] = mi;
        if (steps != nullptr) {
            steps[a * columns + b] = static_cast<double>(n);
            if (square) steps[b * columns + a] = static_cast<double>(n);
        }
    };
    // Pairs of complete rows go by groups of sources, a piece of every row
    // at a time, so that the pieces of the targets stay in cache for all
    // the group's sources; the running sums carry over from piece to
    // piece, so a pair's value is accurate_dots' whatever the grouping.
    const std::size_t body = length - length % 4;
    const std::size_t groups = (tile.sources.size() + kGroupSources - 1) / kGroupSources;
    pool.run(groups, [&](std::size_t g, unsigned) {
        const std::size_t first = g * kGroupSources;
        const std::size_t last = std::min(first + kGroupSources, tile.sources.size());
        std::vector<std::size_t> sources;
        for (std::size_t a = first; a < last; ++a) {
            if (!rows.missing(tile.sources[a])) sources.push_back(a);
        }
        // Sources two by two (an odd one paired with itself), each pair
        // against every complete target of its first source.
        struct Twin {
            std::size_t a0, a1;
            std::vector<std::size_t> targets;
            std::vector<const double*> columns;
            std::vector<gaussian::Dot2Pair> states;
        };
        std::vector<Twin> twins;
        std::uint64_t done = 0;
        for (std::size_t k = 0; k < sources.size(); k += 2) {
            Twin twin{sources[k], k + 1 < sources.size() ? sources[k + 1] : sources[k], {}, {}, {}};
            for (std::size_t b = square ? twin.a0 : 0; b < columns; ++b) {
                if (rows.missing(tile.targets[b])) continue;
                twin.targets.push_back(b);
                twin.columns.push_back(rows.row(tile.targets[b]));
            }
            twin.states.resize(twin.targets.size());
            twins.push_back(std::move(twin));
        }
        for (std::size_t from = 0; from < body; from += kPieceSteps) {
            stop_point();
            const std::size_t to = std::min(from + kPieceSteps, body);
            for (Twin& twin : twins) {
                gaussian::accurate_dots_advance(rows.row(tile.sources[twin.a0]), rows.row(tile.sources[twin.a1]),
                                                twin.columns.data(), twin.columns.size(), from, to,
                                                twin.states.data());
            }
        }
        for (const Twin& twin : twins) {
            for (int second = 0; second < (twin.a1 != twin.a0 ? 2 : 1); ++second) {
                const std::size_t a = second ? twin.a1 : twin.a0, i = tile.sources[a];
                for (std::size_t k = 0; k < twin.targets.size(); ++k) {
                    const std::size_t b = twin.targets[k], j = tile.targets[b];
                    if (square && b < a) continue;  // the first source's pair, mirrored
                    product[a * columns + b] =
                        gaussian::accurate_dots_finish(twin.states[k], second != 0, rows.row(i), rows.row(j), length);
                    formed[a * columns + b] = 1;
                    ++done;
                }
            }
        }
        return done;
    });
    const double count = static_cast<double>(length);
    if (square) {
        for (std::size_t a = 0; a < columns; ++a) {
            if (formed[a * columns + a]) variance[tile.sources[a]] = product[a * columns + a];
        }
    }
    for (std::size_t a = 0; a < tile.sources.size(); ++a) {
        for (std::size_t b = 0; b < columns; ++b) {
            if (!formed[a * columns + b]) continue;
            const std::size_t i = tile.sources[a], j = tile.targets[b];
            place(a, b, mutual_bits(product[a * columns + b] / count, variance[i] / count, variance[j] / count), length);
        }
    }
    pool.run(tile.sources.size(), [&](std::size_t a, unsigned) {
        const std::size_t i = tile.sources[a];
        std::vector<std::size_t> partial;
        for (std::size_t b = square ? a : 0; b < columns; ++b) {
            if (rows.missing(i) || rows.missing(tile.targets[b])) partial.push_back(b);
        }
        if (partial.empty()) return std::uint64_t{0};
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
        return static_cast<std::uint64_t>(partial.size());
    });
}

}  // namespace zelmo::network
