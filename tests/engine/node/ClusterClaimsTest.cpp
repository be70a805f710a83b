// The sweeps over claimed clusters, and the rules that judge a volume's
// files by them, against the plain pairwise answer, on random spans crowded
// into few clusters: equal starts, touching and nested spans, an owner's own
// spans meeting, walks that wrap, times equal or a tick apart, heads and
// ends present, missing or unknown.
#include "ClusterClaims.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

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

// A volume of 40 clusters crowded with live, deleted and orphaned entries.
struct Volume {
  std::vector<claims::Claim> claims;
  std::vector<Span> runs;
  std::vector<Span> held;
  std::vector<claims::Head> heads;
  std::vector<claims::Head> tails;
};
constexpr claims::Volume kVolume{2, 42};

Volume RandomVolume(std::mt19937& rng) {
  auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
  Volume v;
  const size_t count = pick(1, 11);
  for (size_t i = 0; i < count; ++i) {
    claims::Claim c;
    const uint64_t kind = pick(0, 9);
    c.erased = kind < 6;
    c.live = kind >= 6 && kind < 9;
    c.folder = !c.erased && pick(0, 4) == 0;
    c.walked = pick(0, 3) != 0;
    c.first = pick(kVolume.first, kVolume.end - 1);
    c.times = claims::Times{pick(0, 19) == 0 ? 0 : pick(1, 12), pick(1, 12)};
    c.runsAt = v.runs.size();
    if (!c.folder) {
      // A walk from the first cluster on, passing over some clusters, and
      // going on at the volume's start past its end.
      uint64_t at = c.first;
      bool wrapped = false;
      for (uint64_t left = pick(1, 9); left > 0 && !(wrapped && at >= c.first);) {
        const uint64_t length = std::min<uint64_t>({pick(1, 4), left, kVolume.end - at});
        v.runs.push_back(Span{at, at + length, static_cast<uint32_t>(i), 1});
        left -= length;
        at += length + (pick(0, 2) == 0 ? pick(1, 3) : 0);
        if (at >= kVolume.end) {
          if (wrapped) break;
          wrapped = true;
          at = kVolume.first + pick(0, 3);
        }
      }
      c.runCount = v.runs.size() - c.runsAt;
    }
    if (!c.erased) {
      const uint64_t key = claims::TakenBy(c.times);
      if (c.folder) {
        v.held.push_back(Span{c.first, c.first + 1, static_cast<uint32_t>(i), key});
        if (c.first + 1 < kVolume.end)
          v.held.push_back(Span{c.first + 1, c.first + 2, static_cast<uint32_t>(i), claims::kUnknownTime});
      } else {
        for (size_t k = 0; k < c.runCount; ++k) {
          Span held = v.runs[c.runsAt + k];
          held.key = key;
          v.held.push_back(held);
        }
      }
    }
    v.claims.push_back(c);
    v.heads.push_back(static_cast<claims::Head>(pick(0, 2)));
    v.tails.push_back(static_cast<claims::Head>(pick(0, 2)));
  }
  for (uint64_t k = pick(0, 2); k > 0; --k) {
    const uint64_t first = pick(kVolume.first, kVolume.end - 3);
    v.held.push_back(Span{first, first + pick(1, 2), claims::kVolumeOwner, pick(0, 1) == 0 ? 1 : claims::kUnknownTime});
  }
  return v;
}

// The rules of ClusterClaims.h, file by file and cluster by cluster.
std::vector<uint16_t> PairwiseJudgement(const Volume& v, uint64_t tick) {
  const std::vector<claims::Claim>& c = v.claims;
  auto runsOf = [&](size_t i) {
    return std::vector<Span>(v.runs.begin() + c[i].runsAt, v.runs.begin() + c[i].runsAt + c[i].runCount);
  };
  auto covers = [&](size_t i, uint64_t cluster) {
    for (const Span& r : runsOf(i)) {
      if (r.first <= cluster && cluster < r.end) return true;
    }
    return false;
  };
  auto isFile = [&](size_t i) { return !c[i].folder && c[i].runCount > 0; };
  auto erased = [&](size_t i) { return c[i].erased && isFile(i); };
  auto taken = [&](size_t i) { return claims::TakenBy(c[i].times); };
  auto after = [&](uint64_t later, uint64_t earlier) { return claims::ClearlyAfter(later, earlier, tick); };
  std::vector<uint16_t> out(c.size(), 0);
  for (size_t i = 0; i < c.size(); ++i) {
    if (c[i].live && isFile(i)) {
      for (const Span& r : runsOf(i)) {
        for (const Span& h : v.held) {
          const bool liveHolder = h.owner == claims::kVolumeOwner || (h.owner != i && c[h.owner].live);
          if (liveHolder && Overlap(r, h)) out[i] |= claims::kCrossLinked;
        }
      }
    }
    if (c[i].erased && c[i].walked && isFile(i)) {
      const std::vector<Span> walk = runsOf(i);
      std::vector<Span> gaps;
      for (size_t k = 1; k < walk.size(); ++k) {
        if (walk[k].first > walk[k - 1].end) {
          gaps.push_back(Span{walk[k - 1].end, walk[k].first, 0, 1});
        } else if (walk[k].first < walk[k - 1].first) {
          gaps.push_back(Span{walk[k - 1].end, kVolume.end, 0, 1});
          gaps.push_back(Span{kVolume.first, walk[k].first, 0, 1});
        }
      }
      uint16_t around = 0;
      for (const Span& g : gaps) {
        uint64_t latest = claims::kNoOverlap;
        bool held = true;
        for (uint64_t cluster = g.first; cluster < g.end; ++cluster) {
          bool any = false;
          for (const Span& h : v.held) {
            if (h.first <= cluster && cluster < h.end) {
              any = true;
              latest = std::max(latest, h.key);
            }
          }
          held = held && any;
        }
        if (g.first >= g.end) continue;
        if (!held) {
          around |= claims::kAroundUnheld;
        } else if (!after(c[i].times.written, latest)) {
          around |= latest != claims::kUnknownTime && after(latest, c[i].times.written) ? claims::kAroundNewer
                                                                                        : claims::kAroundUntold;
        }
      }
      if (v.tails[i] != claims::Head::kPresent) out[i] |= around;
    }
  }
  for (size_t i = 0; i < c.size(); ++i) {
    if (!erased(i)) continue;
    std::vector<size_t> naming;  // the others whose runs name its first cluster
    for (size_t j = 0; j < c.size(); ++j) {
      if (j != i && erased(j) && covers(j, c[i].first)) naming.push_back(j);
    }
    if (!naming.empty()) {
      if (v.heads[i] == claims::Head::kMissing) out[i] |= claims::kHeadMissing;
      // Its head stands for it unless its end says it breaks up.
      const bool head = v.heads[i] == claims::Head::kPresent && v.tails[i] != claims::Head::kMissing;
      uint64_t latest = claims::kNoOverlap;
      for (size_t j : naming) {
        if (!head || c[j].first == c[i].first) latest = std::max(latest, taken(j));
      }
      if (latest != claims::kNoOverlap && !after(taken(i), latest)) out[i] |= claims::kStartTaken;
    }
    for (size_t j = 0; j < c.size(); ++j) {
      if (j == i || !erased(j) || c[j].first == c[i].first || !covers(i, c[j].first)) continue;
      uint64_t newest = taken(j);
      for (size_t z = 0; z < c.size(); ++z) {
        if (z != i && z != j && erased(z) && covers(z, c[j].first)) newest = std::max(newest, taken(z));
      }
      if (v.heads[j] == claims::Head::kPresent || (c[i].walked && v.tails[i] != claims::Head::kPresent) ||
          !after(taken(i), newest)) {
        out[i] |= claims::kReachesOther;
      }
    }
    // Where the volume places one of two deleted files whose runs name a
    // cluster, the later holds it; a placed file in one piece is left to the
    // rules above against walks.
    for (size_t j = 0; j < c.size(); ++j) {
      if (j == i || !erased(j)) continue;
      const bool held = !c[j].walked || (!c[i].walked && c[i].runCount > 1);
      bool meet = false;
      for (const Span& r : runsOf(i)) {
        for (const Span& o : runsOf(j)) meet = meet || Overlap(r, o);
      }
      if (held && meet && !after(taken(i), taken(j))) out[i] |= claims::kMeetsPlaced;
    }
  }
  return out;
}

// Two deleted files the volume places (a chain still in the table, a
// contiguous file's flag) that meet away from their first clusters: the
// chain's second piece lies in the middle of the contiguous file. The later
// holds the clusters, whatever heads say; a walk over a file in pieces is
// held against it too.
TEST(ClusterClaims, FilesTheVolumePlacesMeetWhereverTheirRunsDo) {
  const std::vector<Span> runs{{10, 12, 0, 1}, {50, 53, 0, 1}, {45, 60, 1, 1}};
  claims::Claim chain{10, claims::Times{100, 100}, false, false, true, false, 0, 2};
  claims::Claim flat{45, claims::Times{200, 200}, false, false, true, false, 2, 1};
  claims::Evidence present;
  present.head = [](size_t) { return claims::Head::kPresent; };
  present.tail = [](size_t) { return claims::Head::kUnknown; };
  claims::Claim older = flat;
  older.times = claims::Times{50, 50};
  // The newer one a walk over the chain's second piece, or the chain the
  // newer one.
  claims::Claim walk = flat;
  walk.walked = true;
  claims::Claim newer = chain;
  newer.times = claims::Times{300, 300};
  struct Case {
    claims::Claim first, second;
    std::vector<uint16_t> want;
  };
  for (const Case& c : {Case{chain, flat, {claims::kMeetsPlaced, 0}}, Case{chain, older, {0, claims::kMeetsPlaced}},
                        Case{chain, walk, {claims::kMeetsPlaced, 0}}, Case{newer, walk, {0, claims::kMeetsPlaced}}}) {
    for (const claims::Evidence& evidence : {claims::Evidence{}, present}) {
      EXPECT_EQ(claims::JudgeClaims({c.first, c.second}, runs, {}, kVolume, 1, evidence), c.want);
    }
  }
  // A photo whose head is at its first cluster, in the middle of a newer
  // contiguous file: the newer file's bytes are there.
  const std::vector<Span> inside{{20, 24, 0, 1}, {16, 30, 1, 1}};
  claims::Claim photo{20, claims::Times{100, 100}, false, false, true, true, 0, 1};
  claims::Claim clip{16, claims::Times{200, 200}, false, false, true, false, 1, 1};
  const std::vector<uint16_t> judged = claims::JudgeClaims({photo, clip}, inside, {}, kVolume, 1, present);
  EXPECT_NE(judged[0] & claims::kMeetsPlaced, 0);
  EXPECT_NE(judged[1] & claims::kReachesOther, 0);  // and the head says the clip is not there either
}

TEST(ClusterClaims, JudgeClaimsIsThePairwiseJudgement) {
  std::mt19937 rng(87);
  for (int round = 0; round < 3000; ++round) {
    const Volume v = RandomVolume(rng);
    const uint64_t tick = round % 3;
    std::vector<int> headAsked(v.claims.size(), 0);
    claims::Evidence evidence;
    evidence.head = [&](size_t i) {
      ++headAsked[i];
      return v.heads[i];
    };
    evidence.tail = [&](size_t i) { return v.tails[i]; };
    const std::vector<uint16_t> got = claims::JudgeClaims(v.claims, v.runs, v.held, kVolume, tick, evidence);
    const std::vector<uint16_t> want = PairwiseJudgement(v, tick);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i], want[i]) << "round " << round << " file " << i;
      EXPECT_LE(headAsked[i], 1) << "round " << round << " file " << i;
      if (!v.claims[i].erased) {
        EXPECT_EQ(headAsked[i], 0) << "round " << round << " file " << i;
      }
    }
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
