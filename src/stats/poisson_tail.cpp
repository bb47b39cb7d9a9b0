#include "stats/poisson_tail.hpp"

#include <cmath>

namespace cladorix {

double erf_approx(double x) {
  const double t = 1.0 / (1.0 + 0.3275911 * std::fabs(x));
  const double poly =
      0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429)));
  const double y = 1.0 - t * poly * std::exp(-x * x);
  return x >= 0.0 ? y : -y;
}

double poisson_upper_tail(uint64_t s, double mu) {
  if (mu <= 0.0) return s == 0 ? 1.0 : 0.0;
  if (s <= 100) {
    double term = std::exp(-mu);
    double sum = 0.0;
    for (uint64_t k = 0; k < s; ++k) {
      if (k > 0) term = (mu / static_cast<double>(k)) * term;
      sum += term;
    }
    return 1.0 - sum;
  }
  const double x = (static_cast<double>(s) - mu) / std::sqrt(mu) / 1.4142135623730951;
  return 0.5 * (1.0 - erf_approx(x));
}

}  // namespace cladorix
