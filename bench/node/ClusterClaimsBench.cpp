// What judging the files that name the same clusters costs at the scale of a
// large card: N live files in chains of 1 to 8 runs over a volume of 8 N
// clusters, a tenth as many deleted files whose walks pass over them, the
// whole set asked as the FAT judgement asks it (the deleted files' gaps
// against the chains, the chains against each other) and the deleted files'
// runs against each other as NTFS's is, and the whole judgement of a FAT or
// exFAT volume of them (JudgeClaims: cross-links, walks around others, walks
// that meet). Printed per N, best of three: the time of each and of a plain
// sort of as many spans beside it, and the heap the inputs and the answers
// take per span; then the judgement of a hostile volume whose deleted
// entries all name one first cluster.
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
  std::printf("%10s %10s %10s | %10s %10s %10s %10s %10s | %s\n", "files", "spans", "deleted", "gaps s", "chains s",
              "deleted s", "judge s", "sort s", "heap B/span");
  for (const uint32_t count : {100'000u, 1'000'000u, 4'000'000u}) {
    std::mt19937_64 rng(count);
    const uint64_t clusters = uint64_t{count} * 8;
    const int64_t heapBefore = testsupport::HeapInUse();
    std::vector<Span> chains;
    uint64_t at = 2;
    for (uint32_t f = 0; f < count; ++f) {
      const int runs = 1 + static_cast<int>(rng() % 8);
      for (int r = 0; r < runs && at < clusters; ++r) {
        const uint64_t length = 1 + rng() % 3;
        chains.push_back(Span{at, at + length, f, 1 + rng() % 1000});
        at += length + rng() % 2;
      }
    }
    std::vector<Span> gaps;
    std::vector<Span> deleted;
    std::vector<claims::Times> times(count / 10);
    for (uint32_t d = 0; d < count / 10; ++d) {
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
    // The volume as its scanner gives it: live files holding their chains,
    // deleted files walked from their first clusters.
    std::vector<claims::Claim> files(chains.empty() ? 0 : chains.back().owner + 1 + deleted.size());
    std::vector<Span> runs = chains;
    for (size_t i = 0; i < chains.size(); ++i) {
      claims::Claim& c = files[chains[i].owner];
      if (c.runCount == 0) c = claims::Claim{chains[i].first, claims::Times{1, 1}, false, true, false, false, i, 0};
      ++c.runCount;
    }
    for (size_t d = 0; d < deleted.size(); ++d) {
      files[files.size() - deleted.size() + d] =
          claims::Claim{deleted[d].first, times[d], false, false, true, true, runs.size(), 1};
      runs.push_back(deleted[d]);
    }
    std::vector<uint16_t> reasons;
    const double judgeTime = BestOfThree([&] {
      reasons = claims::JudgeClaims(files, runs, chains, claims::Volume{2, clusters + 64}, 0, {});
    });
    const int64_t heapAfter = testsupport::HeapInUse();
    const double sortTime = BestOfThree([&] {
      std::vector<Span> copy = chains;
      std::sort(copy.begin(), copy.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    });
    const size_t spans = chains.size() + gaps.size() + deleted.size();
    std::printf("%10u %10zu %10zu | %10.3f %10.3f %10.3f %10.3f %10.3f | %.0f\n", count, chains.size(), deleted.size(),
                gapTime, chainTime, deletedTime, judgeTime, sortTime,
                heapBefore < 0 ? -1.0 : static_cast<double>(heapAfter - heapBefore) / static_cast<double>(spans));
  }
  // A hostile volume: N deleted entries that all name one first cluster and
  // the next seven (a folder of copies of one entry), and a walk from the
  // cluster before over all of them. Each walk costs only the first
  // clusters it reaches.
  std::printf("\n%10s | %10s\n", "same first", "judge s");
  for (const uint32_t count : {65'536u, 262'144u}) {
    std::vector<claims::Claim> files;
    std::vector<Span> runs;
    for (uint32_t i = 0; i <= count; ++i) {
      const uint64_t first = i == count ? 99 : 100;
      files.push_back(claims::Claim{first, claims::Times{1, 1}, false, false, true, true, runs.size(), 1});
      runs.push_back(Span{first, 108, i, 1});
    }
    std::vector<uint16_t> reasons;
    const double judgeTime = BestOfThree([&] {
      reasons = claims::JudgeClaims(files, runs, {}, claims::Volume{2, 1000}, 0, {});
    });
    std::printf("%10u | %10.3f\n", count, judgeTime);
  }
  return 0;
}
