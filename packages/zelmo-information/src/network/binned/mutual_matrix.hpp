// The mutual-information matrix of binned rows: every entry the number the
// single-pair measure gives for the same two rows, to the last bit,
// whatever the number of threads and however the pairs are split into
// tiles.
#pragma once

#include <cstdint>

#include "../engine/tile.hpp"
#include "../parallel.hpp"
#include "binned_rows.hpp"

namespace zelmo::network {

// out[a, b] = I(source a; target b), computed with the row of the smaller
// key first. A square tile computes each unordered pair once and mirrors
// it. The rows' bins are replaced by their ranks among the row's distinct
// bins. Needs n_bins in [1, 2^31]. A pair with missing samples is counted
// over the steps at which both are present (steps, if not null, receives
// the steps counted).
void mutual_information_matrix(BinnedRows& rows, const Tile& tile, Pool& pool, double* out, double* steps);

}  // namespace zelmo::network
