// Least-significant-digit radix sort of unsigned 64-bit keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support.hpp"

namespace zelmo {

// Sorts keys[0 .. n) ascending, given that every key is at most `max_key`;
// `scratch` holds n keys. Time O(n) per 11 bits of max_key. Stops early
// (Stopped) when its thread is asked to (stop.hpp).
void radix_sort(std::uint64_t* keys, std::size_t n, std::uint64_t max_key, std::uint64_t* scratch);

}  // namespace zelmo
