// What judging the files that name the same clusters costs at the scale of a
// large card: N live files in chains of 1 to 8 runs over a volume of 8 N
// clusters, a tenth as many deleted files whose walks pass over them, the
// whole set asked as the FAT judgement asks it (the deleted files' gaps
// against the chains, the chains against each other) and the deleted files'
// runs against each other as NTFS's is. Printed per N, best of three: the
// time of each and of a plain sort of as many spans beside it, and the heap
// the inputs and the answers take per span.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "ClusterClaims.h"
#include "support/HeapInUse.h"

namespace {

using claims::Span;

double Seconds(const std::chrono::steady_clock::time_point& from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

template <typename F>
double BestOfThree(F&& run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, Seconds(start));
  }
  return best;
}

}  // namespace

int main() {
  std::printf("%10s %10s %10s | %10s %10s %10s %10s | %s\n", "files", "spans", "deleted", "gaps s", "chains s",
              "deleted s", "sort s", "heap B/span");
  for (const uint32_t files : {100'000u, 1'000'000u, 4'000'000u}) {
    std::mt19937_64 rng(files);
    const uint64_t clusters = uint64_t{files} * 8;
    const int64_t heapBefore = testsupport::HeapInUse();
    std::vector<Span> chains;
    uint64_t at = 2;
    for (uint32_t f = 0; f < files; ++f) {
      const int runs = 1 + static_cast<int>(rng() % 8);
      for (int r = 0; r < runs && at < clusters; ++r) {
        const uint64_t length = 1 + rng() % 3;
        chains.push_back(Span{at, at + length, f, 1 + rng() % 1000});
        at += length + rng() % 2;
      }
    }
    std::vector<Span> gaps;
    std::vector<Span> deleted;
    std::vector<claims::Times> times(files / 10);
    for (uint32_t d = 0; d < files / 10; ++d) {
      const uint64_t first = 2 + rng() % clusters;
      gaps.push_back(Span{first, first + 1 + rng() % 16, claims::kNoOwner, 1});
      deleted.push_back(Span{first, first + 1 + rng() % 64, d, 1});
      times[d] = claims::Times{1 + rng() % 1000, 1 + rng() % 1000};
    }
    std::vector<uint64_t> answers;
    const double gapTime = BestOfThree([&] { answers = claims::LargestOverlappingKey(chains, gaps); });
    const double chainTime = BestOfThree([&] { answers = claims::LargestOverlappingKey(chains, chains); });
    std::vector<bool> lost;
    const double deletedTime = BestOfThree([&] { lost = claims::OverwrittenAmongOverlapping(deleted, times, 0); });
    const int64_t heapAfter = testsupport::HeapInUse();
    const double sortTime = BestOfThree([&] {
      std::vector<Span> copy = chains;
      std::sort(copy.begin(), copy.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    });
    const size_t spans = chains.size() + gaps.size() + deleted.size();
    std::printf("%10u %10zu %10zu | %10.3f %10.3f %10.3f %10.3f | %.0f\n", files, chains.size(), deleted.size(),
                gapTime, chainTime, deletedTime, sortTime,
                heapBefore < 0 ? -1.0 : static_cast<double>(heapAfter - heapBefore) / static_cast<double>(spans));
  }
  return 0;
}
