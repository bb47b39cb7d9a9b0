// The general index sampler the triplet samplers are defined by, kept as the
// reference their inlined three-index draw must match draw for draw.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/random.hpp"

namespace cladorix::reference {

// Unbiased integer in [0, high] by widening multiplication and rejection.
uint32_t uniform_inclusive_u32(RandomSource& rng, uint32_t high);

// `amount` distinct positions in [0, length), in Floyd's order (rejection into
// a set for lengths of 2^32 or more). Throws InternalError when amount > length.
std::vector<uint64_t> sample_indices(RandomSource& rng, uint64_t length, uint64_t amount);

}  // namespace cladorix::reference
