#include "stats/simes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

double simes_combine(std::vector<std::pair<double, uint64_t>> pvalues) {
  uint64_t m = 0;
  for (const auto& [p, k] : pvalues) m += k;
  if (m == 1) {
    for (const auto& [p, k] : pvalues)
      if (k == 1) return std::isnan(p) ? kInf : std::min(p, kInf);
  }
  for (const auto& [p, k] : pvalues)
    if (k > 0 && std::isnan(p))
      fail("cannot order the pair p-values: NaN among " + std::to_string(m));
  std::sort(pvalues.begin(), pvalues.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  // Within a run of equal p, (m * p) / k falls with k when p > 0 and rises
  // when p < 0 (p is never 0), so the run's last or first rank is its
  // minimum; the values are exactly those of the rank-by-rank definition.
  const double md = static_cast<double>(m);
  double best = kInf;
  uint64_t rank = 0;  // ranks before the current run
  CancelPoller poll;
  for (size_t i = 0; i < pvalues.size();) {
    poll.tick(16);
    const double p = pvalues[i].first;
    uint64_t run = 0;
    for (; i < pvalues.size() && pvalues[i].first == p; ++i) run += pvalues[i].second;
    if (run == 0) continue;
    const uint64_t k = p >= 0.0 ? rank + run : rank + 1;
    const double v = (md * p) / static_cast<double>(k);
    if (v < best) best = v;
    rank += run;
  }
  return best;
}

}  // namespace cladorix
