#include "ntfs/NTFSAllocationJudge.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
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
int64_t RecordNumberOf(int64_t id) { return static_cast<int64_t>(static_cast<uint64_t>(id) & ntfs_bytes::kRecordNumberMask); }

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

bool CNTFSAllocationJudge::ReadRecord(int64_t number, Record& out) {
  const CNTFSGeometry& geometry = m_volume.GetGeometry();
  const uint32_t sectorSize = m_volumeDevice->GetSectorSize();
  const uint32_t recordBytes = geometry.GetFileRecordBytes();
  const uint32_t spr = m_volume.GetSectorsPerFileRecord();
  const uint32_t rps = m_volume.GetFileRecordsPerSector();
  const bool shared = spr == 0;
  const int64_t sector = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
      number, static_cast<uint8_t>(m_volume.GetSectorsPerCluster()), 0, &m_volume.GetMFTDataRunList(),
      static_cast<uint8_t>(spr), rps);
  const int64_t sectors = shared ? 1 : spr;
  if (sector < 0 || sector > m_volumeDevice->GetTotalSectors() - sectors) return false;
  std::vector<uint8_t> read(std::max<size_t>(size_t(sectors) * sectorSize, recordBytes), 0);
  if (!ReadSectors(sector, sectors, read.data())) return false;
  uint8_t* record = read.data() + (shared ? size_t(number % rps) * recordBytes : 0);
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
  out.properties.reset(CNTFSFilePropertiesBuilder::BuildFileProperties(
      sector, set, geometry.GetClusterBytes(), &parent, nullptr, geometry.GetVolumeBytes()));
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

bool CNTFSAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0) return false;
  IDataRunList* runs = node.GetDataRunList();
  if (runs == nullptr || runs->GetFirst() == nullptr) return false;
  Record now;
  const bool read =
      IsRecordNumber(node.GetCurrentNodeID()) && ReadRecord(RecordNumberOf(node.GetCurrentNodeID()), now);
  const bool described = read && Describes(node, now);
  // Resident content is read from the record itself.
  if (runs->IsResident() != 0) return !described;
  // The runs count in the volume's clusters only while they are the size
  // the scan saw.
  const int inUse = m_volume.GetGeometry().GetClusterBytes() == m_recordClusterBytes ? RunsInUse(runs) : -1;
  if (inUse < 0) return read && now.inUse && !described;
  if (inUse == 0) return false;
  if (!described || !now.inUse) return true;
  std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> held(now.properties->GetDataRunList(),
                                                              [](IDataRunList* list) {
                                                                if (list != nullptr) list->Release();
                                                              });
  return !RunsStillHeld(runs, held.get());
}

std::unique_ptr<IAllocationJudge> CreateNTFSAllocationJudge(IStorageDevice* device,
                                                            const CSearchedPartitionInfo& record) {
  return CNTFSAllocationJudge::Open(device, record);
}
