// Timing shared by the benchmarks: seconds since a moment, and the best of
// three runs of something that answers its own seconds (negative: it failed).
#pragma once

#include <chrono>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

template <class Run>
double Best(Run run) {
  double best = -1;
  for (int i = 0; i < 3; ++i) {
    const double s = run();
    if (s < 0) return -1;
    if (best < 0 || s < best) best = s;
  }
  return best;
}

}  // namespace bench
