#include "raw/RAWSearchController.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "DirecotryTreeBuilder.h"
#include "SearchedPartitionInfo.h"
#include "SectorLender.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "raw/NotifyCenter.h"
#include "raw/RawFileAnalyserList.h"
#include "raw/RawMarkSearch.h"

ICompleteFileSystemSearchController* CreateRAWSearcher() { return new CRAWSearchController(); }

CRAWSearchController::~CRAWSearchController() {
  // A cancelled scan never reaches EndSearch: the sink must not outlive it.
  if (m_ownsProgress) CNotifyCenter::Instance().Reset();
}

void CRAWSearchController::SetIProgressSink(IProgress* progress) {
  CNotifyCenter::Instance().SetProgress(progress);
  m_ownsProgress = true;
}

void CRAWSearchController::SetDevice(IStorageDevice* device) {
  assert(nullptr != device && "NULL != pDevice");
  m_source = device;
  m_units = CSectorSizeDevice::In512ByteUnits(device, &m_unitsPerSector);
  m_device = m_units != nullptr ? m_units.get() : device;
  CountBlockInUnits();
}

void CRAWSearchController::SetBlockSize(int sectors) {
  assert(0 < sectors && "0 < iSectorsperBlock");
  m_sourceSectorsPerBlock = sectors;
  CountBlockInUnits();
}

void CRAWSearchController::CountBlockInUnits() {
  // Blocks of the scan come in the source's sectors; a block of more than
  // 2^31 of the carver's is no block.
  const int sectors = m_sourceSectorsPerBlock;
  int64_t units = 0;
  m_sectorsPerBlock =
      sectors > 0 && !__builtin_mul_overflow(int64_t{sectors}, m_unitsPerSector, &units) && units <= INT32_MAX
          ? static_cast<int>(units)
          : 0;
}

uint32_t CRAWSearchController::UnitBytes() const {
  const uint32_t size = m_device != nullptr ? m_device->GetSectorSize() : 0;
  return size == 0 ? 512 : size;
}

int CRAWSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  if (array == nullptr || capacity < 1) return 1;
  // Carved files' runs count the carver's sectors: 512-byte ones on a
  // device of larger sectors.
  auto* record = new CSearchedPartitionInfo(UnitBytes());
  record->SetSectorsperCluster(1);
  record->SetFirstDataSector(0);
  record->SetStartSector(0);
  record->SetOrderWeight(1.0);
  array[0] = record;
  return 1;
}

void CRAWSearchController::PreparetoSearch() {
  CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
  registry->BuildRawFileAnalyserListByRawFileType(nullptr);
  registry->BuildRawFileAnalyserMapByRawFileType(nullptr);
  CRAWFileManager::g_nID = 10;
  m_pass = RawCarvingPass::NewPass();
  m_sectorSize = UnitBytes();
  m_ring.InitBufferDevice(m_device, 0, m_sectorSize, static_cast<uint32_t>(m_sectorsPerBlock), kRingBlocks);
  // Blocks are borrowed from the scan's cache; these are made when needed.
  m_block.clear();
  m_tail.clear();
  m_inPass = true;
  ResetRawNameCounters();
  m_pending.clear();
  m_open.reset();
  m_openEnd = m_provenStart = m_provenEnd = m_scannedTo = 0;
  m_parts.clear();
  m_managers.clear();
  m_types.Initialize();
  if (m_builder != nullptr) m_builder->AddSearcherInfo(SEARCHER_TYPE_RAW, 1);
}

CRAWFileManager* CRAWSearchController::GetFileManager(uint32_t type) {
  const char* ext = RawFileExtName(type);
  if (ext == nullptr) return nullptr;
  const FILE_TYPE_ID category = m_types.GetFileTypeID(ext);
  std::unique_ptr<CRAWFileManager>& manager = m_managers[category];
  if (!manager) manager = std::make_unique<CRAWFileManager>(category, m_builder, m_sectorSize);
  return manager.get();
}

bool CRAWSearchController::InsideProven(const CRawFileInfo& info) const {
  return info.m_startSector > m_provenStart && info.m_startSector < m_provenEnd;
}

bool CRAWSearchController::OwnPart(const CRawFileInfo& info) const {
  if (info.m_startSector >= m_openEnd) return false;
  const auto part = std::lower_bound(m_parts.begin(), m_parts.end(), std::make_pair(info.m_startSector, uint64_t{0}));
  // A file that merely starts there (one laid behind a file cut short, in
  // the place of its part) is of another length.
  return part != m_parts.end() && part->first == info.m_startSector && info.m_size <= part->second &&
         part->second - info.m_size < m_sectorSize;
}

void CRAWSearchController::Settle(CRawFileInfo& info) {
  // Streams whose pages or frames start sectors of their own (Ogg, MP3)
  // would otherwise come back again from each such sector.
  if (InsideProven(info) || OwnPart(info)) return;
  const int64_t total = m_device != nullptr ? m_device->GetTotalSectors() : 0;
  const uint64_t end = total > 0 ? static_cast<uint64_t>(total) * m_sectorSize : 0;
  const uint64_t start = info.m_startSector * m_sectorSize;
  if (start >= end) return;
  // A size read from a header may claim more than the device holds; a file
  // that runs past the device's end is not all there, so it is not taken
  // for whole and hides none of what follows it.
  if (info.m_size > end - start) {
    info.m_size = end - start;
    info.m_whole = false;
    info.m_provenTo = std::min(info.m_provenTo, info.m_size);
    info.m_endUnknown = true;
  }
  if (m_open && info.m_startSector < m_openEnd && info.m_weakHead) {
    if (CRAWFileManager* manager = GetFileManager(info.m_type)) manager->AddRawFileInfo(&info);
    return;
  }
  if (m_open) {
    if (info.m_startSector < m_openEnd) {
      // Another file starts at a sector boundary inside the open one, where
      // nothing in that one's structure shows the sector to be its own: the
      // open file was cut, and its bytes from here on are the other's.
      m_open->m_size = (info.m_startSector - m_open->m_startSector) * m_sectorSize;
      m_open->m_whole = false;
      m_open->m_endUnknown = true;
    }
    Emit();
  }
  m_open = std::make_unique<CRawFileInfo>(info);
  m_openEnd = info.m_startSector + (info.m_size + m_sectorSize - 1) / m_sectorSize;
  m_provenStart = info.m_startSector;
  m_provenEnd = info.m_startSector + (info.ProvenBytes() + m_sectorSize - 1) / m_sectorSize;
  m_parts.clear();
  for (const CRawFileInfo::Part& part : info.m_parts) {
    if (part.offset % m_sectorSize == 0 && part.offset < info.m_size) {
      m_parts.emplace_back(info.m_startSector + part.offset / m_sectorSize, part.length);
    }
  }
  std::sort(m_parts.begin(), m_parts.end());
}

void CRAWSearchController::Emit() {
  if (!m_open) return;
  if (CRAWFileManager* manager = GetFileManager(m_open->m_type)) manager->AddRawFileInfo(m_open.get());
  m_open.reset();
}

void CRAWSearchController::EmitWhenPassed() {
  if (m_open && m_openEnd <= m_scannedTo && (m_pending.empty() || m_pending.front().info->m_startSector >= m_openEnd)) {
    Emit();
  }
}

bool CRAWSearchController::SizeQueued(Pending& pending, IStorageDevice* device) {
  CRawFileInfo& info = *pending.info;
  if (pending.sizedByHeader) return true;
  // A record inside what the last file proves its own is dropped before it
  // costs a sizing.
  if (info.m_analyser == nullptr || InsideProven(info)) return false;
  return info.m_analyser->GetRawFileSize(info, device) != 0 && info.m_size != 0;
}

const uint8_t* CRAWSearchController::TakeBlock(int64_t firstSector, int64_t count, int64_t* tailFrom) {
  const size_t blockBytes = static_cast<size_t>(m_sectorsPerBlock) * m_sectorSize;
  *tailFrom = count;
  // A whole block the cache lends is read in place. The analysers may look
  // past their sector into the padding: the last sectors, whose padding
  // would lie past the block, are looked at in a copy with the zeros behind.
  // The cache lends the source's sectors: a block of the carver's starts on
  // one of them and holds whole ones.
  const uint8_t* block = count == m_sectorsPerBlock
                             ? BorrowSectors(m_source, m_sectorSize * static_cast<uint32_t>(m_unitsPerSector),
                                             firstSector / m_unitsPerSector, count / m_unitsPerSector)
                             : nullptr;
  if (block != nullptr) {
    const int64_t tail = std::min<int64_t>(count, (kPadding + m_sectorSize - 1) / m_sectorSize);
    *tailFrom = count - tail;
    const size_t tailBytes = static_cast<size_t>(tail) * m_sectorSize;
    m_tail.assign(tailBytes + kPadding, 0);
    std::memcpy(m_tail.data(), block + static_cast<size_t>(*tailFrom) * m_sectorSize, tailBytes);
    return block;
  }
  if (m_block.empty()) m_block.assign(blockBytes + kPadding, 0);
  // A block read around a few unreadable sectors holds zeros there, which
  // start no file: the rest is looked at (a file carved over them copies
  // out incomplete).
  if (m_device->ReadSector(m_block.data(), firstSector, count) == 0 &&
      !unreadable::IsSalvaged(m_device->GetLastError())) {
    return nullptr;
  }
  if (count < m_sectorsPerBlock) {
    std::memset(m_block.data() + count * m_sectorSize, 0, m_block.size() - count * m_sectorSize);
  }
  return m_block.data();
}

ResultCode CRAWSearchController::AnalyzeBlock(int64_t sourceFirst, int64_t sourceCount) {
  CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
  RawAnalyserList& noMagic = registry->GetAnalyserList(0);
  RawAnalyserMap& map = registry->GetAnalyserMap();
  if (noMagic.empty() || map.empty() || !m_inPass || m_device == nullptr) return 1;
  const RawCarvingPass pass(m_pass);
  // The block in the carver's sectors.
  int64_t firstSector = 0;
  if (sourceFirst < 0 || sourceCount <= 0 || __builtin_mul_overflow(sourceFirst, m_unitsPerSector, &firstSector)) {
    return 1;
  }
  const int64_t count = std::min<int64_t>(sourceCount, m_sourceSectorsPerBlock) * m_unitsPerSector;
  if (count <= 0 || count > m_sectorsPerBlock) return 1;
  CNotifyCenter& center = CNotifyCenter::Instance();
  int64_t tailFrom = count;
  const uint8_t* block = TakeBlock(firstSector, count, &tailFrom);
  if (block == nullptr) {
    // The ring counts blocks: an unreadable one enters as zeros so that
    // later sizing is never served the wrong sectors.
    std::memset(m_block.data(), 0, m_block.size());
    m_ring.AddBlockToBuffer(m_block.data());
    return 1;
  }
  std::unique_ptr<CRawFileInfo> record;
  for (int64_t i = 0; i < count; ++i) {
    if (!center.isContinue()) break;
    // Analysers only read the sector (RawFileAnalyser.h).
    unsigned char* sector =
        i < tailFrom ? const_cast<uint8_t*>(block) + i * m_sectorSize : m_tail.data() + (i - tailFrom) * m_sectorSize;
    uint32_t key;
    std::memcpy(&key, sector, 4);
    if (key == 0) continue;
    if (!record) record = std::make_unique<CRawFileInfo>();
    IRawFileAnalyser* matched = nullptr;
    if (IRawFileAnalyser* mapped = registry->FindByKey(key)) {
      record->ResetFindings();
      if (mapped->AnalyseBuffer(sector, *record) != 0) matched = mapped;
    }
    if (matched == nullptr) {
      for (const std::unique_ptr<IRawFileAnalyser>& analyser : noMagic) {
        record->ResetFindings();
        bool hit = false;
        try {
          hit = analyser->AnalyseBuffer(sector, *record) != 0;
        } catch (...) {
          hit = false;
        }
        if (hit) {
          matched = analyser.get();
          break;
        }
      }
    }
    if (matched == nullptr) continue;
    record->m_startSector = static_cast<uint64_t>(firstSector + i);
    record->m_analyser = matched;
    record->m_analyserType = matched->GetAnalyserType();
    if (record->m_size != 0 && m_pending.empty()) {
      Settle(*record);
      record->ResetFindings();
    } else {
      // Behind a queued file a header-sized one waits its turn: the queued
      // one may turn out to hold it.
      const bool sized = record->m_size != 0;
      m_pending.push_back({std::move(record), sized});
    }
  }
  record.reset();
  m_scannedTo = static_cast<uint64_t>(firstSector + count);
  if (m_ring.IsFullBuffer()) SettleFromRing(m_ring.GetDeviceStartSector() + m_sectorsPerBlock - 1);
  EmitWhenPassed();
  // Files are sized from their first sector on: with nothing waiting, no
  // file will ever be sized from this block, and it is not copied.
  if (m_pending.empty()) {
    m_ring.PassBlockBy();
  } else {
    m_ring.AddBlockToBuffer(block);
  }
  return 1;
}

void CRAWSearchController::EndBlockPass() {
  // A stop skips EndSearch: the open file is all it would add.
  if (m_inPass && !CNotifyCenter::Instance().isContinue()) Emit();
  // Queued files are sized from the device from now on.
  m_inPass = false;
  m_ring.Close();
  std::vector<uint8_t>().swap(m_block);
  std::vector<uint8_t>().swap(m_tail);
}

void CRAWSearchController::SettleFromRing(uint64_t lastRingSector) {
  CNotifyCenter& center = CNotifyCenter::Instance();
  while (!m_pending.empty()) {
    if (!center.isContinue()) return;
    Pending& pending = m_pending.front();
    if (pending.info->m_startSector > lastRingSector) return;
    // The ring passes reads beyond its blocks to the device, so a record it
    // cannot size now will never be sized: it is dropped instead of holding
    // back every later file.
    try {
      if (SizeQueued(pending, &m_ring)) Settle(*pending.info);
    } catch (...) {
    }
    m_pending.pop_front();
  }
}

void CRAWSearchController::EndSearch(int build) {
  if (build == 0) return;
  const RawCarvingPass pass(m_pass);
  std::printf("--------------%s:%d:list size = %d--------\n", "EndSearch", 253, static_cast<int>(m_pending.size()));
  CNotifyCenter& center = CNotifyCenter::Instance();
  while (!m_pending.empty()) {
    Pending pending = std::move(m_pending.front());
    m_pending.pop_front();
    if (!center.isContinue()) break;
    try {
      if (SizeQueued(pending, m_device)) Settle(*pending.info);
    } catch (...) {
    }
  }
  m_pending.clear();
  Emit();
  std::printf("--------------%s:%d:--------\n", "EndSearch", 283);
  CNotifyCenter::Instance().Reset();
  m_ownsProgress = false;
  EndBlockPass();
  if (m_builder != nullptr) m_builder->FlashBuild(SEARCHER_TYPE_RAW);
}
