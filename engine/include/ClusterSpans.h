// The clusters a walk along a chain has taken, kept as spans (first -> one
// past the last): real chains are few runs of neighbours, so this stays
// small however long the chain, and a chain that comes back on itself is
// seen at its first repeated cluster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>

class ClusterSpans {
 public:
  bool Has(uint64_t cluster) const {
    auto after = m_spans.upper_bound(cluster);
    return after != m_spans.begin() && std::prev(after)->second > cluster;
  }
  // Takes `cluster`; false, taking nothing, when it was taken before.
  bool Take(uint64_t cluster) { return TakeRange(cluster, cluster); }
  // Takes clusters first..last (inclusive); false, taking nothing, when one
  // of them was taken before (or `last` is below `first`). Spans that touch
  // are joined, so that a file of millions of contiguous clusters costs one.
  bool TakeRange(uint64_t first, uint64_t last) {
    if (last < first) return false;
    auto after = m_spans.upper_bound(last);
    if (after != m_spans.begin() && std::prev(after)->second > first) return false;
    uint64_t end = last + 1;
    if (after != m_spans.end() && after->first == end) {
      end = after->second;
      after = m_spans.erase(after);
    }
    if (after != m_spans.begin()) {
      auto before = std::prev(after);
      if (before->second == first) {
        before->second = end;
        return true;
      }
    }
    m_spans.emplace_hint(after, first, end);
    return true;
  }
  size_t SpanCount() const { return m_spans.size(); }

 private:
  std::map<uint64_t, uint64_t> m_spans;
};
