// The sweeps over claimed clusters against the plain pairwise answer, on
// random spans crowded into few clusters: equal starts, touching and nested
// spans, an owner's own spans meeting, times equal or a tick apart.
#include "ClusterClaims.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using claims::Span;

// Each owner's spans carry its one key, as the scanners give them.
std::vector<Span> RandomSpans(std::mt19937& rng, uint32_t owners, size_t count) {
  std::uniform_int_distribution<uint64_t> at(0, 60);
  std::uniform_int_distribution<uint64_t> length(0, 9);
  std::uniform_int_distribution<uint32_t> owner(0, owners - 1);
  std::vector<Span> spans;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t first = at(rng);
    const uint32_t o = owner(rng);
    spans.push_back(Span{first, first + length(rng), o, 1 + (o * 7 + 3) % 6});
  }
  return spans;
}

// Spans share a cluster (an empty span holds none).
bool Overlap(const Span& a, const Span& b) {
  return a.first < a.end && b.first < b.end && a.first < b.end && b.first < a.end;
}

TEST(ClusterClaims, LargestOverlappingKeyIsThePairwiseAnswer) {
  std::mt19937 rng(82);
  for (int round = 0; round < 400; ++round) {
    const uint32_t owners = 1 + round % 7;
    const std::vector<Span> keys = RandomSpans(rng, owners, round % 30);
    // Queries lie within one of their owner's joined spans, or belong to no
    // owner, as the function asks.
    std::vector<Span> joined = keys;
    claims::JoinByOwner(joined);
    std::vector<Span> queries = RandomSpans(rng, owners, 12);
    for (Span& q : queries) q.owner = claims::kNoOwner;
    for (const Span& own : joined) {
      const uint64_t cut = own.first + (own.end - own.first) / 2;
      queries.push_back(Span{own.first, own.end, own.owner, 1});
      queries.push_back(Span{cut, own.end, own.owner, 1});
    }
    const std::vector<uint64_t> got = claims::LargestOverlappingKey(keys, queries);
    ASSERT_EQ(got.size(), queries.size());
    for (size_t i = 0; i < queries.size(); ++i) {
      uint64_t want = claims::kNoOverlap;
      for (const Span& k : keys) {
        if (k.owner != queries[i].owner && Overlap(k, queries[i])) want = std::max(want, k.key);
      }
      EXPECT_EQ(got[i], want) << "round " << round << " query " << i;
    }
  }
}

TEST(ClusterClaims, OverwrittenAmongOverlappingIsThePairwiseAnswer) {
  std::mt19937 rng(83);
  constexpr uint64_t kTick = 2;
  for (int round = 0; round < 400; ++round) {
    const uint32_t owners = 2 + round % 9;
    std::vector<Span> spans = RandomSpans(rng, owners, round % 25);
    std::uniform_int_distribution<uint64_t> time(0, 12);  // 0: not recorded
    std::vector<claims::Times> times(owners);
    for (claims::Times& t : times) t = claims::Times{time(rng), time(rng)};
    const std::vector<bool> got = claims::OverwrittenAmongOverlapping(spans, times, kTick);
    ASSERT_EQ(got.size(), times.size());
    for (uint32_t f = 0; f < owners; ++f) {
      // Overwritten unless its last write (or creation) is known and comes
      // more than a tick after that of every other file it shares a cluster
      // with.
      bool lost = false;
      for (const Span& a : spans) {
        for (const Span& b : spans) {
          if (a.owner != f || b.owner == f || !Overlap(a, b)) continue;
          const claims::Times& mine = times[f];
          const claims::Times& other = times[b.owner];
          const bool known = mine.created != 0 && mine.written != 0 && other.created != 0 && other.written != 0;
          const uint64_t mineLast = std::max(mine.created, mine.written);
          const uint64_t otherLast = std::max(other.created, other.written);
          if (!known || mineLast <= otherLast + kTick) lost = true;
        }
      }
      EXPECT_EQ(got[f], lost) << "round " << round << " file " << f;
    }
  }
}

}  // namespace
