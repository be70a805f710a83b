#include "app/RestoreFileNode.h"

#include <QString>

#include <new>

#include "DataRunList.h"
#include "OnDiskBytes.h"
#include "RunBounds.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "app/ScanResultRecords.h"
#include "base/TextConvert.h"
#include "copyout/CCompressFileReader.h"
#include "device/PartitionDevice.h"
#include "hfsplus/CHFSPlusCompressFileReader.h"
#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"

namespace SaveRestoreResult {

namespace {

// The fixed part of a file record up to its runs, and after its name.
constexpr size_t kHeadBytes = 66;
constexpr size_t kTailBytes = 18;

// Content kept inside a metadata record: no such record is larger.
constexpr uint64_t kMaxResidentBytes = 64 * 1024;

// The latest _FILETIME a clock can show; anything above is no time.
constexpr uint64_t kMaxFileTime = INT64_MAX;

bool IsFlag(uint32_t value) { return value <= 1; }

// Names shown and turned into paths must be UTF-8; bytes that are not become
// U+FFFD.
std::string Utf8Name(std::string name) {
  if (IsValidUtf8(name.data(), name.size())) return name;
  const QByteArray repaired = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).toUtf8();
  return std::string(repaired.constData(), static_cast<size_t>(repaired.size()));
}

}  // namespace

std::shared_ptr<ReopenedHFSPlusVolume> ReopenedHFSPlusVolume::Open(IStorageDevice* device, int64_t startSector,
                                                                   IProgress* stop) {
  if (device == nullptr || startSector < 0 || startSector >= device->GetTotalSectors()) return nullptr;
  std::shared_ptr<ReopenedHFSPlusVolume> reopened(new (std::nothrow) ReopenedHFSPlusVolume());
  if (reopened == nullptr) return nullptr;
  reopened->m_start = startSector;
  IStorageDevice* on = device;
  if (startSector != 0) {
    reopened->m_window = CreatePartitionDevice(device, startSector, device->GetTotalSectors() - startSector);
    if (reopened->m_window == nullptr || reopened->m_window->Open() == 0) return nullptr;
    on = reopened->m_window;
  }
  // Without its catalog the volume ends its construction with error 6 but
  // keeps what compressed files need: the header and the extents and
  // attributes trees.
  reopened->m_volume.reset(new (std::nothrow) CHFSPlusVolume(on, true));
  CHFSPlusVolume* volume = reopened->m_volume.get();
  if (volume == nullptr || volume->GetVolumeHeader() == nullptr) return nullptr;
  // Deleted files the scan found through the journal keep their attributes
  // and extents only there: the journal is swept as the scan swept it (the
  // catalog's records, without a catalog to compare with, are not kept).
  if (CHFSPlusJournal* journal = volume->GetJournal(); journal != nullptr && journal->IsUsable()) {
    CHFSPlusQuickFileSystemSearchProgress quiet(stop);
    journal->GetDeleteRecord(&quiet, volume->GetJournalCatalog(), volume->GetJournalExtents(),
                             volume->GetJournalAttributes());
  }
  return reopened;
}

ReopenedHFSPlusVolume::~ReopenedHFSPlusVolume() {
  m_volume.reset();
  if (m_window != nullptr) {
    m_window->Close();
    m_window->Release();
  }
}

RestoreFileNode::RestoreFileNode() {
  SetCurrentNodeID(0);
  SetParentNodeID(0);
}

RestoreFileNode::RestoreFileNode(const RestoreFileNode& other)
    : CFileNode(other),
      m_name(other.m_name),
      m_size(other.m_size),
      m_attribute(other.m_attribute),
      m_creationTime(other.m_creationTime),
      m_modificationTime(other.m_modificationTime),
      m_lastAccessTime(other.m_lastAccessTime),
      m_directory(other.m_directory),
      m_deleted(other.m_deleted),
      m_impossible(other.m_impossible),
      m_timeDropped(other.m_timeDropped),
      m_hfsVolume(other.m_hfsVolume),
      m_judgedBy(other.m_judgedBy) {}

RestoreFileNode::~RestoreFileNode() = default;

const char* RestoreFileNode::GetFileName() { return m_name.c_str(); }
uint64_t RestoreFileNode::GetFileSize() { return m_size; }
uint32_t RestoreFileNode::GetAttribute() { return m_attribute; }
uint64_t RestoreFileNode::GetCreationTime() { return m_creationTime; }
uint64_t RestoreFileNode::GetModificationTime() { return m_modificationTime; }
uint64_t RestoreFileNode::GetLastAccessTime() { return m_lastAccessTime; }
int RestoreFileNode::IsDirectory() { return m_directory != 0 ? 1 : 0; }
int RestoreFileNode::IsDeleted() { return static_cast<int>(m_deleted); }
void RestoreFileNode::MarkDeleted() { m_deleted = 1; }
void RestoreFileNode::FilterFileNameByDot() {}

IFileNode* RestoreFileNode::Clone() { return new (std::nothrow) RestoreFileNode(*this); }

IFileReader* RestoreFileNode::CreateCompressFileReader(void* /*privateData*/) {
  // The searcher that found the node is the one of its tree's root.
  IFileNode* top = this;
  for (int steps = 0; top->GetParent() != nullptr && steps < (1 << 24); ++steps) top = top->GetParent();
  if (top == this) return nullptr;
  switch (top->GetSearcheType()) {
    case SEARCHER_TYPE_HFSPLUS: {
      if (m_hfsVolume == nullptr) return nullptr;
      auto* reader = new (std::nothrow) CHFSPlusCompressFileReader(m_hfsVolume->Volume(), this);
      if (reader != nullptr && !reader->Open()) {
        reader->Release();
        return nullptr;
      }
      return reader;
    }
    case SEARCHER_TYPE_NTFS:
      return new (std::nothrow) CCompressFileReader();
    default:
      return nullptr;
  }
}

RestoreFileNode* RestoreFileNode::ReadFileNode(RecordReader& reader, RestoreFileNode* node) {
  std::unique_ptr<RestoreFileNode> made;
  if (node == nullptr) {
    made.reset(new RestoreFileNode());
    node = made.get();
  }
  uint8_t head[kHeadBytes];
  reader.Read(head, sizeof head, "file record");
  node->SetCurrentNodeID(ondisk::LeI64(head));
  node->SetParentNodeID(ondisk::LeI64(head + 8));
  node->m_size = ondisk::Le64(head + 16);
  node->m_attribute = ondisk::Le16(head + 24);
  node->m_creationTime = ondisk::Le64(head + 26);
  node->m_modificationTime = ondisk::Le64(head + 34);
  node->m_lastAccessTime = ondisk::Le64(head + 42);
  node->m_directory = ondisk::Le32(head + 50);
  node->m_deleted = ondisk::Le32(head + 54);
  const uint32_t runCount = ondisk::Le32(head + 58);
  const uint32_t resident = ondisk::Le32(head + 62);
  node->m_impossible = !IsFlag(node->m_directory) || !IsFlag(node->m_deleted) || !IsFlag(resident);
  node->m_timeDropped = false;
  for (uint64_t* time : {&node->m_creationTime, &node->m_modificationTime, &node->m_lastAccessTime}) {
    if (*time > kMaxFileTime) {
      *time = 0;
      node->m_timeDropped = true;
    }
  }
  // A count the frame cannot hold is damage before anything is allocated.
  if (uint64_t{runCount} * kRunBytes > reader.Left()) throw CRecordDamage{"run count"};
  if (runCount != 0) {
    auto* list = new CDataRunList(resident);
    node->SetDataRunList(list);
    for (uint32_t i = 0; i < runCount; ++i) {
      uint8_t raw[kRunBytes];
      reader.Read(raw, sizeof raw, "data run");
      DataRun run;
      run.start = ondisk::LeI64(raw);
      run.length = ondisk::LeI64(raw + 8);
      list->AddDataRun(&run);
    }
  } else {
    node->SetDataRunList(nullptr);
  }
  const uint32_t nameLength = reader.U32("name length");
  node->m_name = Utf8Name(reader.Text(nameLength, kMaxFileNameBytes, "name"));
  uint8_t tail[kTailBytes];
  reader.Read(tail, sizeof tail, "file record");
  // tail + 0: the shown flag, whose shown bit is deliberately not applied
  // (see the header); its upper bits carry the scan's doubts.
  const uint32_t shown = ondisk::Le32(tail);
  node->SetContentUnsure((shown & kContentUnsureFlag) != 0);
  node->SetSizeDamaged((shown & kSizeDamagedFlag) != 0);
  node->SetBelongedPartition(ondisk::Le16(tail + 4));
  node->SetMetaDataSector(ondisk::LeI64(tail + 6));
  node->SetCompressedFlag(ondisk::Le32(tail + 14));
  constexpr uint32_t kShownBits = kShownFlag | kContentUnsureFlag | kSizeDamagedFlag;
  if ((shown & ~kShownBits) != 0 || !IsFlag(ondisk::Le32(tail + 14))) node->m_impossible = true;
  made.release();
  return node;
}

RecordVerdict RestoreFileNode::Judge(std::shared_ptr<const CSearchedPartitionInfo> judgedBy, const DeviceExtent& device,
                                     bool decodedSize) {
  m_judgedBy = std::move(judgedBy);
  const CSearchedPartitionInfo* partition = m_judgedBy.get();
  if (m_impossible) return RecordVerdict::kLeftOut;
  bool cut = m_timeDropped;
  IDataRunList* list = GetDataRunList();
  if (list != nullptr && list->IsResident() != 0) {
    // The first run's start is the sector of the record that keeps the
    // content, in the partition record's sectors (a complete scan counts a
    // volume of 512-byte sectors in them on a disk of larger ones): copy-out
    // reads it there, and through no record at all when there is none.
    const DataRun* first = list->GetFirst();
    uint64_t byte = 0;
    if (partition == nullptr || first == nullptr || first->start < 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(first->start), uint64_t{partition->GetSectorSize()}, &byte) ||
        (device.bytes != 0 && byte >= device.bytes)) {
      return RecordVerdict::kLeftOut;
    }
    if (m_directory == 0 && m_size > kMaxResidentBytes) {
      m_size = kMaxResidentBytes;
      cut = true;
    }
  } else {
    uint64_t held = 0;
    if (list != nullptr && list->GetFirst() != nullptr) {
      if (partition == nullptr) return RecordVerdict::kLeftOut;
      VolumeExtent volume;
      volume.clusterBytes = uint64_t{partition->GetSectorsperCluster()} * partition->GetSectorSize();
      if (partition->GetFirstDataSector() < 0 ||
          __builtin_mul_overflow(static_cast<uint64_t>(partition->GetFirstDataSector()),
                                 uint64_t{partition->GetSectorSize()}, &volume.firstDataByte)) {
        return RecordVerdict::kLeftOut;
      }
      volume.endByte = device.bytes;
      volume.volumeBytes = device.bytes;
      std::vector<DataRun> runs;
      for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) runs.push_back(*run);
      const FittedRuns fitted = FitRunsToVolume(runs, volume);
      if (fitted.cut) {
        auto* kept = new CDataRunList(0);
        for (const DataRun& run : runs) kept->AddDataRun(&run);
        SetDataRunList(kept);
        cut = true;
      }
      held = fitted.heldBytes;
    }
    if (decodedSize) held = device.bytes != 0 ? device.bytes : UINT64_MAX;
    if (m_directory == 0 && m_size > held) {
      m_size = held;
      cut = true;
    }
  }
  if (!cut) return RecordVerdict::kSound;
  SetSizeDamaged(true);
  return RecordVerdict::kCut;
}

int RestoreFileNode::WriteFileNode(CFileNode* node, IRSData* archive) {
  std::vector<uint8_t> bytes;
  EncodeFileRecord(node, bytes);
  return WriteRecord(archive, bytes) ? 1 : 0;
}

int RestoreFileNode::WriteSystemNode(IFilesystemNode* root, IRSData* archive) {
  std::vector<uint8_t> bytes;
  EncodeSystemRecord(root, bytes);
  return WriteRecord(archive, bytes) ? 1 : 0;
}

_tagSearcherType RestoreSystemNode::GetSearcheType() const { return m_searcherType; }
const char* RestoreSystemNode::GetVolumeName() const { return m_volumeName.c_str(); }

RestoreSystemNode* RestoreSystemNode::ReadSystemNode(RecordReader& reader) {
  std::unique_ptr<RestoreSystemNode> node(new RestoreSystemNode());
  ReadFileNode(reader, node.get());
  // A tree is not shown without its root.
  if (node->HasImpossibleFields()) throw CRecordDamage{"root record"};
  const uint32_t type = reader.U32("searcher type");
  if (type < SEARCHER_TYPE_HFSPLUS || type > SEARCHER_TYPE_NTFS) throw CRecordDamage{"searcher type"};
  node->m_searcherType = static_cast<_tagSearcherType>(type);
  const uint32_t length = reader.U32("volume-name length");
  node->m_volumeName = Utf8Name(reader.Text(length, kMaxVolumeNameBytes, "volume name"));
  return node.release();
}

}  // namespace SaveRestoreResult
