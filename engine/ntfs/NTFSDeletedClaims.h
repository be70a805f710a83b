// The clusters the deleted files of one NTFS volume name, gathered as their
// records are read, and which of them the volume contradicts once all are
// known: where two deleted files' runs overlap, the one last written clearly
// later took the clusters last and holds its bytes there; the other was
// written over. Where the times do not say which came last, neither copy is
// vouched for (claims::OverwrittenAmongOverlapping).
//
// A record found twice (the same times and runs, as a copy of a table can
// hold) is one file: it does not overlap itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "ClusterClaims.h"

class CNTFSFileProperties;

class CNTFSDeletedClaims {
 public:
  // The deleted file `properties` describe: its index, or -1 when its runs
  // name no cluster (resident data, holes only, nothing).
  int64_t Add(CNTFSFileProperties& properties);
  // Per index Add gave: whether the file's copy cannot be vouched for.
  std::vector<bool> Judge() const;
  size_t Size() const { return m_times.size(); }

 private:
  using Extent = std::pair<uint64_t, uint64_t>;  // first cluster, one past the last
  std::vector<claims::Times> m_times;
  std::vector<claims::Span> m_spans;
  std::map<std::tuple<uint64_t, uint64_t, std::vector<Extent>>, uint32_t> m_known;
};
