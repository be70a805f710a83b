#include "ntfs/NTFSAllocationJudge.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "device/PartitionDevice.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSSearchInfo.h"

namespace {

// Runs as (first cluster, clusters), neighbours joined; holes as (-1, n).
using Extents = std::vector<std::pair<int64_t, int64_t>>;

Extents Normalised(IDataRunList* runs) {
  Extents out;
  if (runs == nullptr) return out;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->length <= 0) continue;
    const int64_t start = run->IsSparse() ? -1 : run->start;
    if (!out.empty()) {
      auto& last = out.back();
      const bool joins = start < 0 ? last.first < 0 : last.first >= 0 && last.first + last.second == start;
      if (joins) {
        last.second += run->length;
        continue;
      }
    }
    out.emplace_back(start, run->length);
  }
  return out;
}

bool IsRecordNumber(int64_t id) { return id >= 0; }
int64_t RecordNumberOf(int64_t id) {
  return static_cast<int64_t>(static_cast<uint64_t>(id) & ntfs_bytes::kRecordNumberMask);
}

}  // namespace

CNTFSAllocationJudge::~CNTFSAllocationJudge() {
  if (m_window != nullptr) {
    m_window->Close();
    m_window->Release();
  }
}

std::unique_ptr<CNTFSAllocationJudge> CNTFSAllocationJudge::Open(IStorageDevice* device,
                                                                 const CSearchedPartitionInfo& record) {
  if (device == nullptr || record.GetFirstDataSector() < 0 || record.GetSectorSize() != device->GetSectorSize()) {
    return nullptr;
  }
  const int64_t start = record.GetFirstDataSector();
  const int64_t total = device->GetTotalSectors();
  if (start >= total) return nullptr;
  std::unique_ptr<CNTFSAllocationJudge> judge(new (std::nothrow) CNTFSAllocationJudge());
  if (judge == nullptr) return nullptr;
  judge->m_start = start;
  judge->m_recordClusterBytes = uint64_t{record.GetSectorsperCluster()} * record.GetSectorSize();
  judge->m_volumeDevice = device;
  if (start != 0) {
    judge->m_window = CreatePartitionDevice(device, start, total - start);
    if (judge->m_window == nullptr) return nullptr;
    if (judge->m_window->Open() == 0) return nullptr;
    judge->m_volumeDevice = judge->m_window;
  }
  if (judge->m_volume.OpenVolume(judge->m_volumeDevice) != 0) return nullptr;
  return judge;
}

uint8_t* CNTFSAllocationJudge::RecordAt(int64_t number, int64_t* sector) {
  const uint32_t sectorSize = m_volumeDevice->GetSectorSize();
  const uint32_t recordBytes = m_volume.GetGeometry().GetFileRecordBytes();
  const uint32_t spr = m_volume.GetSectorsPerFileRecord();
  const uint32_t rps = m_volume.GetFileRecordsPerSector();
  // Several records share a sector when they are smaller than it.
  const bool shared = spr == 0;
  *sector = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
      number, static_cast<uint8_t>(m_volume.GetSectorsPerCluster()), 0, &m_volume.GetMFTDataRunList(),
      static_cast<uint8_t>(spr), rps);
  const int64_t sectors = shared ? 1 : spr;
  m_record.resize(std::max<size_t>(size_t(sectors) * sectorSize, recordBytes));
  if (*sector < 0 || !ReadSectors(*sector, sectors, m_record.data())) return nullptr;
  return m_record.data() + (shared ? size_t(number % rps) * recordBytes : 0);
}

bool CNTFSAllocationJudge::ReadRecord(int64_t number, Record& out) {
  const CNTFSGeometry& geometry = m_volume.GetGeometry();
  const uint32_t recordBytes = geometry.GetFileRecordBytes();
  const uint32_t spr = m_volume.GetSectorsPerFileRecord();
  const uint32_t rps = m_volume.GetFileRecordsPerSector();
  int64_t sector = -1;
  uint8_t* record = RecordAt(number, &sector);
  if (record == nullptr) return false;
  const int bytes = static_cast<int>(recordBytes);
  {
    // As the scan takes a record: whole (its update sequence undone), a base
    // record, and the one its own number says it is.
    CNTFSFileRecord view(record, bytes, 0);
    if (!view.IsValid() || !view.IsUpdateSequenceUndone() || view.IsExtendFileRecord()) return false;
    if (view.HasXPNumberOfthisMFTRecord() && view.GetXPNumberOfthisMFTRecord() != number) return false;
    out.inUse = view.IsinUse();
  }
  CCommonFileRecordInfo info;
  if (!info.InitFromBuffer(record, bytes, sector)) return false;
  auto extensions = CNTFSMultiFileRecord::InitExtendFileRecord(
      record, recordBytes, sector, static_cast<uint8_t>(m_volume.GetSectorsPerCluster()), 0, *m_volumeDevice,
      &m_volume.GetMFTDataRunList(), static_cast<uint8_t>(spr), rps);
  CNTFSMultiFileRecord set(record, recordBytes, sector, m_volumeDevice, extensions.get(), number);
  int64_t parent = -1;
  out.properties.reset(CNTFSFilePropertiesBuilder::BuildFileProperties(sector, set, geometry.GetClusterBytes(), &parent,
                                                                       nullptr, geometry.GetVolumeBytes()));
  if (out.properties == nullptr) return false;
  out.parent = info.GetFileRecordNumberofParentDirectory() != -1 ? info.GetFileRecordNumberofParentDirectory() : parent;
  out.sector = sector;
  return true;
}

bool CNTFSAllocationJudge::ReadSectors(int64_t sector, int64_t count, uint8_t* out) {
  const uint32_t sectorSize = m_volumeDevice->GetSectorSize();
  const int64_t total = m_volumeDevice->GetTotalSectors();
  if (sector < 0 || count <= 0 || sector > total - count) return false;
  // Records are asked for in the order they lie: the table is read ahead in
  // pieces, each once.
  if (sector < m_cachedFirst || sector + count > m_cachedFirst + m_cachedCount) {
    const int64_t ahead = std::max<int64_t>(count, kReadAheadBytes / sectorSize);
    m_cachedCount = std::min<int64_t>(ahead, total - sector);
    m_cache.resize(size_t(m_cachedCount) * sectorSize);
    m_cachedFirst = sector;
    if (m_volumeDevice->ReadSector(m_cache.data(), sector, m_cachedCount) == 0) {
      // A piece that does not read whole: the record alone.
      m_cachedCount = 0;
      m_cachedFirst = -1;
      return m_volumeDevice->ReadSector(out, sector, count) != 0;
    }
  }
  std::memcpy(out, m_cache.data() + size_t(sector - m_cachedFirst) * sectorSize, size_t(count) * sectorSize);
  return true;
}

bool CNTFSAllocationJudge::Describes(CFileNode& node, Record& now) {
  // Read where the scan read it: a table that moved is another volume's.
  if (now.properties == nullptr || m_start + now.sector != node.GetMetadataStartPosition()) return false;
  CNTFSFileProperties& properties = *now.properties;
  if (node.GetCreationTime() != 0 && properties.GetCreationTime() == node.GetCreationTime()) return true;
  const char* name = properties.GetFileName();
  const char* saved = node.GetFileName();
  const bool sameName = name != nullptr && saved != nullptr &&
                        (std::strcmp(name, saved) == 0 || CFileNode::FilterFileNameByDot(name) == saved);
  return sameName && IsRecordNumber(node.GetParentNodeID()) && now.parent == RecordNumberOf(node.GetParentNodeID());
}

int CNTFSAllocationJudge::RunsInUse(IDataRunList* runs) {
  CNTFSClusterBitmap* bitmap = m_volume.GetClusterBitmap();
  if (bitmap == nullptr) return -1;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    // Runs count clusters from the volume's start, as $Bitmap does.
    if (bitmap->AnyInUse(run->start, run->length) == 1) return 1;
  }
  return 0;
}

bool CNTFSAllocationJudge::RunsStillHeld(IDataRunList* saved, IDataRunList* now) {
  const Extents before = Normalised(saved);
  const Extents after = Normalised(now);
  if (before.empty() || before.size() > after.size()) return false;
  for (size_t i = 0; i + 1 < before.size(); ++i) {
    if (before[i] != after[i]) return false;
  }
  const auto& last = before.back();
  const auto& there = after[before.size() - 1];
  return last.first == there.first && last.second <= there.second;
}

bool CNTFSAllocationJudge::Glance(int64_t number, Glimpse& out) {
  const uint32_t recordBytes = m_volume.GetGeometry().GetFileRecordBytes();
  int64_t sector = -1;
  uint8_t* record = RecordAt(number, &sector);
  if (record == nullptr) return false;
  const int bytes = static_cast<int>(recordBytes);
  // The header and the update sequence as the full test takes them; the
  // attributes only as far as this needs them, each bounded by the record.
  if (!CNTFSFileRecordHeader::IsValid(record, bytes - bytes % 512) ||
      !CNTFSFileRecord::UnfixupFileRecord(record, bytes) || CNTFSFileRecord::IsExtendFileRecord(record)) {
    return false;
  }
  if (CNTFSFileRecord::HasXPNumberOfthisMFTRecord(record) &&
      CNTFSFileRecord::GetXPNumberOfthisMFTRecord(record) != number) {
    return false;
  }
  const uint32_t used = std::min<uint32_t>(CNTFSFileRecord::GetLength(record), recordBytes);
  out.sector = sector;
  out.inUse = CNTFSFileRecord::IsinUse(record);
  out.runs.ClearDataRunList();
  out.resident = true;
  bool created = false, data = false;
  for (uint32_t at = CNTFSFileRecord::GetFirstAttibuteOffset(record); at + 16 <= used;) {
    const uint8_t* attribute = record + at;
    const uint32_t type = ondisk::Le32(attribute);
    if (type == ntfs_record::kEndMarker) break;
    const uint32_t length = ondisk::Le32(attribute + 4);
    if (length < 24 || length % 8 != 0 || length > used - at) return false;
    // A file whose attributes go on in other records is read whole.
    if (type == ntfs_record::kAttributeList) return false;
    const bool nonResident = attribute[8] != 0;
    if (type == ntfs_record::kStandardInformation && !created) {
      const uint16_t value = ondisk::Le16(attribute + 0x14);
      if (nonResident || ondisk::Le32(attribute + 0x10) < 8 || uint32_t{value} + 8 > length) return false;
      out.creation = ondisk::Le64(attribute + value);
      created = true;
    } else if (type == ntfs_record::kData && attribute[9] == 0 && !data) {
      data = true;
      out.resident = !nonResident;
      if (nonResident) {
        const uint16_t pairs = length >= 0x40 ? ondisk::Le16(attribute + 0x20) : 0;
        if (pairs < 0x40 || pairs >= length || ondisk::LeI64(attribute + 0x10) != 0 ||
            !out.runs.InitFromBuffer(attribute + pairs, static_cast<int>(length - pairs))) {
          return false;
        }
      }
    }
    at += length;
  }
  return created;
}

bool CNTFSAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0) return false;
  IDataRunList* runs = node.GetDataRunList();
  if (runs == nullptr || runs->GetFirst() == nullptr) return false;
  const bool resident = runs->IsResident() != 0;
  // Clusters $Bitmap leaves free are nobody's: no record is read for them.
  // The runs count in the volume's clusters only while they are the size
  // the scan saw.
  int inUse = -1;
  if (!resident) {
    inUse = m_volume.GetGeometry().GetClusterBytes() == m_recordClusterBytes ? RunsInUse(runs) : -1;
    if (inUse == 0) return false;
  }
  const bool numbered = IsRecordNumber(node.GetCurrentNodeID());
  const int64_t number = RecordNumberOf(node.GetCurrentNodeID());
  // Most records are as the scan read them: their creation time tells them
  // at a glance, and their runs lie in the record itself.
  Glimpse glimpse;
  if (numbered && node.GetCreationTime() != 0 && Glance(number, glimpse) &&
      m_start + glimpse.sector == node.GetMetadataStartPosition() && glimpse.creation == node.GetCreationTime()) {
    if (resident || inUse < 0) return false;
    if (!glimpse.inUse) return true;
    if (!glimpse.resident) {
      CDataRunList now;
      for (const CDataRun& run : glimpse.runs.GetRuns()) {
        const DataRun piece{run.IsSparse() ? -1 : run.LCN, run.Length};
        now.AddDataRun(&piece);
      }
      return !RunsStillHeld(runs, &now);
    }
  }
  Record now;
  const bool read = numbered && ReadRecord(number, now);
  const bool described = read && Describes(node, now);
  // Resident content is read from the record itself.
  if (resident) return !described;
  if (inUse < 0) return read && now.inUse && !described;
  if (!described || !now.inUse) return true;
  std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> held(now.properties->GetDataRunList(), [](IDataRunList* list) {
    if (list != nullptr) list->Release();
  });
  return !RunsStillHeld(runs, held.get());
}

std::unique_ptr<IAllocationJudge> CreateNTFSAllocationJudge(IStorageDevice* device,
                                                            const CSearchedPartitionInfo& record) {
  return CNTFSAllocationJudge::Open(device, record);
}
