// The Gaussian mutual-information matrix: I(X; Y) = -1/2 log2(1 - rho^2)
// for every pair of rows, rho their correlation over the steps at which
// both are present.
#pragma once

#include "../engine/tile.hpp"
#include "../parallel.hpp"
#include "real_rows.hpp"

namespace zelmo::network {

// out[a, b] = I(source a; target b) in bits. 1 - rho^2 is floored at
// kCollinear (a row with itself, or with an exact linear copy, gives
// 1/2 log2(1e12)); a row without spread gives 0. A square tile computes
// each unordered pair once and mirrors it. `steps` (if not null) receives
// the steps counted per pair.
void gaussian_mutual_information_matrix(const RealRows& rows, const Tile& tile, Pool& pool, double* out,
                                        double* steps);

}  // namespace zelmo::network
