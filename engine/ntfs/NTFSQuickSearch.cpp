#include "ntfs/NTFSQuickSearch.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <string>

#include "DirecotryTreeBuilder.h"
#include "OnDiskBytes.h"
#include "Progress.h"
#include "StorageDevice.h"
#include "UnreadableSectors.h"
#include "base/CatchExeception.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSDeletedClaims.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSResidentData.h"
#include "ntfs/NTFSSearchInfo.h"

namespace {

// The boot sector is read into a buffer of at least this many bytes.
constexpr uint32_t kBootBufferBytes = 4096;
// The $MFT record is read into a zeroed buffer of this size.
constexpr uint32_t kMFTRecordBufferBytes = 64 * 1024;

// Device sectors of `clusters` clusters of `spc` sectors; -1 on overflow.
int64_t ClusterSectors(int64_t clusters, uint32_t spc) {
  int64_t sectors;
  if (clusters < 0 || __builtin_mul_overflow(clusters, static_cast<int64_t>(spc), &sectors)) return -1;
  return sectors;
}

}  // namespace

CNTFSQuickSearch::CNTFSQuickSearch()
    : m_partition(512),
      m_logFinder(std::make_unique<CFindFileFromLogFile>()),
      m_claims(std::make_unique<CNTFSDeletedClaims>()) {}

CNTFSQuickSearch::~CNTFSQuickSearch() = default;

void CNTFSQuickSearch::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) { m_builder = builder; }

void CNTFSQuickSearch::SetLogFileFinder(std::unique_ptr<CFindFileFromLogFile> finder) {
  m_logFinder = finder != nullptr ? std::move(finder) : std::make_unique<CFindFileFromLogFile>();
}

int CNTFSQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  if (capacity < 1 || array == nullptr) return 1;
  const uint32_t sectorSize = m_device != nullptr ? m_device->GetSectorSize() : m_sectorSize;
  auto* record = new (std::nothrow) CSearchedPartitionInfo(sectorSize);
  if (record == nullptr) return 0;
  record->SetFirstDataSector(0);
  record->SetStartSector(0);
  record->SetTotalSectors(m_device != nullptr ? static_cast<uint64_t>(std::max<int64_t>(m_device->GetTotalSectors(), 0))
                                              : 0);
  record->SetFileSystemType(FILE_SYSTEM_TYPE_NTFS);
  record->SetSectorsperCluster(m_sectorsPerCluster);
  record->SetPrivateData(m_partition.GetPrivateData());
  array[0] = record;
  return 1;
}

void CNTFSQuickSearch::Report(uint32_t status, uint64_t total, uint64_t current, ResultCode error) {
  ReportProgress(m_progress, status, total, current, error);
}

ResultCode CNTFSQuickSearch::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
  if (device == nullptr || progress == nullptr) return kNullArgument;
  m_progress = progress;
  m_counters = Counters();
  m_claims = std::make_unique<CNTFSDeletedClaims>();
  m_claimed.clear();
  if (const ResultCode opened = OpenVolume(device); opened != 0) return opened;

  if (m_builder != nullptr) m_builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5);

  if (m_logFinder->Init(device, &m_mftRuns, static_cast<uint8_t>(m_sectorsPerCluster), 0, m_recordBytes)) {
    m_logFinder->Analyzer();
  }

  return BuildFileNodeFromMFTFileRecord();
}

ResultCode CNTFSQuickSearch::OpenVolume(IStorageDevice* device) {
  if (device == nullptr) return kNullArgument;
  RegisterNTFSResidentDataReader();
  m_device = device;
  m_mftRuns.ClearDataRunList();
  m_fromMirror = false;
  m_bitmap.reset();
  m_bitmapLoaded = false;

  // Everything below counts in this device's sectors, taken afresh for
  // every scan.
  m_sectorSize = device->GetSectorSize();
  m_deviceSectors = device->GetTotalSectors();
  m_partition = CSearchedPartitionInfo(m_sectorSize);
  m_partition.SetFileSystemType(FILE_SYSTEM_TYPE_NTFS);
  m_partition.SetTotalSectors(m_deviceSectors > 0 ? static_cast<uint64_t>(m_deviceSectors - 1) : 0);
  m_partition.SetFirstDataSector(0);
  m_partition.SetSectorsperCluster(1);
  m_sectorsPerCluster = 1;

  // An empty or tiny device holds no volume: a plain answer, not a fault.
  if (m_deviceSectors - 1 <= 1 || m_sectorSize == 0 || m_sectorSize % 512 != 0) return kNotNTFS;
  if (!ReadBootSector()) return kNotNTFS;

  if (!m_geometry.Init(m_dbr, m_sectorSize)) return kNoMFTRuns;
  const uint32_t spc = m_geometry.GetDeviceSectorsPerCluster();
  const uint32_t recordBytes = m_geometry.GetFileRecordBytes();
  // A record spans whole device sectors, or several records share one (a
  // volume made with 512-byte sectors seen through a device of 4096-byte
  // sectors); the record helpers count sectors in a byte.
  const bool fits = recordBytes >= m_sectorSize ? recordBytes % m_sectorSize == 0 : m_sectorSize % recordBytes == 0;
  if (!fits || spc == 0 || spc > 255) return kNoMFTRuns;
  m_sectorsPerCluster = spc;
  m_recordBytes = recordBytes;
  m_sectorsPerRecord = recordBytes / m_sectorSize;
  m_recordsPerSector = std::max<uint32_t>(1, m_sectorSize / recordBytes);
  m_partition.SetSectorsperCluster(spc);

  if (!GetMFTInfo()) return kNoMFTRuns;

  m_bitmap = CNTFSClusterBitmap::Load(*device, 0, spc, recordBytes, m_mftRuns,
                                      m_geometry.GetVolumeBytes() / m_geometry.GetClusterBytes());
  m_bitmapLoaded = m_bitmap != nullptr;
  return 0;
}

bool CNTFSQuickSearch::ReadBootSector() {
  std::vector<uint8_t> sector(std::max(kBootBufferBytes, m_sectorSize), 0);
  if (m_device->ReadSector(sector.data(), 0, 1) == 0) return false;
  return m_dbr.InitFromBuffer(sector.data());
}

// ---- where the table lies ---------------------------------------------------

bool CNTFSQuickSearch::GetMFTInfo() {
  if (ReadMFTInfoFromFileRecord(m_geometry.ClusterToDeviceSector(m_dbr.GetMFTStartCluster(), 0))) return true;
  m_mftRuns.ClearDataRunList();
  if (ReadMFTInfoFromFileRecord(m_geometry.ClusterToDeviceSector(m_dbr.GetMFTMirrorStartCluster(), 0))) {
    m_fromMirror = true;
    return true;
  }
  m_mftRuns.ClearDataRunList();
  return false;
}

bool CNTFSQuickSearch::ReadMFTInfoFromFileRecord(int64_t sector) {
  // Record 0 starts its cluster, so it starts a device sector too.
  const int64_t spr = std::max<int64_t>(m_sectorsPerRecord, 1);
  if (sector < 0 || sector > m_deviceSectors - spr) return false;
  std::vector<uint8_t> buffer(std::max<size_t>(kMFTRecordBufferBytes, size_t(spr) * m_sectorSize), 0);
  if (m_device->ReadSector(buffer.data(), sector, spr) == 0) return false;
  const int bytes = static_cast<int>(m_recordBytes);
  uint8_t* record = buffer.data();
  if (!CNTFSFileRecord::IsValid(record, bytes)) return false;
  bool hiddenSystem = false;
  {
    // Runs that cross a sector end are only right once the update sequence
    // has been undone; a torn record 0 is left for the mirror.
    CNTFSFileRecord view(record, bytes, 0);
    if (!view.IsValid() || !view.IsUpdateSequenceUndone() || view.IsExtendFileRecord()) return false;
    if (view.HasXPNumberOfthisMFTRecord() && view.GetXPNumberOfthisMFTRecord() != 0) return false;
    const uint8_t* si = view.FindAttibute(ntfs_record::kStandardInformation, 0);
    const int left = si != nullptr ? view.GetSize() - static_cast<int>(si - view.GetBuffer()) : 0;
    hiddenSystem = si != nullptr && CNTFSFileRecordStandardInformationAttribute::IsValid(si, left) &&
                   (CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(si) & 0x06) == 0x06;
  }
  bool named = CNTFSFileRecordAnalyzer::IsValidMFTFileRecord(record, bytes);

  if (!CNTFSFileRecord::HasAttributeList(record, bytes)) {
    if (!named) return false;
    CMFTInfo info;
    if (!info.InitFromBuffer(record, bytes, sector, m_sectorSize)) return false;
    info.GetNTFSDataRunList(m_mftRuns);
    return m_mftRuns.GetLCN(0) >= 0;
  }

  // The table's $DATA continues in extension records (and its name may have
  // moved there too). They are found through the runs known so far: record
  // 0's own, then each extension record's as it is read, until no further
  // record can be placed.
  if (!hiddenSystem) return false;
  if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, bytes, m_mftRuns, 0, nullptr)) {
    return false;
  }
  auto list = CNTFSMultiFileRecord::GetExtendFileRecordInfoList(record, static_cast<uint32_t>(bytes), 0,
                                                                static_cast<int>(m_sectorsPerCluster), *m_device);
  std::vector<int64_t> pending;
  if (list != nullptr) {
    for (const CAttributeListExtendFileRecordInfo& entry : *list) {
      if (entry.recordNumber != 0) pending.push_back(entry.recordNumber);
    }
  }
  bool progress = true;
  while (progress && !pending.empty()) {
    progress = false;
    for (auto it = pending.begin(); it != pending.end();) {
      const int64_t at = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
          *it, static_cast<uint8_t>(m_sectorsPerCluster), 0, &m_mftRuns, static_cast<uint8_t>(m_sectorsPerRecord),
          m_recordsPerSector);
      if (at < 0 || at > m_deviceSectors - spr) {
        ++it;
        continue;
      }
      // An extension record of the table names record 0 as its base.
      CAttributeListExtendFileRecordBufferInfo extension(m_device, at, *it, bytes, 0);
      if (uint8_t* data = extension.GetExtendFileRecordBuffer()) {
        const int size = extension.GetExtendFileRecordSize();
        CNTFSDataRunList more;
        if (CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(data, size, more, 0, nullptr)) {
          for (const CDataRun& run : more.GetRuns()) m_mftRuns.AddDataRun(run);
        }
        if (!named) {
          const uint8_t* fn = CNTFSFileRecord::FindAttibute(data, size, ntfs_record::kFileName, 0);
          named = fn != nullptr && CNTFSFileRecordFileNameAttribute::IsValid(fn, size - static_cast<int>(fn - data)) &&
                  CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, L"$MFT");
        }
      }
      it = pending.erase(it);
      progress = true;
    }
  }
  m_mftRuns.Sort();
  return named && !m_mftRuns.IsEmpty() && m_mftRuns.GetLCN(0) >= 0;
}

// ---- the walk ---------------------------------------------------------------

ResultCode CNTFSQuickSearch::BuildFileNodeFromMFTFileRecord() {
  const uint32_t spc = m_sectorsPerCluster;
  // Sectors from one record start to the next that starts a sector too.
  const int64_t spr = std::max<int64_t>(m_sectorsPerRecord, 1);

  // The pieces of the table that lie on the device, in table order.
  struct Piece {
    int64_t tableSector;  // sectors into the table
    int64_t deviceSector;
    int64_t sectors;
  };
  std::vector<Piece> pieces;
  uint64_t total = 0;
  for (const CDataRun& run : m_mftRuns.GetRuns()) {
    if (run.IsSparse()) continue;
    const int64_t tableSector = ClusterSectors(run.VCN, spc);
    const int64_t first = m_geometry.ClusterToDeviceSector(run.LCN, 0);
    int64_t sectors = ClusterSectors(run.Length, spc);
    if (tableSector < 0 || first < 0 || sectors <= 0 || first >= m_deviceSectors) continue;
    // Nothing past the device's end is read: a damaged run cannot make the
    // walk read (and fail) for ever.
    sectors = std::min(sectors, m_deviceSectors - first);
    // Nor is the table larger than the device: runs that list the same
    // clusters over and over would make the walk read the device again for
    // each of them.
    sectors = std::min(sectors, m_deviceSectors - static_cast<int64_t>(total));
    if (sectors <= 0) break;
    pieces.push_back({tableSector, first, sectors});
    total += static_cast<uint64_t>(sectors);
  }

  std::vector<uint8_t> buffer;
  std::vector<int64_t> table(kBufferSectors, -1);
  try {
    buffer.assign(size_t(kBufferSectors) * m_sectorSize, 0);
    m_recordScratch.assign(m_recordBytes, 0);
  } catch (const std::bad_alloc&) {
    return kNoMFTRuns;
  }

  Report(PROGRESS_STATUS_RUNNING, total, 0, 0);
  ResultCode last = 0;
  bool readFailed = false;
  auto error = [&] { return readFailed ? kMFTReadFailed : last; };
  int filled = 0;
  int64_t base = 0;  // the table sector of the buffer's first sector
  uint64_t done = 0;
  bool stopped = false;

  for (const Piece& piece : pieces) {
    if (m_progress->Continued() == 0) {
      stopped = true;
      break;
    }
    int64_t tableSector = piece.tableSector;
    int64_t position = 0;
    if (tableSector != base + filled) {
      // A gap in (or a repeat of) the table: what the buffer holds goes
      // first, and numbering starts again at this piece, on a record start.
      if (filled > 0) last = BuildFileNodeFromBuffer(buffer.data(), filled, base, table.data());
      filled = 0;
      const int64_t skip = (spr - tableSector % spr) % spr;
      position = std::min(skip, piece.sectors);
      done += static_cast<uint64_t>(position);
      tableSector += position;
      base = tableSector;
    }
    while (position < piece.sectors) {
      if (m_progress->Continued() == 0) {
        stopped = true;
        break;
      }
      const int64_t count = std::min<int64_t>(kBufferSectors - filled, piece.sectors - position);
      uint8_t* at = buffer.data() + size_t(filled) * m_sectorSize;
      const int64_t sector = piece.deviceSector + position;
      if (m_device->ReadSector(at, sector, count) == 0) {
        // Zeros fail the record test: the records here are skipped. A read
        // that went around a few unreadable sectors costs only the records
        // that lie on them.
        if (unreadable::IsSalvaged(m_device->GetLastError())) {
          for (const auto& [badFirst, badCount] : unreadable::Find(m_device, sector, count)) {
            const uint64_t from = uint64_t(filled + (badFirst - sector)) * m_sectorSize;
            const uint64_t to = std::min<uint64_t>(uint64_t(filled + (badFirst - sector) + badCount) * m_sectorSize,
                                                   uint64_t(filled + count) * m_sectorSize);
            const uint64_t recordStart = from - from % m_recordBytes;
            const uint64_t recordEnd = std::min<uint64_t>((to + m_recordBytes - 1) / m_recordBytes * m_recordBytes,
                                                          uint64_t(filled + count) * m_sectorSize);
            std::memset(buffer.data() + recordStart, 0, size_t(recordEnd - recordStart));
          }
        } else {
          std::memset(at, 0, size_t(count) * m_sectorSize);
        }
        readFailed = true;
        ++m_counters.failedReads;
        CatchExeception::WriteLog("CNTFSQuickSearch: cannot read MFT sectors %lld-%lld\r\n",
                                  static_cast<long long>(sector), static_cast<long long>(sector + count - 1));
      }
      for (int64_t k = 0; k < count; ++k) table[size_t(filled + k)] = sector + k;
      filled += static_cast<int>(count);
      position += count;
      done += static_cast<uint64_t>(count);
      if (filled == kBufferSectors) {
        last = BuildFileNodeFromBuffer(buffer.data(), filled, base, table.data());
        base += kBufferSectors;
        filled = 0;
        Report(PROGRESS_STATUS_RUNNING, total, done, error());
      }
    }
    if (stopped) break;
  }
  if (filled < kBufferSectors && m_progress->Continued() != 0) {
    last = BuildFileNodeFromBuffer(buffer.data(), filled, base, table.data());
    BuildDeferredFileNodes();
  }
  m_deferred.clear();
  m_extensionsByBase.clear();
  m_bitmap.reset();
  JudgeDeletedClaims();

  if (m_builder != nullptr) {
    m_builder->SetPartitonDevice(&m_partition, m_device);
    m_builder->FlashBuild(SEARCHER_TYPE_NTFS);
  }
  Report(PROGRESS_STATUS_FINISHED, total, total, error());
  return last;
}

ResultCode CNTFSQuickSearch::BuildFileNodeFromBuffer(uint8_t* buffer, int sectorCount, int64_t base,
                                                     const int64_t* sectors) {
  // The buffer starts on a record; records are taken at their byte offsets,
  // whether one spans several sectors or several share one.
  const uint64_t filled = uint64_t(sectorCount) * m_sectorSize;
  const uint64_t first = uint64_t(base) * m_sectorSize;
  for (uint64_t at = 0; at < filled; at += m_recordBytes) {
    const int bytes = static_cast<int>(std::min<uint64_t>(filled - at, m_recordBytes));
    ++m_counters.recordSlots;
    BuildFileNodeFromRecord(buffer + at, bytes, int64_t((first + at) / m_recordBytes), sectors[at / m_sectorSize]);
  }
  return 0;
}

void CNTFSQuickSearch::BuildFileNodeFromRecord(uint8_t* record, int bytes, int64_t recordNumber, int64_t sector) {
  if (bytes < ntfs_record::kMinRecordSize) return;
  // The format keeps the first sixteen records for the volume's own files,
  // whose names need not be in their base records.
  if (recordNumber < kFirstUserRecord) return;
  if (CIsMetaFileRecord::IsMetaFileRecord(record, bytes)) return;
  bool deferred = false;
  {
    CNTFSFileRecord view(record, bytes, 0);
    // A record whose update sequence does not verify was torn or left
    // stale: the bytes at its sector ends are not its own, so its names and
    // runs cannot be trusted.
    if (!view.IsValid() || !view.IsUpdateSequenceUndone()) return;
    if (view.IsExtendFileRecord()) {
      const uint64_t reference = ondisk::Le64(view.GetBuffer() + 0x20);
      m_extensionsByBase[static_cast<int64_t>(reference & ntfs_bytes::kRecordNumberMask)].push_back(
          {recordNumber, sector, static_cast<uint16_t>(reference >> 48)});
      return;
    }
    // A deleted file with an attribute list waits for the end of the walk:
    // deleting may have cut extension records out of its list that still
    // hold its data, and the walk has seen them all only then.
    // A damaged table that makes every record such a file cannot make the
    // scan hold all of them: past the limit they are built at once.
    deferred = !view.IsinUse() && CNTFSFileRecord::HasAttributeList(view.GetBuffer(), view.GetSize()) &&
               m_deferred.size() < kMaxDeferredRecords;
  }
  if (deferred) {
    m_deferred.push_back({std::vector<uint8_t>(record, record + bytes), recordNumber, sector});
    return;
  }
  BuildFileNode(record, bytes, recordNumber, sector, false);
}

void CNTFSQuickSearch::BuildFileNode(uint8_t* record, int bytes, int64_t recordNumber, int64_t sector,
                                     bool withUnlistedExtensions) {
  CCommonFileRecordInfo info;
  if (!info.InitFromBuffer(record, bytes, sector)) return;
  info.SetMFTFileRecordNumber(recordNumber);

  const uint32_t spc = m_sectorsPerCluster;
  auto extensions = CNTFSMultiFileRecord::InitExtendFileRecord(
      record, static_cast<uint32_t>(bytes), sector, static_cast<uint8_t>(spc), 0, *m_device, &m_mftRuns,
      static_cast<uint8_t>(m_sectorsPerRecord), m_recordsPerSector);
  if (withUnlistedExtensions) {
    // Extension records that name this record as their base, from the time
    // it was in use (its sequence number went up by one when it was freed),
    // belong to it even when its list no longer names them.
    auto seen = m_extensionsByBase.find(recordNumber);
    if (seen != m_extensionsByBase.end()) {
      const uint16_t sequence = CNTFSFileRecord::GetSequenceNumber(record);
      for (const ExtensionSeen& extension : seen->second) {
        if (extension.baseSequence != sequence && extension.baseSequence != static_cast<uint16_t>(sequence - 1)) {
          continue;
        }
        if (extensions == nullptr) extensions = std::make_unique<CExtendFileRecordInfoList>();
        const bool listed = std::any_of(extensions->begin(), extensions->end(),
                                        [&](const auto& e) { return e.recordNumber == extension.recordNumber; });
        if (!listed) extensions->push_back({extension.sector, extension.recordNumber});
      }
    }
  }
  CNTFSMultiFileRecord set(record, static_cast<uint32_t>(bytes), sector, m_device, extensions.get(), recordNumber);
  int64_t parent = -1;
  // A file left without any name still comes back, under the tree's lost
  // files, named after its record.
  char nameWhenNone[32] = "MFTRecord-";
  *std::to_chars(nameWhenNone + 10, nameWhenNone + sizeof nameWhenNone - 1, recordNumber).ptr = '\0';
  CNTFSFileProperties* properties = CNTFSFilePropertiesBuilder::BuildFileProperties(
      sector, set, m_geometry.GetClusterBytes(), &parent, nameWhenNone, m_geometry.GetVolumeBytes());
  if (properties == nullptr) return;
  if (info.GetFileRecordNumberofParentDirectory() == -1) info.SetFileRecordNumberofParentDirectory(parent);

  const bool deleted = (properties->GetState() & CNTFSFileProperties::kStateDeleted) != 0;
  if ((properties->GetSize() == 0 || properties->IsDataLost()) && !info.IsDirectory() && deleted) {
    ++m_counters.logFileQueries;
    // The finder gets a copy of the record in its on-disk form, so nothing
    // it does can change what the walk goes on reading.
    std::memcpy(m_recordScratch.data(), record, std::min<size_t>(m_recordScratch.size(), size_t(bytes)));
    m_logFinder->ReplaceFileRecordInfo(m_recordScratch.data(), bytes, *properties,
                                       info.GetFileRecordNumberofParentDirectory(), extensions.get());
  }
  // The size fix counts clusters of 512-byte sectors.
  const uint32_t units = m_geometry.GetClusterBytes() / 512;
  if (units <= 255) {
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(properties,
                                                                                          static_cast<uint8_t>(units));
  }
  properties->SetExtendFileRecordInfoList(std::move(extensions));
  const bool taken =
      deleted && !info.IsDirectory() && m_bitmap != nullptr && m_bitmap->ReachesClustersInUse(*properties);
  if (taken) ++m_counters.clustersTaken;
  const int64_t claim = deleted && !info.IsDirectory() ? m_claims->Add(*properties) : -1;
  CreateFileNode(properties, info, taken, claim);
}

void CNTFSQuickSearch::BuildDeferredFileNodes() {
  for (DeferredRecord& deferred : m_deferred) {
    BuildFileNode(deferred.bytes.data(), static_cast<int>(deferred.bytes.size()), deferred.recordNumber,
                  deferred.sector, true);
  }
  m_deferred.clear();
  m_extensionsByBase.clear();
}

void CNTFSQuickSearch::CreateFileNode(CNTFSFileProperties* properties, const CCommonFileRecordInfo& info, bool unsure,
                                      int64_t claim) {
  auto* node = new (std::nothrow) CNTFSFileNode();
  if (node == nullptr) {
    delete properties;
    return;
  }
  node->SetFileProperties(properties);
  if (unsure) node->SetContentUnsure(true);
  node->SetCurrentNodeID(info.GetMFTFileRecordNumber());
  node->SetParentNodeID(info.GetFileRecordNumberofParentDirectory());
  ++m_counters.nodesMade;
  if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_TYPE_NTFS) == 0) {
    ++m_counters.nodesRefused;
    node->Release();
  } else if (claim >= 0) {
    m_claimed.emplace_back(node, static_cast<uint32_t>(claim));
  }
}

void CNTFSQuickSearch::JudgeDeletedClaims() {
  const std::vector<bool> overwritten = m_claims->Judge();
  // The tree builder has every node it took until the tree finishes; they
  // may be shown already.
  NodeTreeGuard held;
  for (const auto& [node, claim] : m_claimed) {
    if (claim >= overwritten.size() || !overwritten[claim]) continue;
    ++m_counters.overwritten;
    node->SetContentUnsure(true);
  }
  m_claimed.clear();
  m_claims = std::make_unique<CNTFSDeletedClaims>();
}

IQuickFileSystemSearchController* CreateNTFSQuickSearcher() {
  RegisterNTFSResidentDataReader();
  return new (std::nothrow) CNTFSQuickSearch();
}
