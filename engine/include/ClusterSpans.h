// The clusters a walk along a chain has taken, kept as spans (first -> one
// past the last): real chains are few runs of neighbours, so this stays
// small however long the chain, and a chain that comes back on itself is
// seen at its first repeated cluster.
#pragma once

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
  bool Take(uint64_t cluster) {
    auto after = m_spans.upper_bound(cluster);
    if (after != m_spans.begin()) {
      auto before = std::prev(after);
      if (before->second > cluster) return false;
      if (before->second == cluster) {
        ++before->second;
        return true;
      }
    }
    m_spans.emplace_hint(after, cluster, cluster + 1);
    return true;
  }

 private:
  std::map<uint64_t, uint64_t> m_spans;
};
