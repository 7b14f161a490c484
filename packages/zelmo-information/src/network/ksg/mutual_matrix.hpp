// The nearest-neighbour mutual-information matrix: I(X; Y) by algorithm 1
// of Kraskov, Stögbauer and Grassberger (estimate.hpp) for every pair of
// prepared rows, over the steps at which both are present.
#pragma once

#include <cstddef>

#include "../engine/tile.hpp"
#include "../gaussian/real_rows.hpp"
#include "../parallel.hpp"

namespace zelmo::network {

// out[a, b] = I(source a; target b) in bits with the k-th neighbour, 0.0
// for a pair with at most k steps present. A row with itself gives
// psi(N) - psi(k) over ln 2 when its values are distinct. A square tile
// computes each unordered pair once (the row of the smaller key as X) and
// mirrors it. `steps` (if not null) receives the steps counted per pair.
void ksg_mutual_information_matrix(const RealRows& rows, const Tile& tile, std::size_t k, Pool& pool, double* out,
                                   double* steps);

}  // namespace zelmo::network
