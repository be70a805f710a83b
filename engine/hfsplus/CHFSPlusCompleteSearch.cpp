#include "hfsplus/CHFSPlusCompleteSearch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "SectorLender.h"
#include "device/PartitionDevice.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusError.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Be64;
using ondisk::Le32;

namespace {

constexpr uint32_t kSlice = 512;
constexpr uint32_t kCatalogIDsReused = 0x1000;  // volume attribute bit 12
// The journal info block: its fields end at byte 180, then the block is
// filled with 0xDB.
constexpr size_t kJournalInfoOffset = 36;
constexpr size_t kJournalInfoSize = 44;
constexpr size_t kJournalInfoReserved = 52;
constexpr size_t kJournalInfoEnd = 180;
constexpr uint8_t kJournalInfoFill = 0xDB;
constexpr uint32_t kJournalMagic = 0x4A4E4C78;  // "JNLx"
constexpr uint32_t kJournalEndian = 0x12345678;
// The private-data folder as catalog names show (its leading NULs dropped).
constexpr const char* kPrivateDataName = "HFS+ Private Data";

uint64_t VolumeIdentifier(const HFSPlusVolumeHeader& header) {
  return (uint64_t{header.finderInfo[6]} << 32) | header.finderInfo[7];
}

// The alternate header and the copies a journal keeps are the same volume's
// header: same volume identifier, or the same creation date where one of
// the two has no identifier. Two volumes formatted in the same second keep
// their own identifiers and stay two volumes.
bool SameVolume(const HFSPlusVolumeHeader& a, const HFSPlusVolumeHeader& b) {
  const uint64_t idA = VolumeIdentifier(a);
  const uint64_t idB = VolumeIdentifier(b);
  if (idA != 0 && idA == idB) return true;
  return a.createDate == b.createDate && (idA == 0 || idB == 0);
}

bool AllBytes(const uint8_t* p, size_t n, uint8_t value) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

}  // namespace

void CompleteSearchPatition::DeviceReleaser::operator()(IStorageDevice* device) const {
  device->Close();
  device->Release();
}

CompleteSearchPatition::CompleteSearchPatition() = default;

// The volume reads through the virtual device: it goes first.
CompleteSearchPatition::~CompleteSearchPatition() { volume.reset(); }

// Hands the nodes of a volume's own walk on with the volume's partition
// index, and counts them for the volume.
class CHFSPlusCompleteFileSystemSearchController::IndexingBuilder final : public IDirecotryTreeBuilder {
 public:
  IndexingBuilder(CHFSPlusCompleteFileSystemSearchController& owner, CompleteSearchPatition& record)
      : m_owner(owner), m_inner(owner.m_builder), m_record(record) {}
  int Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) override {
    return m_inner->Initialize(description, tree, filter);
  }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    auto* base = dynamic_cast<CFileNode*>(node);
    if (base == nullptr) return 0;
    base->SetBelongedPartition(static_cast<uint16_t>(m_record.index));
    return m_owner.HandOn(base, m_record);
  }
  int AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) override {
    return m_inner->AddSearcherInfo(type, rootNodeID);
  }
  void FlashBuild(_tagSearcherType type) override { m_inner->FlashBuild(type); }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override {
    m_inner->SetPartitonDevice(partition, device);
  }

 private:
  CHFSPlusCompleteFileSystemSearchController& m_owner;
  IDirecotryTreeBuilder* m_inner;
  CompleteSearchPatition& m_record;
};

// A volume's walk inside the block pass asks whether to go on but reports
// nothing: the pass's bar is the driver's.
class CHFSPlusCompleteFileSystemSearchController::QuietProgress final : public IProgress {
 public:
  explicit QuietProgress(IProgress* sink) : m_sink(sink) {}
  int UpdateProgress(_PROGRESS_INFO*) override { return 1; }
  int Continued() override { return m_sink == nullptr || m_sink->Continued() != 0; }
  int shouldBuild() override { return 1; }

 private:
  IProgress* m_sink;
};

CHFSPlusCompleteFileSystemSearchController::CHFSPlusCompleteFileSystemSearchController()
    : m_catalogReader(nullptr, nullptr) {}

CHFSPlusCompleteFileSystemSearchController::~CHFSPlusCompleteFileSystemSearchController() = default;

void CHFSPlusCompleteFileSystemSearchController::SetDevice(IStorageDevice* device) {
  m_device = device;
  m_sectorSize = 0;
  m_totalSectors = 0;
  if (device == nullptr) return;
  const uint32_t size = device->GetSectorSize();
  // Headers are looked for in 512-byte slices of whole sectors.
  if (size >= kSlice && size % kSlice == 0 && size <= 65536) m_sectorSize = size;
  m_totalSectors = std::max<int64_t>(device->GetTotalSectors(), 0);
}

void CHFSPlusCompleteFileSystemSearchController::PreparetoSearch() {
  m_partitions.clear();
  m_lastError = 0;
  m_privateDataGiven = false;
  if (m_builder != nullptr) m_builder->AddSearcherInfo(SEARCHER_TYPE_HFSPLUS, hfsplus::kRootFolderID);
  // A protective MBR says the disk is GUID-partitioned: its first partition
  // usually starts 20 KiB in.
  int64_t guess = 0;
  if (m_device != nullptr && m_sectorSize != 0 && m_totalSectors > 0) {
    std::vector<uint8_t> first(m_sectorSize);
    if (m_device->ReadSector(first.data(), 0, 1) != 0 && first[450] == 0xEE && first[510] == 0x55 &&
        first[511] == 0xAA) {
      guess = int64_t{(2 * m_sectorSize + 20479) / 4096 * 4096 / m_sectorSize};
    }
  }
  auto record = std::make_unique<CompleteSearchPatition>();
  record->start = std::min(guess, m_totalSectors);
  record->count = m_totalSectors - record->start;
  record->index = 0;
  m_partitions.push_back(std::move(record));
}

ResultCode CHFSPlusCompleteFileSystemSearchController::AnalyzeBlock(int64_t firstSector, int64_t sectorCount) {
  if (m_device == nullptr) return m_lastError = HFSPLUS_ERROR(result::kErrNotInitialized);
  if (m_sectorSize == 0 || m_partitions.empty() || firstSector < 0 || sectorCount <= 0 ||
      firstSector >= m_totalSectors) {
    return 0;
  }
  sectorCount = std::min(sectorCount, m_totalSectors - firstSector);
  const size_t S = m_sectorSize;
  m_blockFirst = firstSector;
  m_blockBytes = static_cast<size_t>(sectorCount) * S;
  // The scan's cache lends a block read whole, in place; any other is read
  // into a buffer of our own.
  m_blockData = BorrowSectors(m_device, m_sectorSize, firstSector, sectorCount);
  if (m_blockData == nullptr) {
    try {
      m_block.resize(m_blockBytes);
    } catch (const std::bad_alloc&) {
      return m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    }
    m_blockData = m_block.data();
    if (m_device->ReadSector(m_block.data(), firstSector, sectorCount) == 0) {
      // One unreadable sector costs only itself: it reads as zeros, which no
      // test takes for anything.
      for (int64_t i = 0; i < sectorCount; ++i) {
        uint8_t* sector = m_block.data() + static_cast<size_t>(i) * S;
        if (m_device->ReadSector(sector, firstSector + i, 1) == 0) std::memset(sector, 0, S);
      }
    }
  }
  const size_t end = m_blockBytes;
  size_t at = 0;
  while (at < end) {
    const int64_t s = firstSector + static_cast<int64_t>(at / S);
    if (at % S == 0) {
      const uint8_t* sector = m_blockData + at;
      if (TestVolumeHeader(s, sector) || TestJournalInfoBlock(s, sector) || TestJournalHeader(s, sector)) {
        at += S;
        continue;
      }
    }
    // Nodes lie at multiples of 512 bytes from their volume's start, which
    // may be inside a sector of a larger size.
    const uint32_t node = TestNode(s, at);
    at += node != 0 ? node : kSlice;
  }
  m_blockData = nullptr;  // a lent block is good for this call only
  return 0;
}

void CHFSPlusCompleteFileSystemSearchController::EndBlockPass() {
  std::vector<uint8_t>().swap(m_block);
  std::vector<uint8_t>().swap(m_nodeBytes);
}

// ---------------------------------------------------------------------------
// The per-sector tests

bool CHFSPlusCompleteFileSystemSearchController::TestVolumeHeader(int64_t s, const uint8_t* bytes) {
  int valid = 0;
  const uint8_t* found = nullptr;
  size_t foundAt = 0;
  for (size_t at = 0; at < m_sectorSize; at += kSlice) {
    const uint8_t* slice = bytes + at;
    if (slice[0] != 'H' || (slice[1] != '+' && slice[1] != 'X')) continue;
    if (!CHFSPlusVolume::IsValidVolumeHeader(slice, kSlice)) continue;
    HFSPlusVolumeHeader header;
    hfsplus::LoadVolumeHeader(slice, header);
    std::printf("Find VolumeHeader SectorNumber[%llx],VolumeID[%llx]\n", static_cast<unsigned long long>(s),
                static_cast<unsigned long long>(VolumeIdentifier(header)));
    ++valid;
    found = slice;
    foundAt = at;
  }
  // Two headers in one sector cannot both be where a volume put its own.
  if (valid == 1) GiveVolumeHeader(found, s, static_cast<uint64_t>(s) * m_sectorSize + foundAt);
  return valid != 0;
}

bool CHFSPlusCompleteFileSystemSearchController::TestJournalInfoBlock(int64_t s, const uint8_t* bytes) {
  const size_t S = m_sectorSize;
  if (bytes[kJournalInfoEnd] != kJournalInfoFill || bytes[S - 1] != kJournalInfoFill) return false;
  if (!AllBytes(bytes + kJournalInfoEnd, S - kJournalInfoEnd, kJournalInfoFill)) return false;
  if (!ondisk::AllZero(bytes + kJournalInfoReserved, kJournalInfoEnd - kJournalInfoReserved)) return false;
  const uint64_t offset = Be64(bytes + kJournalInfoOffset);
  const uint64_t size = Be64(bytes + kJournalInfoSize);
  if (offset % 512 != 0 || size % 512 != 0) return false;
  std::printf("Find JournalInfoBlock:0x%llx\n", static_cast<unsigned long long>(s));
  CompleteSearchPatition& last = *m_partitions.back();
  last.hasJournalInfo = true;
  last.journalOffset = offset;
  last.journalSize = size;
  last.journalInfoSector = s;
  return true;
}

bool CHFSPlusCompleteFileSystemSearchController::TestJournalHeader(int64_t s, const uint8_t* bytes) {
  // Journal headers are written in the byte order of the machine that wrote
  // them.
  const bool little = Le32(bytes) == kJournalMagic && Le32(bytes + 4) == kJournalEndian;
  const bool big = Be32(bytes) == kJournalMagic && Be32(bytes + 4) == kJournalEndian;
  if (!little && !big) return false;
  std::printf("Find JournalHeader:0x%llx\n", static_cast<unsigned long long>(s));
  return true;
}

uint32_t CHFSPlusCompleteFileSystemSearchController::TestNode(int64_t s, size_t at) {
  const uint8_t* d = m_blockData + at;
  const auto kind = static_cast<int8_t>(d[8]);
  const uint8_t height = d[9];
  if (Be16(d + 12) != 0) return 0;
  const bool leaf = kind == hfsplus::kLeafNode && height == 1;
  const bool header = kind == hfsplus::kHeaderNode && height == 0;
  if (!leaf && !header) return 0;
  const uint8_t* bytes = nullptr;
  const size_t available = NodeBytes(at, &bytes);
  // The smallest size that holds a whole node: a larger one would take in
  // the nodes that follow it.
  for (uint32_t size = kSlice; size <= kMaxNodeBytes && size <= available; size *= 2) {
    if (!CHFSPlusBTNode::IsValidNode(bytes, static_cast<uint16_t>(size))) continue;
    if (leaf) AnalyzeNode(s, bytes, size);
    return size;
  }
  return 0;
}

size_t CHFSPlusCompleteFileSystemSearchController::NodeBytes(size_t at, const uint8_t** bytes) {
  const size_t inBlock = m_blockBytes - at;
  if (inBlock >= kMaxNodeBytes) {
    *bytes = m_blockData + at;
    return kMaxNodeBytes;
  }
  // A node that runs past the block's end: the rest comes from the device.
  const size_t S = m_sectorSize;
  m_nodeBytes.assign(kMaxNodeBytes + S, 0);
  std::memcpy(m_nodeBytes.data(), m_blockData + at, inBlock);
  size_t have = inBlock;
  const int64_t next = m_blockFirst + static_cast<int64_t>(m_blockBytes / S);
  const int64_t wanted = static_cast<int64_t>((kMaxNodeBytes - inBlock + S - 1) / S);
  const int64_t sectors = std::min<int64_t>(wanted, m_totalSectors - next);
  if (sectors > 0) {
    if (m_device->ReadSector(m_nodeBytes.data() + have, next, sectors) != 0) {
      have += static_cast<size_t>(sectors) * S;
    } else {
      for (int64_t i = 0; i < sectors && m_device->ReadSector(m_nodeBytes.data() + have, next + i, 1) != 0; ++i) {
        have += S;
      }
    }
  }
  *bytes = m_nodeBytes.data();
  return std::min<size_t>(have, kMaxNodeBytes);
}

// ---------------------------------------------------------------------------
// The list of volumes

int64_t CHFSPlusCompleteFileSystemSearchController::VolumeSectors(const HFSPlusVolumeHeader& header) const {
  const uint64_t bytes = uint64_t{header.totalBlocks} * header.blockSize;
  return m_sectorSize != 0 ? static_cast<int64_t>(bytes / m_sectorSize) : 0;
}

int64_t CHFSPlusCompleteFileSystemSearchController::Clamp(int64_t start, int64_t size) const {
  if (start < 0 || start >= m_totalSectors) return 0;
  return std::max<int64_t>(0, std::min(size, m_totalSectors - start));
}

void CHFSPlusCompleteFileSystemSearchController::GiveVolumeHeader(const uint8_t* raw, int64_t s, uint64_t byte) {
  if (m_partitions.empty()) return;
  HFSPlusVolumeHeader header;
  hfsplus::LoadVolumeHeader(raw, header);
  CompleteSearchPatition& last = *m_partitions.back();
  bool confirmed = false;
  if (!last.header) {
    const int64_t start = PlaceVolume(header, byte, confirmed);
    if (start >= 0) TakeHeader(last, header, s, start, confirmed);
    return;
  }
  for (const auto& record : m_partitions) {
    if (!record->header || !SameVolume(*record->header, header)) continue;
    // A copy of a volume that grew since says the larger size.
    if (header.totalBlocks > record->header->totalBlocks && header.blockSize == record->header->blockSize) {
      record->header->totalBlocks = header.totalBlocks;
      record->count = Clamp(record->start, VolumeSectors(*record->header));
    }
    return;
  }
  if (VolumeSectors(header) >= m_totalSectors || m_partitions.size() >= kMaxPartitions) return;
  const int64_t start = PlaceVolume(header, byte, confirmed);
  if (start < 0) return;
  auto record = std::make_unique<CompleteSearchPatition>();
  record->index = static_cast<uint32_t>(m_partitions.size());
  TakeHeader(*record, header, s, start, confirmed);
  m_partitions.push_back(std::move(record));
}

void CHFSPlusCompleteFileSystemSearchController::TakeHeader(CompleteSearchPatition& record,
                                                            const HFSPlusVolumeHeader& header, int64_t s, int64_t start,
                                                            bool confirmed) {
  record.header = std::make_unique<HFSPlusVolumeHeader>(header);
  record.headerSector = s;
  record.start = start;
  record.count = Clamp(start, VolumeSectors(header));
  record.blockSize = header.blockSize;
  record.startConfirmed = confirmed;
  // A volume looked for before the record had its header may open now.
  record.openTried = false;
}

int64_t CHFSPlusCompleteFileSystemSearchController::PlaceVolume(const HFSPlusVolumeHeader& header, uint64_t byte,
                                                                bool& confirmed) {
  confirmed = false;
  const uint64_t S = m_sectorSize;
  const uint64_t volumeBytes = uint64_t{header.totalBlocks} * header.blockSize;
  // As the volume's own header, 1024 bytes in; as its alternate, 1024 bytes
  // before its end. Only whole sectors from the device's start will do.
  int64_t primary = -1;
  if (byte >= hfsplus::kVolumeHeaderOffset && (byte - hfsplus::kVolumeHeaderOffset) % S == 0) {
    primary = static_cast<int64_t>((byte - hfsplus::kVolumeHeaderOffset) / S);
  }
  int64_t alternate = -1;
  if (volumeBytes >= 2 * hfsplus::kVolumeHeaderOffset) {
    const uint64_t inside = volumeBytes - hfsplus::kVolumeHeaderOffset;
    if (byte >= inside && (byte - inside) % S == 0) alternate = static_cast<int64_t>((byte - inside) / S);
  }
  if (primary >= 0 && CatalogHeaderAt(primary, header)) {
    confirmed = true;
    return primary;
  }
  if (alternate >= 0 && alternate != primary && CatalogHeaderAt(alternate, header)) {
    confirmed = true;
    return alternate;
  }
  return primary;
}

bool CHFSPlusCompleteFileSystemSearchController::CatalogHeaderAt(int64_t start, const HFSPlusVolumeHeader& header) {
  const HFSPlusExtentDescriptor& first = header.catalogFile.extents[0];
  if (start < 0 || first.blockCount == 0 || m_sectorSize == 0) return false;
  const uint64_t S = m_sectorSize;
  const uint64_t extentBytes = uint64_t{first.blockCount} * header.blockSize;
  const unsigned __int128 at =
      static_cast<unsigned __int128>(start) * S + uint64_t{first.startBlock} * header.blockSize;
  if (at % S != 0 || at / S >= static_cast<uint64_t>(m_totalSectors)) return false;
  const int64_t sector = static_cast<int64_t>(at / S);
  auto read = [&](std::vector<uint8_t>& out, uint64_t bytes) {
    const int64_t sectors = static_cast<int64_t>((bytes + S - 1) / S);
    if (sectors > m_totalSectors - sector) return false;
    out.assign(static_cast<size_t>(sectors * static_cast<int64_t>(S)), 0);
    return m_device->ReadSector(out.data(), sector, sectors) != 0;
  };
  std::vector<uint8_t> bytes;
  if (!read(bytes, hfsplus::kNodeDescriptorSize + hfsplus::kHeaderRecordSize)) return false;
  BTNodeDescriptor descriptor;
  hfsplus::LoadNodeDescriptor(bytes.data(), descriptor);
  if (descriptor.kind != hfsplus::kHeaderNode || descriptor.height != 0) return false;
  BTHeaderRec record;
  hfsplus::LoadHeaderRec(bytes.data() + hfsplus::kNodeDescriptorSize, record);
  const uint32_t size = record.nodeSize;
  if (size < kSlice || size > kMaxNodeBytes || (size & (size - 1)) != 0 || size > extentBytes) return false;
  if (!read(bytes, size)) return false;
  return CHFSPlusBTNode::IsValidNode(bytes.data(), static_cast<uint16_t>(size));
}

bool CHFSPlusCompleteFileSystemSearchController::HeaderAt(int64_t start, const HFSPlusVolumeHeader& header) {
  // The header's 512 bytes lie in one sector of any size a device may have.
  const uint64_t S = m_sectorSize;
  if (S == 0 || start < 0) return false;
  const int64_t sector = start + static_cast<int64_t>(hfsplus::kVolumeHeaderOffset / S);
  if (sector >= m_totalSectors) return false;
  std::vector<uint8_t> bytes(S);
  if (m_device->ReadSector(bytes.data(), sector, 1) == 0) return false;
  const uint8_t* raw = bytes.data() + hfsplus::kVolumeHeaderOffset % S;
  if (!CHFSPlusVolume::IsValidVolumeHeader(raw, kSlice)) return false;
  HFSPlusVolumeHeader there;
  hfsplus::LoadVolumeHeader(raw, there);
  return SameVolume(there, header);
}

// ---------------------------------------------------------------------------
// Catalog leaves

void CHFSPlusCompleteFileSystemSearchController::AnalyzeNode(int64_t s, const uint8_t* bytes, uint32_t size) {
  CHFSPlusBTNode node(bytes, static_cast<uint16_t>(size), 0);
  if (!node.IsValid() || node.GetKind() != hfsplus::kLeafNode) return;
  if (node.TestNodeBelongToFile() != hfsplus::kCatalogFileID) return;
  const uint16_t records = node.GetRecordCount();
  for (uint16_t i = 0; i < records; ++i) {
    std::unique_ptr<BTKey> key(m_catalogReader.KeyRead(&node, i));
    std::unique_ptr<uint8_t[]> data(key ? m_catalogReader.DataRead(&node, i) : nullptr);
    if (!key || !data) continue;
    const auto* record = reinterpret_cast<const HFSPlusCatalogRecord*>(data.get());
    uint32_t id = 0;
    uint32_t created = 0;
    if (record->recordType == hfsplus::kFolderRecord) {
      id = record->folder.folderID;
      created = record->folder.createDate;
    } else if (record->recordType == hfsplus::kFileRecord) {
      id = record->file.fileID;
      created = record->file.createDate;
    } else {
      continue;  // threads: the file or folder record says it all
    }
    const Choice choice = ChooseVolume(id, created, s);
    if (choice.record == nullptr) continue;

    // What the volume the leaf lies in says of the record: held live (its
    // walk handed the live version on already), or gone.
    bool deleted = false;
    if (choice.liveVolume != nullptr) {
      HFSPlusSearchResult found;
      uint8_t* raw = nullptr;
      const ResultCode searched = choice.liveVolume->Search(hfsplus::kCatalogFileID, key.get(), found, &raw);
      std::unique_ptr<uint8_t[]> live(raw);
      const auto* liveRecord = reinterpret_cast<const HFSPlusCatalogRecord*>(live.get());
      const uint32_t liveID = liveRecord == nullptr                              ? 0
                              : liveRecord->recordType == hfsplus::kFolderRecord ? liveRecord->folder.folderID
                              : liveRecord->recordType == hfsplus::kFileRecord   ? liveRecord->file.fileID
                                                                                 : 0;
      if (found.found != 0 && liveID == id) continue;
      // A catalog that could not be searched says nothing either way.
      deleted = result::IsSuccess(searched);
    }

    auto* made = new (std::nothrow)
        CHFSPlusFileNode(choice.volume, s, static_cast<uint16_t>(choice.record->index), key.get(), record);
    if (made == nullptr) continue;
    const int64_t nodeID = made->GetCurrentNodeID();
    if (nodeID == -1 || nodeID == -2 || made->GetCreationTime() == 0 || m_builder == nullptr) {
      made->Release();
      continue;
    }
    if (deleted) {
      made->MarkDeleted();
      made->JudgeDeletedContent();
    }
    if (HandOn(made, *choice.record) == 0) made->Release();
  }
}

int CHFSPlusCompleteFileSystemSearchController::HandOn(CFileNode* node, CompleteSearchPatition& record) {
  const bool folder = node->IsDirectory() != 0;
  // The tree hides the first volume's private-data folder (its files, the
  // targets of hard links, go with the lost files); the same folder of
  // every other volume is held back alike, so that it never shows as a
  // folder of the first volume's tree.
  if (folder && node->GetParentNodeID() == hfsplus::kRootFolderID &&
      std::strcmp(node->GetFileName(), kPrivateDataName) == 0) {
    if (m_privateDataGiven) return 0;
    m_privateDataGiven = true;
  }
  if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_TYPE_HFSPLUS) == 0) return 0;
  ++record.nodeCount;
  if (!folder) ++record.fileCount;
  return 1;
}

bool CHFSPlusCompleteFileSystemSearchController::InRange(const CompleteSearchPatition& record, int64_t s) const {
  return record.start >= 0 && s >= record.start && s - record.start < record.count;
}

CHFSPlusCompleteFileSystemSearchController::Choice CHFSPlusCompleteFileSystemSearchController::ChooseVolume(
    uint32_t id, uint32_t createDate, int64_t s) {
  if (id == 0 && createDate == 0) return {};
  // The newest candidate first: a volume found later lies further on, and a
  // leaf belongs to the last volume that starts before it.
  for (size_t i = m_partitions.size(); i-- > 0;) {
    CompleteSearchPatition& record = *m_partitions[i];
    if (record.header) {
      const HFSPlusVolumeHeader& h = *record.header;
      // An ID the volume has not given out yet, or a file made after the
      // volume was last written, is not that volume's.
      if (id > h.nextCatalogID && (h.attributes & kCatalogIDsReused) == 0) continue;
      if (i != 0 && h.modifyDate < createDate) continue;
    }
    if (!InRange(record, s)) continue;
    if (!record.volume && !record.openTried) Open(record);
    if (record.volume) return {&record, record.volume.get(), record.volume.get()};
  }
  // No volume will own it: it goes with the volume it lies in, read by that
  // volume's start and block size but through none of its trees, which know
  // nothing of it (that volume's catalog still says whether it is live);
  // failing that, with the first record.
  for (size_t i = m_partitions.size(); i-- > 0;) {
    CompleteSearchPatition& record = *m_partitions[i];
    if (!InRange(record, s)) continue;
    if (!record.volume && !record.openTried) Open(record);
    return {&record, nullptr, record.volume.get()};
  }
  return {m_partitions.front().get(), nullptr, nullptr};
}

void CHFSPlusCompleteFileSystemSearchController::Open(CompleteSearchPatition& record) {
  record.openTried = true;
  // A volume opens only where its header validates: through a window at its
  // start, never on the whole device from sector 0.
  if (!record.header || record.start < 0 || record.count < 2) return;
  // The header at the start must be the record's: another volume there
  // would have its trees and catalog read only to be refused, once for each
  // record that places a volume at that start.
  if (!HeaderAt(record.start, *record.header)) return;
  std::unique_ptr<IStorageDevice, CompleteSearchPatition::DeviceReleaser> device(
      new (std::nothrow) CPartitionVirtualVolumeDevice(m_device, record.start, record.count));
  if (!device || device->Open() == 0) return;
  std::unique_ptr<CHFSPlusVolume> volume(new (std::nothrow) CHFSPlusVolume(device.get(), false));
  if (!volume || result::IsFailure(volume->GetLastError())) return;
  const HFSPlusVolumeHeader* opened = volume->GetVolumeHeader();
  if (opened == nullptr || !SameVolume(*opened, *record.header)) return;
  record.device = std::move(device);
  record.volume = std::move(volume);
  Walk(record);
}

void CHFSPlusCompleteFileSystemSearchController::Walk(CompleteSearchPatition& record) {
  if (m_builder == nullptr || !record.volume) return;
  IndexingBuilder builder(*this, record);
  QuietProgress quiet(m_progress);
  CHFSPlusQuickFileSystemSearchProgress progress(&quiet, 0, true);
  const ResultCode walked = record.volume->QuickSearchFiles(&builder, &progress);
  if (result::IsFailure(walked)) {
    std::printf("HFS+ volume at sector %lld: walk answered 0x%llx\n", static_cast<long long>(record.start),
                static_cast<unsigned long long>(walked));
  }
}

// ---------------------------------------------------------------------------
// The end of the pass

void CHFSPlusCompleteFileSystemSearchController::EndSearch(int completed) {
  if (completed == 0) return;
  if (m_builder != nullptr) m_builder->FlashBuild(SEARCHER_TYPE_HFSPLUS);
  for (const auto& item : m_partitions) {
    CompleteSearchPatition& record = *item;
    if (record.fileCount == 0) continue;
    int64_t size = record.count;
    if (record.header) {
      const HFSPlusVolumeHeader& h = *record.header;
      record.blockSize = h.blockSize;
      size = VolumeSectors(h);
      if (!record.startConfirmed) {
        // The journal info block lies at a known block of its volume.
        const uint64_t into = uint64_t{h.journalInfoBlock} * h.blockSize;
        const uint64_t at = record.hasJournalInfo ? static_cast<uint64_t>(record.journalInfoSector) * m_sectorSize : 0;
        const bool placed = record.hasJournalInfo && at >= into && (at - into) % m_sectorSize == 0 &&
                            CatalogHeaderAt(static_cast<int64_t>((at - into) / m_sectorSize), h);
        if (placed) {
          record.start = static_cast<int64_t>((at - into) / m_sectorSize);
          record.startConfirmed = true;
        } else {
          std::printf("ErrorLine:%d Can't Find Volume Start Sector!\n", 236);
        }
      }
    } else {
      std::printf("ErrorLine:%d Can't Find Volume Head!\n", 241);
    }
    record.count = Clamp(record.start, size);
  }
}

int CHFSPlusCompleteFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  const int count = static_cast<int>(m_partitions.size());
  if (array == nullptr || capacity < count) return count;
  const uint32_t S = m_sectorSize != 0 ? m_sectorSize : 512;
  int written = 0;
  for (const auto& item : m_partitions) {
    const CompleteSearchPatition& record = *item;
    // Runs count allocation blocks from the volume's start; a volume whose
    // blocks are smaller than the device's sectors is told in 512-byte
    // units (the file reader goes by byte offset).
    const uint32_t unit = record.blockSize >= S ? S : kSlice;
    const int64_t perSector = S / unit;
    auto* info = new (std::nothrow) CSearchedPartitionInfo(unit);
    if (info == nullptr) break;
    info->SetPartitionIndex(static_cast<uint16_t>(record.index));
    info->SetFirstDataSector(record.start * perSector);
    info->SetStartSector(record.start * perSector);
    info->SetTotalSectors(static_cast<uint64_t>(std::max<int64_t>(record.count, 0) * perSector));
    info->SetFileSystemType(FILE_SYSTEM_TYPE_HFSPLUS);
    uint32_t perCluster = record.blockSize / unit;
    if (perCluster == 0) {
      std::printf("Warn:SectorsperCluster calc Error!\n");
      perCluster = std::max<uint32_t>(4096 / unit, 1);
    }
    info->SetSectorsperCluster(perCluster);
    array[written++] = info;
  }
  return written;
}

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() {
  return new (std::nothrow) CHFSPlusCompleteFileSystemSearchController();
}
