#include "ClusterClaims.h"

#include <algorithm>
#include <numeric>
#include <queue>
#include <set>
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

std::vector<uint64_t> LargestOverlappingKey(std::vector<Span> keys, const std::vector<Span>& queries) {
  std::vector<uint64_t> out(queries.size(), kNoOverlap);
  JoinByOwner(keys);
  if (keys.empty() || queries.empty()) return out;
  std::sort(keys.begin(), keys.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  const size_t n = keys.size();

  // Keys that start inside a query, past its first cluster: a range of the
  // keys in first-cluster order, whose largest key a bottom-up tree gives.
  std::vector<uint64_t> firsts(n);
  std::vector<uint64_t> tree(2 * n, kNoOverlap);
  for (size_t i = 0; i < n; ++i) {
    firsts[i] = keys[i].first;
    tree[n + i] = keys[i].key;
  }
  for (size_t i = n - 1; i > 0; --i) tree[i] = std::max(tree[2 * i], tree[2 * i + 1]);
  auto largestIn = [&](size_t lo, size_t hi) {
    uint64_t best = kNoOverlap;
    for (lo += n, hi += n; lo < hi; lo >>= 1, hi >>= 1) {
      if ((lo & 1) != 0) best = std::max(best, tree[lo++]);
      if ((hi & 1) != 0) best = std::max(best, tree[--hi]);
    }
    return best;
  };
  for (size_t q = 0; q < queries.size(); ++q) {
    const Span& s = queries[q];
    if (s.first >= s.end) continue;
    const auto lo = static_cast<size_t>(std::upper_bound(firsts.begin(), firsts.end(), s.first) - firsts.begin());
    const auto hi = static_cast<size_t>(std::lower_bound(firsts.begin(), firsts.end(), s.end) - firsts.begin());
    if (lo < hi) out[q] = largestIn(lo, hi);
  }

  // Keys that start at or before a query's first cluster and reach past it:
  // the queries in first-cluster order, with the keys met so far that have
  // not ended yet. An owner's joined spans do not overlap, so at most one of
  // the query's own is among them.
  std::vector<size_t> order(queries.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return queries[a].first < queries[b].first; });
  using Active = std::multiset<std::pair<uint64_t, uint32_t>>;  // key, owner
  Active active;
  using End = std::pair<uint64_t, Active::iterator>;
  auto sooner = [](const End& a, const End& b) { return a.first > b.first; };
  std::priority_queue<End, std::vector<End>, decltype(sooner)> ends(sooner);
  size_t next = 0;
  for (const size_t q : order) {
    const Span& s = queries[q];
    if (s.first >= s.end) continue;
    for (; next < n && keys[next].first <= s.first; ++next) {
      ends.emplace(keys[next].end, active.emplace(keys[next].key, keys[next].owner));
    }
    while (!ends.empty() && ends.top().first <= s.first) {
      active.erase(ends.top().second);
      ends.pop();
    }
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
      if (it->second != s.owner) {
        out[q] = std::max(out[q], it->first);
        break;
      }
    }
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

}  // namespace claims
