// The private bindings of the nearest-neighbour (KSG) estimator.
#pragma once

#include <nanobind/nanobind.h>

namespace zelmo::py {

void bind_ksg(nanobind::module_& m);

}  // namespace zelmo::py
