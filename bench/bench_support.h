// What the benchmarks share.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

// The middle of the rounds' times: one slow round (a page-cache miss, the
// other core busy) does not move it.
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What a loopback test server prints first (its port), waiting at most 30 s
// for it; empty when it ends or stays silent.
inline std::string ReadFirstLine(int fd) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return line;
}
