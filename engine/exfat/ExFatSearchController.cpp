#include "exfat/ExFatSearchController.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "SectorLender.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "exfat/ExFatClusterClaims.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"

namespace {

// The largest cluster a volume may have: 32 MiB.
constexpr uint32_t kLargestClusterShift = 25;

uint32_t Log2(uint32_t value) {
  uint32_t shift = 0;
  while (shift < 31 && (1u << shift) < value) ++shift;
  return shift;
}

// The start of an up-case table: the identity 0, 1, 2 ... 7, or the
// compressed form, whose first mark stands for an identity run and whose
// next mapping is 'a' to 'A'.
bool IsUpcaseTableStart(const uint8_t* s) {
  bool identity = true;
  for (uint16_t i = 0; i < 8 && identity; ++i) identity = ondisk::Le16(s + 2 * i) == i;
  if (identity) return true;
  return ondisk::Le16(s) == 0xFFFF && ondisk::Le16(s + 2) != 0 && ondisk::Le16(s + 4) == 'A';
}

}  // namespace

CExFatSearchController::CExFatSearchController() = default;
CExFatSearchController::~CExFatSearchController() = default;

void CExFatSearchController::SetDevice(IStorageDevice* device) {
  m_source = device;
  m_units = CSectorSizeDevice::In512ByteUnits(device, &m_unitsPerSector);
  m_device = m_units != nullptr ? m_units.get() : device;
}

void CExFatSearchController::PreparetoSearch() {
  m_prepared = false;
  m_usable = false;
  m_carried = 0;
  m_nextSector = 0;
  m_preAnalyze.FinisAnayze();
  m_builder.Clear();
  m_partitions.clear();
}

bool CExFatSearchController::Prepare() {
  m_prepared = true;
  m_usable = false;
  m_sectorSize = m_device->GetSectorSize();
  m_totalSectors = m_device->GetTotalSectors();
  // exFAT sectors are 512 to 4096 bytes.
  if (m_sectorSize < 512 || m_sectorSize > 4096 || (m_sectorSize & (m_sectorSize - 1)) != 0 || m_totalSectors <= 0) {
    return false;
  }
  m_preAnalyze.PrepareAnayze(Log2(m_sectorSize), kLargestClusterShift, static_cast<uint64_t>(m_totalSectors));
  m_builder.PrepareBuild(m_device, m_sectorSize, static_cast<uint64_t>(m_totalSectors));
  m_carried = 0;
  m_usable = true;
  return true;
}

ResultCode CExFatSearchController::AnalyzeBlock(int64_t sourceFirst, int64_t sourceCount) {
  if (m_device == nullptr || m_treeBuilder == nullptr || m_sectorsPerBlock <= 0 || sourceCount <= 0 ||
      sourceFirst < 0) {
    return 0;
  }
  if (!m_prepared) Prepare();
  if (!m_usable) return 0;
  // The pass counts in the source's sectors, the searcher in its own.
  int64_t firstSector = 0;
  int64_t sectorCount = 0;
  if (__builtin_mul_overflow(sourceFirst, m_unitsPerSector, &firstSector) ||
      __builtin_mul_overflow(sourceCount, m_unitsPerSector, &sectorCount)) {
    return 0;
  }
  // Sectors carried over only run on into the block right after them.
  if (m_carried > 0 && firstSector != m_nextSector) Flush();
  // The scan's cache lends a block read whole, in place; otherwise it is
  // read into a buffer of the searcher's own.
  const uint8_t* block =
      BorrowSectors(m_source, static_cast<uint32_t>(m_sectorSize * m_unitsPerSector), sourceFirst, sourceCount);
  if (block == nullptr) block = ReadBlock(firstSector, sectorCount);
  if (block == nullptr) return 0;
  AnalyzeBlockBytes(firstSector, sectorCount, block);
  return 0;
}

const uint8_t* CExFatSearchController::ReadBlock(int64_t firstSector, int64_t sectorCount) {
  const size_t sector = m_sectorSize;
  try {
    m_block.resize(static_cast<size_t>(sectorCount) * sector);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // A read around sectors a failing medium could not give holds all the
  // others already.
  if (m_device->ReadSector(m_block.data(), firstSector, sectorCount) == 0 &&
      !unreadable::IsSalvaged(m_device->GetLastError())) {
    // One unreadable sector costs only itself.
    for (int64_t i = 0; i < sectorCount; ++i) {
      uint8_t* at = m_block.data() + static_cast<size_t>(i) * sector;
      if (m_device->ReadSector(at, firstSector + i, 1) == 0) std::memset(at, 0, sector);
    }
  }
  return m_block.data();
}

void CExFatSearchController::AnalyzeBlockBytes(int64_t firstSector, int64_t sectorCount, const uint8_t* block) {
  const size_t sector = m_sectorSize;
  // The seam: the sectors carried from the last block, this block's first
  // ones after them, then zeros.
  m_seam.resize(static_cast<size_t>(3 * kCarriedSectors) * sector);
  const int64_t lead = std::min(sectorCount, kCarriedSectors);
  std::memcpy(m_seam.data() + static_cast<size_t>(m_carried) * sector, block, static_cast<size_t>(lead) * sector);
  const int64_t inSeam = m_carried + lead;
  std::memset(m_seam.data() + static_cast<size_t>(inSeam) * sector, 0,
              m_seam.size() - static_cast<size_t>(inSeam) * sector);
  const int64_t base = firstSector - m_carried;
  // Every sector is examined once the two after it are at hand.
  const int64_t total = m_carried + sectorCount;
  const int64_t examined = std::max<int64_t>(0, total - kCarriedSectors);
  for (int64_t i = 0; i < std::min(examined, m_carried); ++i) {
    AnalyzeSector(base + i, m_seam.data() + static_cast<size_t>(i) * sector, static_cast<size_t>(inSeam - i) * sector);
  }
  // The block's own sectors, each with the two after it in the block.
  for (int64_t i = 0; i + kCarriedSectors < sectorCount; ++i) {
    AnalyzeSector(firstSector + i, block + static_cast<size_t>(i) * sector,
                  static_cast<size_t>(sectorCount - i) * sector);
  }
  // What is left over waits for the next block.
  const int64_t left = total - examined;
  std::vector<uint8_t> keep(static_cast<size_t>(left) * sector);
  for (int64_t i = 0; i < left; ++i) {
    const int64_t at = examined + i;  // index among the carried and the block's sectors
    const uint8_t* from = at < m_carried ? m_seam.data() + static_cast<size_t>(at) * sector
                                         : block + static_cast<size_t>(at - m_carried) * sector;
    std::memcpy(keep.data() + static_cast<size_t>(i) * sector, from, sector);
  }
  std::memcpy(m_seam.data(), keep.data(), keep.size());
  m_carried = left;
  m_nextSector = firstSector + sectorCount;
}

void CExFatSearchController::Flush() {
  if (m_carried <= 0 || m_seam.size() < static_cast<size_t>(m_carried + kCarriedSectors) * m_sectorSize) {
    m_carried = 0;
    return;
  }
  std::memset(m_seam.data() + static_cast<size_t>(m_carried) * m_sectorSize, 0,
              m_seam.size() - static_cast<size_t>(m_carried) * m_sectorSize);
  const int64_t base = m_nextSector - m_carried;
  for (int64_t i = 0; i < m_carried; ++i) {
    AnalyzeSector(base + i, m_seam.data() + static_cast<size_t>(i) * m_sectorSize,
                  static_cast<size_t>(m_carried + kCarriedSectors - i) * m_sectorSize);
  }
  m_carried = 0;
}

void CExFatSearchController::AnalyzeSector(int64_t sector, const uint8_t* s, size_t available) {
  bool ended = false;
  if (IsUpcaseTableStart(s)) {
    m_builder.RecordUpCaseTable(sector);
    ended = true;
  } else if (s[0] == 0) {
    ended = true;  // no entry, boot sector or table starts with a zero byte
  } else if (s[510] == 0x55 && s[511] == 0xAA && s[3] == 'E') {
    const uint8_t* boot = BootInDeviceSectors(s);
    if (boot != nullptr) m_builder.Build(sector, boot);
    ended = boot != nullptr || m_preAnalyze.Analyze(sector, s, available);
  } else if (ondisk::Le32(s) == 0xFFFFFFF8u && ondisk::Le32(s + 4) == 0xFFFFFFFFu) {
    m_builder.RecordFAT(sector);
    ended = true;
  } else {
    ended = m_preAnalyze.Analyze(sector, s, available);
  }
  if (ended) EndRun();
  m_builder.Build(sector);
}

const uint8_t* CExFatSearchController::BootInDeviceSectors(const uint8_t* s) {
  const uint32_t shift = s[108];
  if (shift < 9 || shift > 12) return nullptr;
  const uint32_t own = 1u << shift;
  if (!CExFatDBR(s).IsValid(own)) return nullptr;
  if (own == m_sectorSize) return s;
  const uint32_t deviceShift = Log2(m_sectorSize);
  uint64_t fatOffset = ondisk::Le32(s + 80);
  uint64_t fatLength = ondisk::Le32(s + 84);
  uint64_t heap = ondisk::Le32(s + 88);
  uint64_t volume = ondisk::Le64(s + 72);
  uint32_t clusterShift = s[109];
  if (own < m_sectorSize) {
    // Several of the volume's sectors to one of the device's: its regions
    // and clusters must begin on the device's sectors.
    const uint32_t down = deviceShift - shift;
    const uint64_t mask = (uint64_t{1} << down) - 1;
    if ((fatOffset & mask) != 0 || (heap & mask) != 0 || clusterShift < down) return nullptr;
    fatOffset >>= down;
    fatLength = (fatLength + mask) >> down;
    heap >>= down;
    volume >>= down;
    clusterShift -= down;
  } else {
    const uint32_t up = shift - deviceShift;
    fatOffset <<= up;
    fatLength <<= up;
    heap <<= up;
    if ((fatOffset | fatLength | heap) > 0xFFFFFFFFu || volume > (UINT64_MAX >> up)) return nullptr;
    volume <<= up;
    clusterShift += up;
  }
  m_boot.assign(s, s + 512);
  m_boot.resize(std::max<size_t>(m_sectorSize, 512), 0);
  auto store32 = [](uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  };
  for (int i = 0; i < 8; ++i) m_boot[72 + i] = static_cast<uint8_t>(volume >> (8 * i));
  store32(m_boot.data() + 80, fatOffset);
  store32(m_boot.data() + 84, fatLength);
  store32(m_boot.data() + 88, heap);
  m_boot[108] = static_cast<uint8_t>(deviceShift);
  m_boot[109] = static_cast<uint8_t>(clusterShift);
  return CExFatDBR(m_boot.data()).IsValid(m_sectorSize) ? m_boot.data() : nullptr;
}

void CExFatSearchController::EndRun() {
  std::unique_ptr<CFileSet> set = m_preAnalyze.GetFileSet();
  if (set == nullptr) return;
  const int64_t first = set->GetFirstSector();
  const int64_t tail = set->IsNotEnd() ? m_preAnalyze.GetNext(first) : -1;
  const int64_t head = set->IsAbridged() ? m_preAnalyze.GetLast(first) : -1;
  m_builder.PushFileSet(std::move(set), head, tail);
}

void CExFatSearchController::EndSearch(int build) {
  if (build == 0) return;
  if (m_usable) Flush();
  EndRun();
  m_preAnalyze.FinisAnayze();
  m_partitions.clear();
  if (m_usable) m_builder.FinishBuid(m_partitions);
  // Disk order: a volume keeps its index however much else is found.
  std::stable_sort(m_partitions.begin(), m_partitions.end(), [](const auto& a, const auto& b) {
    return a->GetVolumeStartSector() != b->GetVolumeStartSector()
               ? a->GetVolumeStartSector() < b->GetVolumeStartSector()
               : a->GetHeapFirstSector() < b->GetHeapFirstSector();
  });
  if (m_partitions.size() > 0xFFFF) m_partitions.resize(0xFFFF);
  BuildeFileNode();
  // The runs go; what the volumes matched of them with them.
  for (auto& partition : m_partitions) {
    partition->m_matched.clear();
    partition->m_scores.clear();
    partition->m_alignedSectors.clear();
    partition->m_alignedSectors.shrink_to_fit();
  }
  m_builder.Clear();
  std::vector<uint8_t>().swap(m_block);
  std::vector<uint8_t>().swap(m_seam);
  std::vector<uint8_t>().swap(m_boot);
}

void CExFatSearchController::BuildeFileNode() {
  if (m_treeBuilder == nullptr) return;
  if (!m_partitions.empty() && m_treeBuilder->AddSearcherInfo(SEARCHER_TYPE_EXFAT, -1) != 0) {
    std::vector<CExFatFileNode*> nodes;
    for (size_t i = 0; i < m_partitions.size(); ++i) {
      CExFatPartitionEx& partition = *m_partitions[i];
      if (partition.m_tableSector >= 0) {
        partition.CreateFatTable(m_device, partition.m_tableSector, partition.m_tableLength,
                                 static_cast<uint32_t>(partition.GetClusterLimit() - 2));
      }
      nodes.clear();
      m_builder.BuildFileTree(partition, nodes);
      // The files that name the same clusters, judged before they are handed
      // over.
      CExFatClusterClaims claims(partition, m_device, m_progress);
      for (CExFatFileNode* node : nodes) claims.Keep(claims.Read(node), true);
      claims.Judge();
      for (CExFatFileNode* node : nodes) {
        node->SetBelongedPartition(static_cast<uint16_t>(i));
        if (m_treeBuilder->AddNode(node, SEARCHER_TYPE_EXFAT) == 0) node->Release();
      }
      partition.ClearFatData();
    }
  }
  m_treeBuilder->SetPartitonDevice(nullptr, m_device);
  m_treeBuilder->FlashBuild(SEARCHER_TYPE_EXFAT);
}

int CExFatSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  const int count = static_cast<int>(m_partitions.size());
  if (array == nullptr || capacity < count) return count;
  for (int i = 0; i < count; ++i) {
    const CExFatPartitionEx& partition = *m_partitions[i];
    auto* record = new (std::nothrow) CSearchedPartitionInfo(partition.GetBytesPerSector());
    if (record == nullptr) {
      for (int j = 0; j < i; ++j) {
        delete array[j];
        array[j] = nullptr;
      }
      return 0;
    }
    record->SetPartitionIndex(static_cast<uint16_t>(i));
    record->SetFirstDataSector(partition.GetHeapFirstSector());
    record->SetStartSector(partition.GetVolumeStartSector());
    record->SetTotalSectors(partition.GetTotalSectors());
    record->SetFileSystemType(FILE_SYSTEM_TYPE_EXFAT);
    record->SetSectorsperCluster(partition.GetSectorsPerCluster());
    array[i] = record;
  }
  return count;
}

ICompleteFileSystemSearchController* CreateEXFatSearcher() { return new (std::nothrow) CExFatSearchController(); }
