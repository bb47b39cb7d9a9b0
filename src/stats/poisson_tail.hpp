// The Poisson upper tail of the parsimony p-value.
#pragma once

#include <cstdint>

namespace cladorix {

// The upper tail P(X >= s) given mu: exact Poisson sum up to s = 100, a normal
// approximation (no continuity correction) above; 1.0 or 0.0 when mu <= 0.
double poisson_upper_tail(uint64_t s, double mu);

// Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7).
double erf_approx(double x);

}  // namespace cladorix
