#include "stats/binomial_tail.hpp"

#include <algorithm>
#include <cmath>

namespace cladorix {

// The products for successive lengths are
// prefixes of one another, so one running product serves every j bit for bit.
std::vector<double> log_binomials(uint64_t a, uint64_t jmax) {
  const uint64_t half = std::min(jmax, a / 2);
  std::vector<double> prefix(half + 1);
  prefix[0] = 1.0;
  for (uint64_t k = 0; k < half; ++k)
    prefix[k + 1] = prefix[k] * (static_cast<double>(a - k) / static_cast<double>(k + 1));
  std::vector<double> t(jmax + 1);
  for (uint64_t j = 0; j <= jmax; ++j) t[j] = std::log(prefix[std::min(j, a - j)]);
  return t;
}

// The tail sums for successive counts share their prefixes
// (terms are added in increasing j), so one pass serves every count.
void binomial_upper_tails(double h, uint64_t a, const std::vector<uint64_t>& cs,
                          const std::vector<double>& t, std::vector<double>& out) {
  out.assign(cs.size(), 0.0);
  const bool formula = !(h == 0.0) && !(h == 1.0);
  const double lnh = formula ? std::log(h) : 0.0;
  const double ln1h = formula ? std::log(1.0 - h) : 0.0;
  double sum = 0.0;
  uint64_t j = 0;
  for (size_t i = 0; i < cs.size(); ++i) {
    const uint64_t c = cs[i];
    double p;
    if (c == 0) {
      p = 1.0;
    } else if (h == 0.0) {
      p = 0.0;
    } else if (h == 1.0) {
      p = c <= a ? 1.0 : 0.0;
    } else {
      // Terms past j = a are 0 and leave the sum as it is.
      for (; j < c && j <= a; ++j)
        sum += std::exp((static_cast<double>(a - j) * ln1h + static_cast<double>(j) * lnh) + t[j]);
      j = std::max(j, c);
      p = 1.0 - sum;
    }
    out[i] = p == 0.0 ? kZeroPValue : p;
  }
}

double binomial_tail_pvalue(double h, uint64_t c, uint64_t a) {
  const std::vector<double> t =
      c == 0 ? std::vector<double>{} : log_binomials(a, std::min(c - 1, a));
  std::vector<double> p;
  binomial_upper_tails(h, a, {c}, t, p);
  return p[0];
}

}  // namespace cladorix
