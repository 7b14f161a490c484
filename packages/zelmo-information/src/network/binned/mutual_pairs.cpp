#include "mutual_pairs.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "../../dependence/dependence.hpp"
#include "../../kernels/range.hpp"

namespace zelmo::network {

void mutual_information_pairs(const double* rows, std::size_t m, std::size_t length, std::uint64_t n_bins,
                              Nonfinite nonfinite, Pool& pool, const std::function<void()>& between,
                              double* out) {
    if (nonfinite == Nonfinite::skip) throw std::invalid_argument("skipping needs the matrix of binned rows");
    std::fill(out, out + m * m, 0.0);
    if (m == 0 || length < 3) return;
    auto row = [&](std::size_t i) { return Span{rows + i * length, length}; };
    const std::size_t round = pool.workers();
    auto in_rounds = [&](std::size_t units, const Pool::Body& body) {
        for (std::size_t first = 0; first < units; first += round) {
            if (first != 0) between();
            pool.run(std::min(round, units - first), [&](std::size_t k, unsigned slot) { return body(first + k, slot); });
        }
    };
    if (nonfinite == Nonfinite::reject) {
        std::vector<std::uint8_t> refused(m, 0);
        in_rounds(m, [&](std::size_t i, unsigned) {
            refused[i] = !all_finite(row(i));
            return std::uint64_t{0};
        });
        for (std::size_t i = 0; i < m; ++i) {
            if (refused[i]) BinnedRows::refuse(i);
        }
    }
    std::vector<SampleRange> range(m);
    in_rounds(m, [&](std::size_t i, unsigned) {
        range[i] = sample_range(row(i));
        return std::uint64_t{0};
    });
    // A pair of rows that are not constant, and the rows whose own counts it
    // gives: each non-constant row takes them from its first such pair, or
    // from itself when it has none.
    struct Unit {
        std::size_t i, j;
        bool gives_i = false, gives_j = false;
    };
    std::vector<Unit> units;
    std::vector<std::uint8_t> given(m, 0);
    for (std::size_t i = 0; i < m; ++i) {
        if (range[i].constant()) continue;
        for (std::size_t j = i + 1; j < m; ++j) {
            if (range[j].constant()) continue;
            Unit u{i, j};
            u.gives_i = !given[i];
            u.gives_j = !given[j];
            given[i] = given[i] || u.gives_i;
            given[j] = given[j] || u.gives_j;
            units.push_back(u);
        }
        if (!given[i]) units.push_back(Unit{i, i, true, false});
    }
    std::vector<Counts> own(m);
    in_rounds(units.size(), [&](std::size_t k, unsigned) {
        const Unit& u = units[k];
        Marginals marginals;
        const Counts table = pair_table_with_marginals(row(u.i), range[u.i], row(u.j), range[u.j], length, n_bins,
                                                       marginals);
        if (u.i != u.j) out[u.i * m + u.j] = out[u.j * m + u.i] = mutual_information_of(table, marginals, n_bins, length);
        if (u.gives_i) own[u.i] = std::move(marginals.x);
        if (u.gives_j) own[u.j] = std::move(marginals.y);
        return std::uint64_t{1};
    });
    for (std::size_t i = 0; i < m; ++i) {
        if (own[i].size() != 0) out[i * m + i] = self_mutual_information(own[i], n_bins, length);
    }
}

}  // namespace zelmo::network
