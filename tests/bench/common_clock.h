// What every benchmark program shares: a monotonic clock in milliseconds and
// the one-line answer that scripts/bench reads ("name=value ..." pairs).
#pragma once

#include <time.h>

#include <cstdio>

namespace bench {

inline double NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace bench
