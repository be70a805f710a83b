#include "ntfs/SearchedNTFSPartitionInfo.h"

#include <algorithm>

#include "EngineTypes.h"

CSearchedNTFSPartitionInfo::CSearchedNTFSPartitionInfo(uint32_t sectorSize) : CSearchedPartitionInfo(sectorSize) {
  SetFileSystemType(FILE_SYSTEM_TYPE_NTFS);
}

void CSearchedNTFSPartitionInfo::SetClusterCount(int64_t clusters) {
  m_clusterCount = clusters;
  SetTotalSectors(clusters > 0 ? static_cast<uint64_t>(clusters) * GetSectorsperCluster() : 0);
}

uint64_t CSearchedNTFSPartitionInfo::CalcFileSystemReliabilityScore() const {
  using namespace ntfs_evidence;
  static constexpr struct {
    uint32_t flag;
    uint64_t points;
  } kPoints[] = {{kBootSector, 30},  {kBackupBootSector, 10}, {kMFTWithMirror, 30},    {kMFTAlone, 10},
                 {kMirrorAlone, 10}, {kFirstRestartPage, 10}, {kSecondRestartPage, 10}};
  uint64_t score = 0;
  for (const auto& term : kPoints) {
    if ((m_flags & term.flag) != 0) score += term.points;
  }
  // Each metafile's content earns its 10 points only when it is all there.
  const auto whole = [](int64_t count, int64_t full) { return count >= full ? uint64_t{10} : uint64_t{0}; };
  return score + whole(m_logMatched, 10000) + whole(m_attrDefMatched, 5) + whole(m_upCaseMatched, 256);
}

CandidatePtr CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(int64_t sector, int64_t cluster,
                                                                                uint32_t sectorsPerCluster,
                                                                                uint32_t flags, int64_t deviceTotal,
                                                                                uint32_t sectorSize) {
  if (sectorsPerCluster == 0 || cluster < 0 || sector < 8) return nullptr;
  int64_t offset, start;
  if (__builtin_mul_overflow(cluster, static_cast<int64_t>(sectorsPerCluster), &offset)) return nullptr;
  start = sector - offset;
  if (start < 0 || start > sector - 8 || start >= deviceTotal) return nullptr;
  auto candidate = std::make_unique<CSearchedNTFSPartitionInfo>(sectorSize);
  candidate->SetFirstDataSector(start);
  candidate->SetSectorsperCluster(sectorsPerCluster);
  candidate->SetMatchedCount(0);
  candidate->SetClusterCount((deviceTotal - start) / sectorsPerCluster);
  candidate->SetPartitionBuildFromFlag(flags);
  return candidate;
}

void CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(int64_t sector, int64_t cluster, uint32_t flags,
                                                                        int64_t deviceTotal,
                                                                        std::vector<CandidatePtr>& out,
                                                                        uint32_t sectorSize) {
  for (uint32_t spc : NTFS_SUPPORTED_SECTORS_PER_CLUSTER) {
    if (CandidatePtr c =
            BuildPartitionInfoAccordingtoFileRecord(sector, cluster, spc, flags, deviceTotal, sectorSize)) {
      out.push_back(std::move(c));
    }
  }
}

void CNTFSPartitionInfoBuilder::Insert(CandidatePtr candidate) {
  if (candidate != nullptr && m_candidates.size() < kCandidateCap) m_candidates.insert(std::move(candidate));
}

std::vector<CSearchedNTFSPartitionInfo*> CNTFSPartitionInfoBuilder::Equal(
    const CSearchedNTFSPartitionInfo& candidate) const {
  std::vector<CSearchedNTFSPartitionInfo*> out;
  const auto range = m_candidates.equal_range(&candidate);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->get());
  return out;
}

bool CNTFSPartitionInfoBuilder::AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo& candidate, uint32_t add,
                                                             uint32_t remove) {
  auto [it, end] = m_candidates.equal_range(&candidate);
  const bool found = it != end;
  while (it != end) {
    CSearchedNTFSPartitionInfo& equal = **it;
    const uint32_t flags = equal.GetPartitionBuildFromFlags();
    equal.SetPartitionBuildFromFlag((flags & ~remove) | add);
    if (add == 0 && (flags & ~remove) == 0) {
      it = m_candidates.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}
