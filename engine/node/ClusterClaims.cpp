#include "ClusterClaims.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <numeric>
#include <queue>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace claims {

void JoinByOwner(std::vector<Span>& spans) {
  std::erase_if(spans, [](const Span& s) { return s.first >= s.end; });
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.owner != b.owner ? a.owner < b.owner : a.first < b.first; });
  size_t kept = 0;
  for (const Span& s : spans) {
    Span* last = kept > 0 ? &spans[kept - 1] : nullptr;
    if (last != nullptr && last->owner == s.owner && s.first < last->end) {
      last->end = std::max(last->end, s.end);
      last->key = std::max(last->key, s.key);
    } else {
      spans[kept++] = s;
    }
  }
  spans.resize(kept);
}

namespace {

// JoinByOwner's joins, left in first-cluster order (one sort instead of
// two): each span that meets an earlier one of its owner's still open goes
// into that one. Owners are looked up in a table up to a few times the
// number of spans, beyond in a map.
void JoinInFirstOrder(std::vector<Span>& spans) {
  std::erase_if(spans, [](const Span& s) { return s.first >= s.end; });
  auto byFirst = [](const Span& a, const Span& b) { return a.first < b.first; };
  if (!std::is_sorted(spans.begin(), spans.end(), byFirst)) std::sort(spans.begin(), spans.end(), byFirst);
  constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> dense(std::min<size_t>(spans.size() * 4 + 1024, kNoOwner), kNone);
  std::unordered_map<uint32_t, size_t> sparse;
  size_t kept = 0;
  for (const Span& s : spans) {
    size_t& open = s.owner < dense.size() ? dense[s.owner] : sparse.try_emplace(s.owner, kNone).first->second;
    if (open != kNone && s.first < spans[open].end) {
      spans[open].end = std::max(spans[open].end, s.end);
      spans[open].key = std::max(spans[open].key, s.key);
      continue;
    }
    open = kept;
    spans[kept++] = s;
  }
  spans.resize(kept);
}

}  // namespace

std::vector<uint64_t> LargestOverlappingKey(std::vector<Span> keys, const std::vector<Span>& queries) {
  std::vector<uint64_t> out(queries.size(), kNoOverlap);
  JoinInFirstOrder(keys);
  if (keys.empty() || queries.empty()) return out;
  const size_t n = keys.size();

  // Keys that start inside a query, past its first cluster: a range of the
  // keys in first-cluster order, found from where the sweep below stands
  // (short ranges are the rule: a query's span is a few clusters), whose
  // largest key a bottom-up tree gives when the range is long.
  std::vector<uint64_t> firsts(n);
  std::vector<uint64_t> tree(2 * n, kNoOverlap);
  for (size_t i = 0; i < n; ++i) {
    firsts[i] = keys[i].first;
    tree[n + i] = keys[i].key;
  }
  for (size_t i = n - 1; i > 0; --i) tree[i] = std::max(tree[2 * i], tree[2 * i + 1]);
  auto largestIn = [&](size_t lo, size_t hi) {
    uint64_t best = kNoOverlap;
    if (hi - lo <= 16) {
      for (; lo < hi; ++lo) best = std::max(best, keys[lo].key);
      return best;
    }
    for (lo += n, hi += n; lo < hi; lo >>= 1, hi >>= 1) {
      if ((lo & 1) != 0) best = std::max(best, tree[lo++]);
      if ((hi & 1) != 0) best = std::max(best, tree[--hi]);
    }
    return best;
  };

  // Keys that start at or before a query's first cluster and reach past it:
  // the queries in first-cluster order, with the keys met so far in a heap
  // by key, those that have ended taken off when they reach its top (a key
  // that ends before one query's first cluster ends before every later
  // one's). An owner's joined spans do not overlap, so at most one of the
  // query's own is among the live keys: set aside while the top is read.
  std::vector<size_t> order(queries.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return queries[a].first < queries[b].first; });
  struct Live {
    uint64_t key;
    uint64_t end;
    uint32_t owner;
    bool operator<(const Live& other) const { return key < other.key; }
  };
  std::vector<Live> heap;
  auto dropEnded = [&](uint64_t at) {
    while (!heap.empty() && heap.front().end <= at) {
      std::pop_heap(heap.begin(), heap.end());
      heap.pop_back();
    }
  };
  size_t next = 0;  // the keys before it start at or before the query's first cluster
  for (const size_t q : order) {
    const Span& s = queries[q];
    if (s.first >= s.end) continue;
    for (; next < n && keys[next].first <= s.first; ++next) {
      heap.push_back(Live{keys[next].key, keys[next].end, keys[next].owner});
      std::push_heap(heap.begin(), heap.end());
    }
    // The keys from `next` on that start before the query's end, by steps
    // that double, then halving.
    size_t below = next;
    size_t above = next;
    for (size_t step = 1; above < n && firsts[above] < s.end; step <<= 1) {
      below = above + 1;
      above = step < n - above ? above + step : n;
    }
    const auto hi = static_cast<size_t>(std::lower_bound(firsts.begin() + static_cast<std::ptrdiff_t>(below),
                                                         firsts.begin() + static_cast<std::ptrdiff_t>(above), s.end) -
                                        firsts.begin());
    if (next < hi) out[q] = largestIn(next, hi);

    dropEnded(s.first);
    if (heap.empty()) continue;
    if (heap.front().owner != s.owner) {
      out[q] = std::max(out[q], heap.front().key);
      continue;
    }
    const Live own = heap.front();
    std::pop_heap(heap.begin(), heap.end());
    heap.pop_back();
    dropEnded(s.first);
    if (!heap.empty()) out[q] = std::max(out[q], heap.front().key);
    heap.push_back(own);
    std::push_heap(heap.begin(), heap.end());
  }
  return out;
}

uint64_t TakenBy(const Times& times) {
  if (times.created == 0 || times.written == 0) return kUnknownTime;
  return std::max(times.created, times.written);
}

bool ClearlyAfter(uint64_t later, uint64_t earlier, uint64_t tick) {
  if (later == 0 || later == kUnknownTime || earlier == kUnknownTime || earlier > kUnknownTime - tick) return false;
  return later > earlier + tick;
}

std::vector<bool> OverwrittenAmongOverlapping(std::vector<Span> spans, const std::vector<Times>& times, uint64_t tick) {
  std::vector<bool> out(times.size(), false);
  std::erase_if(spans, [&](const Span& s) { return s.owner >= times.size(); });
  for (Span& s : spans) s.key = TakenBy(times[s.owner]);
  JoinByOwner(spans);
  const std::vector<uint64_t> largest = LargestOverlappingKey(spans, spans);
  for (size_t i = 0; i < spans.size(); ++i) {
    if (largest[i] == kNoOverlap) continue;
    const uint32_t owner = spans[i].owner;
    if (!ClearlyAfter(TakenBy(times[owner]), largest[i], tick)) out[owner] = true;
  }
  return out;
}

namespace {

// The clusters spans in first-cluster order cover, for "is all of this span
// covered" questions.
class Coverage {
 public:
  explicit Coverage(const std::vector<Span>& spans) {
    for (const Span& s : spans) {
      if (s.first >= s.end) continue;
      if (!m_spans.empty() && s.first <= m_spans.back().second) {
        m_spans.back().second = std::max(m_spans.back().second, s.end);
      } else {
        m_spans.emplace_back(s.first, s.end);
      }
    }
  }
  bool Covers(uint64_t first, uint64_t end) const {
    auto after = std::upper_bound(m_spans.begin(), m_spans.end(), first,
                                  [](uint64_t c, const std::pair<uint64_t, uint64_t>& s) { return c < s.first; });
    return after != m_spans.begin() && std::prev(after)->second >= end;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> m_spans;
};

}  // namespace

namespace {

// The files that name each of a set of clusters, the two newest first (one
// span per owner at any cluster: JoinByOwner): enough to name the newest
// that is not a given file.
struct Namers {
  struct One {
    uint64_t key = kNoOverlap;
    uint32_t owner = kNoOwner;
  };
  std::array<One, 2> top;
  // The newest key among them that is not `owner`'s.
  uint64_t NewestBut(uint32_t owner) const {
    for (const One& one : top) {
      if (one.key != kNoOverlap && one.owner != owner) return one.key;
    }
    return kNoOverlap;
  }
};

// For each cluster of `at` (sorted), the spans of `spans` that cover it.
std::vector<Namers> NamersAt(std::vector<Span> spans, const std::vector<uint64_t>& at) {
  JoinByOwner(spans);
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  std::vector<Namers> out(at.size());
  // An owner's spans that only touch stay apart: one may end where the next
  // begins.
  std::multiset<std::pair<uint64_t, uint32_t>> live;        // key, owner
  using Ending = std::tuple<uint64_t, uint64_t, uint32_t>;  // end, key, owner
  std::priority_queue<Ending, std::vector<Ending>, std::greater<>> ending;
  size_t next = 0;
  for (size_t i = 0; i < at.size(); ++i) {
    for (; next < spans.size() && spans[next].first <= at[i]; ++next) {
      live.emplace(spans[next].key, spans[next].owner);
      ending.emplace(spans[next].end, spans[next].key, spans[next].owner);
    }
    while (!ending.empty() && std::get<0>(ending.top()) <= at[i]) {
      live.erase(live.find({std::get<1>(ending.top()), std::get<2>(ending.top())}));
      ending.pop();
    }
    size_t k = 0;
    for (auto it = live.rbegin(); it != live.rend() && k < out[i].top.size(); ++it) {
      if (k > 0 && out[i].top[k - 1].owner == it->second) continue;
      out[i].top[k++] = {it->first, it->second};
    }
  }
  return out;
}

// Pairs of a walk and a first cluster it reaches, looked at one by one up to
// this many for a volume; past it, a walk that reaches one is not vouched for.
constexpr size_t kReachBudget = size_t{1} << 22;

}  // namespace

std::vector<uint16_t> JudgeClaims(const std::vector<Claim>& claims, const std::vector<Span>& runs,
                                  std::vector<Span> held, const Volume& volume, uint64_t tick,
                                  const Evidence& evidence) {
  std::vector<uint16_t> reasons(claims.size(), 0);
  // In first-cluster order once, for every question asked of the chains.
  std::sort(held.begin(), held.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  auto runsOf = [&](const Claim& c) {
    if (c.runsAt > runs.size() || c.runCount > runs.size() - c.runsAt) return std::span<const Span>();
    return std::span<const Span>(runs.data() + c.runsAt, c.runCount);
  };
  auto isFile = [&](const Claim& c) { return !c.folder && !runsOf(c).empty(); };
  auto owned = [](Span s, size_t owner, uint64_t key) {
    s.owner = static_cast<uint32_t>(owner);
    s.key = key;
    return s;
  };
  // What the volume's bytes say, each asked once and only of the files that
  // meet others: a file of no other's concern keeps its copy whatever its
  // name says it is.
  std::vector<int8_t> heads(claims.size(), -1);
  auto headOf = [&](size_t i) {
    if (heads[i] < 0) {
      heads[i] = static_cast<int8_t>(evidence.head ? evidence.head(i) : Head::kUnknown);
      if (static_cast<Head>(heads[i]) == Head::kMissing) reasons[i] |= kHeadMissing;
    }
    return static_cast<Head>(heads[i]);
  };
  std::vector<int8_t> tails(claims.size(), -1);
  auto tailOf = [&](size_t i) {
    if (tails[i] < 0) tails[i] = static_cast<int8_t>(evidence.tail ? evidence.tail(i) : Head::kUnknown);
    return static_cast<Head>(tails[i]);
  };
  auto tailPresent = [&](size_t i) { return tailOf(i) == Head::kPresent; };

  // Live files whose runs reach another live entry's chain (or the volume's).
  {
    std::vector<Span> keys;
    for (const Span& s : held) {
      if (s.owner == kVolumeOwner || (s.owner < claims.size() && claims[s.owner].live)) {
        keys.push_back(Span{s.first, s.end, s.owner, 1});
      }
    }
    std::vector<Span> queries;
    for (size_t i = 0; i < claims.size(); ++i) {
      if (!claims[i].live || !isFile(claims[i])) continue;
      for (const Span& run : runsOf(claims[i])) queries.push_back(owned(run, i, 1));
    }
    const std::vector<uint64_t> hit = LargestOverlappingKey(std::move(keys), queries);
    for (size_t i = 0; i < queries.size(); ++i) {
      if (hit[i] != kNoOverlap) reasons[queries[i].owner] |= kCrossLinked;
    }
  }

  // Deleted files' walks over clusters that chains hold: the gaps between
  // their runs, and across the volume's end where a walk wrapped.
  {
    std::vector<Span> gaps;
    for (size_t i = 0; i < claims.size(); ++i) {
      const Claim& c = claims[i];
      if (!c.erased || !c.walked || !isFile(c)) continue;
      const std::span<const Span> walk = runsOf(c);
      for (size_t k = 1; k < walk.size(); ++k) {
        const uint64_t from = walk[k - 1].end;
        const uint64_t to = walk[k].first;
        if (to > from) {
          gaps.push_back(Span{from, to, static_cast<uint32_t>(i), 1});
        } else if (to < walk[k - 1].first) {
          if (from < volume.end) gaps.push_back(Span{from, volume.end, static_cast<uint32_t>(i), 1});
          if (to > volume.first) gaps.push_back(Span{volume.first, to, static_cast<uint32_t>(i), 1});
        }
      }
    }
    const Coverage covered(held);
    std::vector<Span> queries = gaps;
    for (Span& q : queries) q.owner = kNoOwner;
    const std::vector<uint64_t> latest = LargestOverlappingKey(held, queries);
    for (size_t i = 0; i < gaps.size(); ++i) {
      const Claim& c = claims[gaps[i].owner];
      if (!covered.Covers(gaps[i].first, gaps[i].end)) {
        reasons[gaps[i].owner] |= kAroundUnheld;
      } else if (!ClearlyAfter(c.times.written, latest[i], tick)) {
        const bool newer = latest[i] != kUnknownTime && ClearlyAfter(latest[i], c.times.written, tick);
        reasons[gaps[i].owner] |= newer ? kAroundNewer : kAroundUntold;
      }
    }
    // A walk that ends where its file ends passed over no cluster of its own.
    for (size_t i = 0; i < claims.size(); ++i) {
      constexpr uint16_t kAround = kAroundNewer | kAroundUntold | kAroundUnheld;
      if ((reasons[i] & kAround) != 0 && tailPresent(i)) reasons[i] &= static_cast<uint16_t>(~kAround);
    }
  }

  // Deleted files that meet: first clusters in other deleted files' runs.
  {
    struct Start {
      uint64_t cluster;
      uint32_t owner;
    };
    std::vector<Start> starts;
    std::vector<Span> starting;  // the files that start at a cluster, keyed by when they took it
    std::vector<Span> erasedRuns;
    for (size_t i = 0; i < claims.size(); ++i) {
      const Claim& c = claims[i];
      if (!c.erased || !isFile(c)) continue;
      const uint64_t taken = TakenBy(c.times);
      starts.push_back(Start{c.first, static_cast<uint32_t>(i)});
      starting.push_back(Span{c.first, c.first + 1, static_cast<uint32_t>(i), taken});
      for (const Span& run : runsOf(c)) erasedRuns.push_back(owned(run, i, taken));
    }
    std::sort(starts.begin(), starts.end(), [](const Start& a, const Start& b) {
      return a.cluster != b.cluster ? a.cluster < b.cluster : a.owner < b.owner;
    });
    std::vector<uint64_t> at(starts.size());
    for (size_t k = 0; k < starts.size(); ++k) at[k] = starts[k].cluster;
    const std::vector<Namers> named = NamersAt(std::move(erasedRuns), at);
    const std::vector<Namers> namedStarting = NamersAt(std::move(starting), at);

    // Of the files that name a first cluster, the one written clearly last
    // holds it; a head there leaves only those that start there too.
    for (size_t k = 0; k < starts.size(); ++k) {
      const uint32_t owner = starts[k].owner;
      if (named[k].NewestBut(owner) == kNoOverlap) continue;
      // Its head counts where the rest of it does not say otherwise (a
      // JPEG whose data breaks up is no longer all there).
      const bool head = headOf(owner) == Head::kPresent && tailOf(owner) != Head::kMissing;
      const Namers& against = head ? namedStarting[k] : named[k];
      const uint64_t newest = against.NewestBut(owner);
      if (newest != kNoOverlap && !ClearlyAfter(TakenBy(claims[owner].times), newest, tick)) {
        reasons[owner] |= kStartTaken;
      }
    }

    // Walks that reach other files' first clusters past their own.
    size_t budget = kReachBudget;
    for (size_t i = 0; i < claims.size(); ++i) {
      const Claim& c = claims[i];
      if (!c.erased || !isFile(c)) continue;
      const auto self = static_cast<uint32_t>(i);
      bool fails = false;
      for (const Span& run : runsOf(c)) {
        auto k = static_cast<size_t>(std::lower_bound(at.begin(), at.end(), run.first) - at.begin());
        for (; k < at.size() && at[k] < run.end && !fails; ++k) {
          const uint32_t other = starts[k].owner;
          if (at[k] == c.first) {
            // The files that start with it (itself among them), passed over
            // at once: however many there are, each walk costs only the
            // first clusters it reaches.
            k = static_cast<size_t>(std::upper_bound(at.begin() + static_cast<std::ptrdiff_t>(k), at.end(), c.first) -
                                    at.begin()) -
                1;
            continue;
          }
          if (budget == 0) {
            fails = true;
            break;
          }
          --budget;
          // Its head there: this file is not. Otherwise this file was
          // written over the other, not around it, only where its own end
          // says its walk is right (a walk) and it is the newest of all that
          // name the cluster (the other among them).
          fails = headOf(other) == Head::kPresent || (c.walked && !tailPresent(i)) ||
                  !ClearlyAfter(TakenBy(c.times), named[k].NewestBut(self), tick);
        }
        if (fails) break;
      }
      if (fails) reasons[i] |= kReachesOther;
    }
  }

  // Deleted files the volume places: they lay where it says at every
  // cluster, and a chain meets another file's clusters anywhere, not only
  // at a first cluster. Of two deleted files whose runs name a cluster, one
  // of them placed, the one that took its clusters clearly later holds it,
  // whatever heads say: if the placed file is the later, its bytes are
  // there. A placed file in one piece meets a walk only where one of them
  // starts inside the other (the rules above decide the walk there, by the
  // placed file's head too); one in pieces is held against walks as well.
  {
    std::vector<Span> placed;     // keyed by when they were taken
    std::vector<Span> walks;      // likewise
    std::vector<Span> anyRuns;    // asked of the placed ones
    std::vector<Span> pieceRuns;  // those of placed files in pieces, asked of the walks
    for (size_t i = 0; i < claims.size(); ++i) {
      const Claim& c = claims[i];
      if (!c.erased || !isFile(c)) continue;
      const uint64_t taken = TakenBy(c.times);
      const std::span<const Span> own = runsOf(c);
      for (const Span& run : own) {
        const Span r = owned(run, i, taken);
        (c.walked ? walks : placed).push_back(r);
        anyRuns.push_back(r);
        if (!c.walked && own.size() > 1) pieceRuns.push_back(r);
      }
    }
    auto judge = [&](std::vector<Span> keys, const std::vector<Span>& queries) {
      const std::vector<uint64_t> latest = LargestOverlappingKey(std::move(keys), queries);
      for (size_t q = 0; q < queries.size(); ++q) {
        const uint32_t owner = queries[q].owner;
        if (latest[q] != kNoOverlap && !ClearlyAfter(TakenBy(claims[owner].times), latest[q], tick)) {
          reasons[owner] |= kMeetsPlaced;
        }
      }
    };
    if (!placed.empty()) {
      judge(std::move(placed), anyRuns);
      if (!pieceRuns.empty()) judge(std::move(walks), pieceRuns);
    }
  }
  return reasons;
}

Verdicts CountReasons(const std::vector<uint16_t>& reasons) {
  Verdicts v;
  for (const uint16_t r : reasons) {
    v.crossLinked += (r & kCrossLinked) != 0;
    v.aroundNewer += (r & kAroundNewer) != 0;
    v.aroundUntold += (r & (kAroundNewer | kAroundUntold)) == kAroundUntold;
    v.aroundUnheld += (r & (kAroundNewer | kAroundUntold | kAroundUnheld)) == kAroundUnheld;
    v.startTaken += (r & kStartTaken) != 0;
    v.reachesOther += (r & kReachesOther) != 0;
    v.headMissing += (r & kHeadMissing) != 0;
    v.meetsPlaced += (r & kMeetsPlaced) != 0;
  }
  return v;
}

void PrintVerdicts(const char* system, const Verdicts& v) {
  if (v.marked == 0) return;
  std::printf(
      "%s claims: %llu cross-linked, %llu written around newer files, %llu around files of untold times, "
      "%llu around clusters no entry holds, %llu first clusters taken, %llu reaching others' first clusters, "
      "%llu without their heads, %llu meeting files the volume places\n",
      system, static_cast<unsigned long long>(v.crossLinked), static_cast<unsigned long long>(v.aroundNewer),
      static_cast<unsigned long long>(v.aroundUntold), static_cast<unsigned long long>(v.aroundUnheld),
      static_cast<unsigned long long>(v.startTaken), static_cast<unsigned long long>(v.reachesOther),
      static_cast<unsigned long long>(v.headMissing), static_cast<unsigned long long>(v.meetsPlaced));
}

}  // namespace claims
