#include "ClusterClaims.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
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

}  // namespace claims
