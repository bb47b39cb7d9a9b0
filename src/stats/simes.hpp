// Simes' combination of many p-values.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace cladorix {

// Simes' combination of a multiset of p-values given as (value, multiplicity)
// in any order: the minimum over ranks k of (m * p_(k)) / k, m the total
// multiplicity; for m = 1 the p-value itself (NaN gives +inf). A NaN among two
// or more p-values is an InternalError.
double simes_combine(std::vector<std::pair<double, uint64_t>> pvalues);

}  // namespace cladorix
