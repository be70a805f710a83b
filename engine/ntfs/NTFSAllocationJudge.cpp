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
#include "UnreadableSectors.h"
#include "device/PartitionDevice.h"
#include "device/SectorSizeDevice.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSQuickSearch.h"
#include "ntfs/NTFSSearchInfo.h"

namespace {

bool IsRecordNumber(int64_t id) { return id >= 0; }
int64_t RecordNumberOf(int64_t id) {
  return static_cast<int64_t>(static_cast<uint64_t>(id) & ntfs_bytes::kRecordNumberMask);
}

void CloseAndRelease(IStorageDevice* device) {
  if (device == nullptr) return;
  device->Close();
  device->Release();
}

// Undoes a record's update sequence in place for as long as it lives, and
// puts it back: the bytes stay as they lie for whoever reads them next.
class InPlaceFixup {
 public:
  InPlaceFixup(uint8_t* record, int bytes)
      : m_record(record), m_bytes(bytes), m_undone(CNTFSFileRecord::UnfixupFileRecord(record, bytes)) {}
  ~InPlaceFixup() {
    if (m_undone) CNTFSFileRecord::FixupFileRecord(m_record, m_bytes);
  }
  InPlaceFixup(const InPlaceFixup&) = delete;
  InPlaceFixup& operator=(const InPlaceFixup&) = delete;
  bool Undone() const { return m_undone; }

 private:
  uint8_t* m_record;
  int m_bytes;
  bool m_undone;
};

}  // namespace

struct CNTFSAllocationJudge::Volume {
  // Released after the volume that reads through them.
  std::unique_ptr<CSectorSizeDevice> view;
  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> window{nullptr, CloseAndRelease};
  IStorageDevice* device = nullptr;  // the volume from its first sector
  int64_t start = 0;                 // the volume's first sector, in the record's sectors
  uint64_t startByte = 0;            // the same, in bytes of the device
  uint64_t recordClusterBytes = 0;
  CNTFSQuickSearch volume;
};

CNTFSAllocationJudge::CNTFSAllocationJudge(std::shared_ptr<Volume> volume) : m_volume(std::move(volume)) {
  if (CNTFSClusterBitmap* bitmap = m_volume->volume.GetClusterBitmap()) {
    m_bitmap = std::make_unique<CNTFSClusterBitmap::Reader>(*bitmap);
  }
}

CNTFSAllocationJudge::~CNTFSAllocationJudge() = default;

std::unique_ptr<CNTFSAllocationJudge> CNTFSAllocationJudge::Open(IStorageDevice* device,
                                                                 const CSearchedPartitionInfo& record) {
  if (device == nullptr || record.GetFirstDataSector() < 0) return nullptr;
  std::shared_ptr<Volume> volume;
  try {
    volume = std::make_shared<Volume>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  IStorageDevice* on = device;
  // The record counts sectors of its own size: read the device so.
  if (record.GetSectorSize() != device->GetSectorSize()) {
    if (!CSectorSizeDevice::IsUsableSectorSize(record.GetSectorSize())) return nullptr;
    volume->view.reset(new (std::nothrow) CSectorSizeDevice(device, record.GetSectorSize(), 0));
    if (volume->view == nullptr) return nullptr;
    on = volume->view.get();
  }
  const int64_t start = record.GetFirstDataSector();
  const int64_t total = on->GetTotalSectors();
  if (start >= total) return nullptr;
  volume->start = start;
  volume->startByte = static_cast<uint64_t>(start) * record.GetSectorSize();
  volume->recordClusterBytes = uint64_t{record.GetSectorsperCluster()} * record.GetSectorSize();
  volume->device = on;
  if (start != 0) {
    volume->window.reset(CreatePartitionDevice(on, start, total - start));
    if (volume->window == nullptr || volume->window->Open() == 0) return nullptr;
    volume->device = volume->window.get();
  }
  if (volume->volume.OpenVolume(volume->device) != 0) return nullptr;
  std::unique_ptr<CNTFSAllocationJudge> judge(new (std::nothrow) CNTFSAllocationJudge(std::move(volume)));
  return judge;
}

std::unique_ptr<IAllocationJudge> CNTFSAllocationJudge::Share() {
  std::unique_ptr<CNTFSAllocationJudge> judge(new (std::nothrow) CNTFSAllocationJudge(m_volume));
  if (judge != nullptr) judge->m_ownEntryRequired = m_ownEntryRequired;
  return judge;
}

uint8_t* CNTFSAllocationJudge::RecordAt(int64_t number, int64_t* sector) {
  const CNTFSQuickSearch& volume = m_volume->volume;
  const uint32_t recordBytes = volume.GetGeometry().GetFileRecordBytes();
  const uint32_t spr = volume.GetSectorsPerFileRecord();
  const uint32_t rps = volume.GetFileRecordsPerSector();
  // Several records share a sector when they are smaller than it.
  const bool shared = spr == 0;
  *sector = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
      number, static_cast<uint8_t>(volume.GetSectorsPerCluster()), 0, &volume.GetMFTDataRunList(),
      static_cast<uint8_t>(spr), rps);
  if (*sector < 0) return nullptr;
  uint8_t* sectors = SectorsAt(*sector, shared ? 1 : spr);
  if (sectors == nullptr) return nullptr;
  return sectors + (shared ? size_t(number % rps) * recordBytes : 0);
}

bool CNTFSAllocationJudge::ReadRecord(int64_t number, Record& out) {
  const CNTFSQuickSearch& volume = m_volume->volume;
  IStorageDevice& device = *m_volume->device;
  const CNTFSGeometry& geometry = volume.GetGeometry();
  const uint32_t recordBytes = geometry.GetFileRecordBytes();
  const uint32_t spr = volume.GetSectorsPerFileRecord();
  const uint32_t rps = volume.GetFileRecordsPerSector();
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
      record, recordBytes, sector, static_cast<uint8_t>(volume.GetSectorsPerCluster()), 0, device,
      &volume.GetMFTDataRunList(), static_cast<uint8_t>(spr), rps);
  CNTFSMultiFileRecord set(record, recordBytes, sector, &device, extensions.get(), number);
  int64_t parent = -1;
  out.properties.reset(CNTFSFilePropertiesBuilder::BuildFileProperties(sector, set, geometry.GetClusterBytes(), &parent,
                                                                       nullptr, geometry.GetVolumeBytes()));
  if (out.properties == nullptr) return false;
  out.parent = info.GetFileRecordNumberofParentDirectory() != -1 ? info.GetFileRecordNumberofParentDirectory() : parent;
  out.sector = sector;
  return true;
}

uint8_t* CNTFSAllocationJudge::SectorsAt(int64_t sector, int64_t count) {
  IStorageDevice& device = *m_volume->device;
  const uint32_t sectorSize = device.GetSectorSize();
  const int64_t total = device.GetTotalSectors();
  if (sector < 0 || count <= 0 || sector > total - count || sectorSize == 0) return nullptr;
  if (sector >= m_cachedFirst && sector + count <= m_cachedFirst + m_cachedCount) {
    return Lost(sector, count) ? nullptr : m_cache.data() + size_t(sector - m_cachedFirst) * sectorSize;
  }
  // Records asked for in the order they lie (as a load judges them) are read
  // ahead in pieces, each once, and read where they lie in them; one asked
  // for out of that order (a recovery's, file by file as they are copied) is
  // read alone, not with a piece it would not use.
  const int64_t piece = std::max<int64_t>(count, kReadAheadBytes / sectorSize);
  const int64_t end = m_cachedFirst + m_cachedCount;
  const bool onward = m_cachedCount > 0 && sector >= end && sector - end < piece;
  const int64_t ahead = onward ? piece : count;
  m_cachedCount = std::min<int64_t>(ahead, total - sector);
  m_cache.resize(size_t(m_cachedCount) * sectorSize);
  m_cachedFirst = sector;
  m_cachedLost.clear();
  // A piece read around sectors the medium could not give is kept: only
  // the records on them are not there.
  if (unreadable::ReadAround(&device, m_cache.data(), sector, m_cachedCount, m_cachedLost)) {
    return Lost(sector, count) ? nullptr : m_cache.data();
  }
  m_cachedCount = 0;
  m_cachedFirst = -1;
  if (ahead == count) return nullptr;
  // A piece that does not read whole: the record alone.
  m_record.resize(size_t(count) * sectorSize);
  return device.ReadSector(m_record.data(), sector, count) != 0 ? m_record.data() : nullptr;
}

bool CNTFSAllocationJudge::Lost(int64_t sector, int64_t count) const {
  for (const auto& [first, length] : m_cachedLost) {
    if (first < sector + count && sector < first + length) return true;
  }
  return false;
}

bool CNTFSAllocationJudge::Describes(CFileNode& node, Record& now) {
  // Read where the scan read it: a table that moved is another volume's.
  if (now.properties == nullptr || m_volume->start + now.sector != node.GetMetadataStartPosition()) return false;
  CNTFSFileProperties& properties = *now.properties;
  // Where nothing tells that the volume is the one scanned, a record of a
  // volume formatted again and filled the same way gives the same name,
  // number and place: its times are its own.
  if (m_ownEntryRequired && (properties.GetCreationTime() != node.GetCreationTime() ||
                             properties.GetModificationTime() != node.GetModificationTime())) {
    return false;
  }
  if (node.GetCreationTime() != 0 && properties.GetCreationTime() == node.GetCreationTime()) return true;
  const char* name = properties.GetFileName();
  const char* saved = node.GetFileName();
  const bool sameName = name != nullptr && saved != nullptr &&
                        (std::strcmp(name, saved) == 0 || CFileNode::FilterFileNameByDot(name) == saved);
  return sameName && IsRecordNumber(node.GetParentNodeID()) && now.parent == RecordNumberOf(node.GetParentNodeID());
}

bool CNTFSAllocationJudge::ForEachGiven(uint64_t begin, uint64_t end, const GivenPiece& given) {
  const CNTFSGeometry& geometry = m_volume->volume.GetGeometry();
  if (m_bitmap == nullptr || geometry.GetClusterBytes() == 0) return false;
  const ClusterHeap heap{m_volume->startByte, geometry.GetClusterBytes(), 0,
                         geometry.GetVolumeBytes() / geometry.GetClusterBytes()};
  // A bit the medium lost may be set: no record vouches for a carved file.
  ForEachGivenCluster(
      begin, end, heap,
      [this](uint64_t cluster) {
        const int inUse = m_bitmap->AnyInUse(static_cast<int64_t>(cluster), 1);
        return inUse == 1 || inUse == CNTFSClusterBitmap::kLost;
      },
      given);
  return true;
}

int CNTFSAllocationJudge::RunsInUse(IDataRunList* runs) {
  if (m_bitmap == nullptr) return -1;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    // Runs count clusters from the volume's start, as $Bitmap does. Bits
    // the medium lost may be set: the record must vouch for the file.
    const int inUse = m_bitmap->AnyInUse(run->start, run->length);
    if (inUse == 1 || inUse == CNTFSClusterBitmap::kLost) return 1;
  }
  return 0;
}

bool CNTFSAllocationJudge::RunsStillHeld(IDataRunList* saved, const JoinedRuns& now) {
  JoinRuns(saved, m_saved);
  return RunsBeginWith(m_saved, now);
}

bool CNTFSAllocationJudge::Glance(int64_t number, Glimpse& out) {
  const uint32_t recordBytes = m_volume->volume.GetGeometry().GetFileRecordBytes();
  int64_t sector = -1;
  uint8_t* record = RecordAt(number, &sector);
  if (record == nullptr) return false;
  const int bytes = static_cast<int>(recordBytes);
  // The header and the update sequence as the full test takes them; the
  // attributes only as far as this needs them, each bounded by the record.
  if (!CNTFSFileRecordHeader::IsValid(record, bytes - bytes % 512)) return false;
  const InPlaceFixup fixed(record, bytes);
  if (!fixed.Undone() || CNTFSFileRecord::IsExtendFileRecord(record)) return false;
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
      // Its creation and modification times.
      if (nonResident || ondisk::Le32(attribute + 0x10) < 16 || uint32_t{value} + 16 > length) return false;
      out.creation = ondisk::Le64(attribute + value);
      out.modification = ondisk::Le64(attribute + value + 8);
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
  // Clusters $Bitmap leaves free are nobody's: no record is read for them
  // (unless the file must be described by its own). The runs count in the
  // volume's clusters only while they are the size the scan saw.
  int inUse = -1;
  if (!resident) {
    inUse = m_volume->volume.GetGeometry().GetClusterBytes() == m_volume->recordClusterBytes ? RunsInUse(runs) : -1;
    if (inUse == 0 && !m_ownEntryRequired) return false;
  }
  const bool numbered = IsRecordNumber(node.GetCurrentNodeID());
  const int64_t number = RecordNumberOf(node.GetCurrentNodeID());
  // Most records are as the scan read them: their creation time tells them
  // at a glance, and their runs lie in the record itself.
  Glimpse& glimpse = m_glimpse;
  if (numbered && node.GetCreationTime() != 0 && Glance(number, glimpse) &&
      m_volume->start + glimpse.sector == node.GetMetadataStartPosition() &&
      glimpse.creation == node.GetCreationTime() &&
      (!m_ownEntryRequired || glimpse.modification == node.GetModificationTime())) {
    if (resident || inUse <= 0) return false;
    if (!glimpse.inUse) return true;
    if (!glimpse.resident) {
      m_now.clear();
      for (const CDataRun& run : glimpse.runs.GetRuns()) JoinRun(run.IsSparse() ? -1 : run.LCN, run.Length, m_now);
      return !RunsStillHeld(runs, m_now);
    }
  }
  Record now;
  const bool read = numbered && ReadRecord(number, now);
  const bool described = read && Describes(node, now);
  // Resident content is read from the record itself; free clusters, or
  // clusters nothing tells the state of, keep a file that must be described
  // by its record only while it is.
  if (resident || inUse == 0) return !described;
  if (inUse < 0) return m_ownEntryRequired ? !described : read && now.inUse && !described;
  if (!described || !now.inUse) return true;
  std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> held(now.properties->GetDataRunList(), [](IDataRunList* list) {
    if (list != nullptr) list->Release();
  });
  JoinRuns(held.get(), m_now);
  return !RunsStillHeld(runs, m_now);
}

std::unique_ptr<IAllocationJudge> CreateNTFSAllocationJudge(IStorageDevice* device,
                                                            const CSearchedPartitionInfo& record) {
  return CNTFSAllocationJudge::Open(device, record);
}
