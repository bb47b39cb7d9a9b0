// Upper tails of the binomial distribution, summed term by term in a fixed
// order so that results are reproducible bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace cladorix {

// Machine epsilon, standing in for a tail that came out exactly 0.
inline constexpr double kZeroPValue = 2.220446049250313e-16;

// ln C(a, j) for j = 0 .. jmax (jmax <= a), each the log of the product of
// the quotients (a - k) / (k + 1) for k < min(j, a - j), multiplied in
// increasing k starting from 1.0.
std::vector<double> log_binomials(uint64_t a, uint64_t jmax);

// P(X >= c) for X ~ Binomial(a, h), for each of the distinct ascending counts
// `cs`, into `out`: 1 for c = 0, else 0 for h = 0, else for h = 1 whether
// c <= a, else 1 minus the terms j < c summed in increasing j. `t` holds
// log_binomials(a, jmax) for a jmax of at least min(max c - 1, a). A result
// of exactly 0 is replaced by kZeroPValue.
void binomial_upper_tails(double h, uint64_t a, const std::vector<uint64_t>& cs,
                          const std::vector<double>& t, std::vector<double>& out);

// The same for a single count.
double binomial_tail_pvalue(double h, uint64_t c, uint64_t a);

}  // namespace cladorix
