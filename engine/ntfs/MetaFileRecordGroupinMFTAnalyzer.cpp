#include "ntfs/MetaFileRecordGroupinMFTAnalyzer.h"

#include <algorithm>
#include <iterator>

#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"

namespace {

constexpr uint32_t kMFT = 0, kMFTMirr = 1, kBitmap = 6, kBadClus = 8;
// Record 8 is the last one a group looks at.
constexpr int64_t kLastGroupRecord = 8;

// The length in bytes of $BadClus's $Bad stream: a sparse stream as long as
// the volume, so it tells the volume's size to the cluster where $Bitmap,
// padded to whole 8-byte words, may tell up to 63 clusters more.
int64_t BadStreamBytes(const CNTFSFileRecord& record) {
  for (uint32_t i = 0;; ++i) {
    const uint8_t* attr = record.FindAttibute(ntfs_record::kData, i);
    if (attr == nullptr) return -1;
    if (CNTFSFileRecordAttribute::IsResident(attr) || !CNTFSFileRecordAttribute::IsNamed(attr)) continue;
    if (CNTFSFileRecordAttribute::GetAttributeName(attr) != "$Bad") continue;
    if (CNTFSFileRecordDataRunsAttribute::GetStartVCN(attr) != 0) return -1;
    return CNTFSFileRecordAttribute::GetRealSizeOfAttribute(attr);
  }
}

}  // namespace

CMetaFileRecordGroupinMFTAnalyzer::CMetaFileRecordGroupinMFTAnalyzer(
    std::vector<std::unique_ptr<CMFTInfo>>& mfts, std::vector<std::unique_ptr<CMFTMirrInfo>>& mirrors,
    CNTFSPartitionInfoBuilder& builder, std::vector<CMFTFilesPair>& pairs, uint32_t sectorSize)
    : m_mfts(mfts),
      m_mirrors(mirrors),
      m_builder(builder),
      m_pairs(pairs),
      m_sectorSize(sectorSize),
      m_sectorsPerRecord(std::max<int64_t>(1, 1024 / static_cast<int64_t>(sectorSize))) {}

bool CMetaFileRecordGroupinMFTAnalyzer::IsaMetaFileRecordNotNeedtoCount(uint32_t index) const {
  if (index == kMFT) return m_mfts.size() >= kNTFSFoundRecordCap;
  if (index == kMFTMirr) return m_mirrors.size() >= kNTFSFoundRecordCap;
  return false;
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsGroupEnd(int64_t sector, bool valid, uint32_t index) const {
  if (!valid || index == CMetaFileRecordTypeAnalyzer::kNotMetaFile || m_mft == nullptr) return true;
  const int64_t offset = sector - m_groupStart;
  if (offset < 0 || offset > kLastGroupRecord * m_sectorsPerRecord) return true;
  return offset % m_sectorsPerRecord != 0 || offset / m_sectorsPerRecord != index;
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeNTFSMetaFileRecord(int64_t sector, const CNTFSFileRecord* record) {
  const bool valid = record != nullptr && record->IsValid();
  AnalyzeNTFSMetaFileRecord(
      sector, record,
      valid ? CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(*record) : CMetaFileRecordTypeAnalyzer::kNotMetaFile);
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeNTFSMetaFileRecord(int64_t sector, const CNTFSFileRecord* record,
                                                                  uint32_t index) {
  const bool valid = record != nullptr && record->IsValid();
  // The second sector of a record of the open group.
  if (!valid && m_groupStart >= 0) {
    const int64_t offset = sector - m_groupStart;
    if (offset > 0 && offset <= kLastGroupRecord * m_sectorsPerRecord && offset % m_sectorsPerRecord != 0) return;
  }
  if (!valid) index = CMetaFileRecordTypeAnalyzer::kNotMetaFile;
  if (index == kMFT || IsGroupEnd(sector, valid, index)) {
    AnalyzeGroup();
    Reset();
  }
  if (!valid) return;
  if (index == kMFT) {
    m_groupStart = sector;
    // The group's records are the size of the $MFT's own.
    m_sectorsPerRecord = std::max<int64_t>(1, record->GetSize() / std::max<int64_t>(1, m_sectorSize));
    if (m_mfts.size() >= kNTFSFoundRecordCap) return;
    std::unique_ptr<CMFTInfo> info(CMFTInfo::Build(*record, sector, m_sectorSize));
    if (info == nullptr) {
      Reset();
      return;
    }
    m_mft = info.get();
    m_mfts.push_back(std::move(info));
  } else if (m_mft == nullptr) {
    return;
  } else if (index == kMFTMirr) {
    if (m_mirrors.size() >= kNTFSFoundRecordCap) return;
    std::unique_ptr<CMFTMirrInfo> info(CMFTMirrInfo::Build(*record, sector, m_sectorSize));
    if (info == nullptr) {
      AnalyzeGroup();
      Reset();
      return;
    }
    m_mirror = info.get();
    m_mirrors.push_back(std::move(info));
  } else if (index == kBitmap) {
    CBitmapFileInfo bitmap;
    if (bitmap.InitFromBuffer(*record, sector) && bitmap.GetFileSize() <= INT64_MAX / 8) {
      m_bitmapClusters = bitmap.GetFileSize() * 8;
    }
  } else if (index == kBadClus) {
    m_badClusterBytes = BadStreamBytes(*record);
  }
}

void CMetaFileRecordGroupinMFTAnalyzer::Flush() {
  AnalyzeGroup();
  Reset();
}

void CMetaFileRecordGroupinMFTAnalyzer::Reset() {
  m_mft = nullptr;
  m_mirror = nullptr;
  m_groupStart = -1;
  m_bitmapClusters = -1;
  m_badClusterBytes = -1;
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeGroup() {
  if (m_mft == nullptr) return;
  if (m_mirror == nullptr) {
    AnalyzeSingleMFT(*m_mft);
    return;
  }
  const CMFTFilesPair pair{m_mft, m_mirror};
  AnalyzeMFTFilesPair(pair);
  m_pairs.push_back(pair);
}

void CMetaFileRecordGroupinMFTAnalyzer::AdjustPartitionSizeandMFTSector(CSearchedNTFSPartitionInfo& candidate) const {
  if (candidate.GetMFTRecordSector() < 0) candidate.SetMFTRecordSector(m_groupStart);
  const int64_t spc = candidate.GetSectorsperCluster();
  if (spc <= 0) return;
  int64_t clusters = m_bitmapClusters;
  const int64_t clusterBytes = spc * m_sectorSize;
  if (m_badClusterBytes > 0 && m_badClusterBytes % clusterBytes == 0) clusters = m_badClusterBytes / clusterBytes;
  if (clusters > 0 && (candidate.GetPartitionBuildFromFlags() & ntfs_evidence::kBootSector) == 0) {
    candidate.SetClusterCount(std::min(clusters, candidate.GetClusterCount()));
  }
  candidate.SetBitmapSizeInSectors(clusters > 0 && clusters <= INT64_MAX / spc ? clusters * spc : -1);
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeSingleMFT(const CMFTInfo& mft) {
  std::vector<uint32_t> sizes;
  if (mft.GetSectorsPerCluster() != 0) {
    sizes.push_back(mft.GetSectorsPerCluster());
  } else {
    sizes.assign(std::begin(NTFS_SUPPORTED_SECTORS_PER_CLUSTER), std::end(NTFS_SUPPORTED_SECTORS_PER_CLUSTER));
  }
  for (const uint32_t spc : sizes) {
    CandidatePtr candidate = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
        mft.GetSectorAddress(), mft.GetFirstClusterNO(), spc, ntfs_evidence::kMFTAlone, m_deviceTotal, m_sectorSize);
    if (candidate == nullptr) continue;
    AdjustPartitionSizeandMFTSector(*candidate);
    if (m_builder.AdjustPartitionBuildFromFlag(*candidate, ntfs_evidence::kMFTAlone, 0)) {
      for (CSearchedNTFSPartitionInfo* equal : m_builder.Equal(*candidate)) AdjustPartitionSizeandMFTSector(*equal);
      return;
    }
    m_builder.Insert(std::move(candidate));
  }
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeMFTFilesPair(const CMFTFilesPair& pair) {
  const CMFTInfo& mft = *pair.mft;
  const uint32_t spc = mft.GetSectorsPerCluster();
  // As if this group were the mirror copy, the table lying elsewhere.
  CandidatePtr candidate;
  if (pair.mirror->GetFirstClusterNO() >= 0 && spc != 0) {
    candidate = CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(
        mft.GetSectorAddress(), pair.mirror->GetFirstClusterNO(), spc, ntfs_evidence::kMirrorAlone, m_deviceTotal,
        m_sectorSize);
  }
  if (candidate == nullptr) {
    AnalyzeSingleMFT(mft);
    return;
  }
  AdjustPartitionSizeandMFTSector(*candidate);
  const int64_t tableSector = candidate->GetFirstDataSector() + static_cast<int64_t>(spc) * mft.GetFirstClusterNO();
  const bool tableSeen = std::any_of(m_pairs.begin(), m_pairs.end(), [&](const CMFTFilesPair& known) {
    return known.mft->GetSectorAddress() == tableSector;
  });
  if (tableSeen) {
    m_builder.AdjustPartitionBuildFromFlag(*candidate, ntfs_evidence::kMFTWithMirror,
                                           ntfs_evidence::kMFTWithMirror | ntfs_evidence::kMFTAlone);
  } else if (m_builder.AdjustPartitionBuildFromFlag(*candidate, ntfs_evidence::kMirrorAlone, 0)) {
    for (CSearchedNTFSPartitionInfo* equal : m_builder.Equal(*candidate)) AdjustPartitionSizeandMFTSector(*equal);
  } else {
    AnalyzeSingleMFT(mft);
  }
}
