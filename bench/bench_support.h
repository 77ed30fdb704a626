// What the benchmarks share.
#pragma once

#include <algorithm>
#include <vector>

// The middle of the rounds' times: one slow round (a page-cache miss, the
// other core busy) does not move it.
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
