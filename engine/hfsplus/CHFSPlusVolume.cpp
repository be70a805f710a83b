#include "hfsplus/CHFSPlusVolume.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "UnreadableSectors.h"
#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/HFSPlusError.h"

namespace {

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

void SetName(HFSUniStr255& name, const char16_t* text, size_t units) {
  name.length = static_cast<uint16_t>(std::min<size_t>(units, hfsplus::kMaxNameUnits));
  for (uint16_t i = 0; i < name.length; ++i) name.unicode[i] = text[i];
}

}  // namespace

bool IsHardLinkRecord(const HFSPlusCatalogFile& file, uint32_t* linkID) {
  if (file.fileType != hfsplus::kHardLinkFileType || file.fileCreator != hfsplus::kHardLinkCreator) return false;
  if (linkID != nullptr) *linkID = file.permissions.special;
  return true;
}

CHFSPlusVolume::CHFSPlusVolume(IStorageDevice* device, bool noCatalog) : m_device(device) {
  if (device == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return;
  }
  m_sectorSize = device->GetSectorSize();
  if (m_sectorSize == 0 || m_sectorSize % 512 != 0 || m_sectorSize > 65536) {
    m_sectorSize = 0;
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  const int64_t sectors = device->GetTotalSectors();
  m_deviceBytes = sectors > 0 ? static_cast<uint64_t>(sectors) * m_sectorSize : 0;
  if (result::IsFailure(m_lastError = ReadVolumeHeader())) return;
  // Nothing of the volume is trusted before its header is. Read itself stays
  // usable afterwards (it only reads the device); every caller tests the
  // volume's error before it reads through it.
  uint8_t raw[hfsplus::kVolumeHeaderSize];
  if (Read(hfsplus::kVolumeHeaderOffset, raw, sizeof(raw)) != sizeof(raw) || !IsValidVolumeHeader(raw, sizeof(raw))) {
    m_header.reset();
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  m_journal.reset(new (std::nothrow) CHFSPlusJournal(this));
  if (!m_journal) {
    m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    return;
  }

  m_extentsFork.reset(new (std::nothrow) CHFSPlusRawfile(this, hfsplus::kExtentsFileID, m_header->extentsFile));
  if (!m_extentsFork) {
    m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    return;
  }
  if (result::IsFailure(m_lastError = m_extentsFork->GetLastError())) return;
  if (m_header->extentsFile.totalBlocks != 0) {
    m_extents.reset(new (std::nothrow) CHFSPlusExtents(this, m_extentsFork.get()));
    if (!m_extents) {
      m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
      return;
    }
    if (result::IsFailure(m_lastError = m_extents->GetLastError())) return;
  }

  if (m_header->attributesFile.totalBlocks != 0) {
    m_attributesFork.reset(new (std::nothrow)
                               CHFSPlusRawfile(this, hfsplus::kAttributesFileID, m_header->attributesFile));
    if (m_attributesFork && result::IsSuccess(m_attributesFork->GetLastError())) {
      m_attributes.reset(new (std::nothrow) CHFSPlusAttribute(this, m_attributesFork.get()));
    }
    // Damaged attributes only cost the attributes: the catalog still opens.
    if (!m_attributes || result::IsFailure(m_attributes->GetLastError())) m_attributes.reset();
  }

  if (noCatalog) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  m_catalogFork.reset(new (std::nothrow) CHFSPlusFileCache(this, hfsplus::kCatalogFileID, m_header->catalogFile));
  if (!m_catalogFork) {
    m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    return;
  }
  if (result::IsFailure(m_lastError = m_catalogFork->GetLastError())) return;
  m_catalog.reset(new (std::nothrow) CHFSPlusCatalog(this, m_catalogFork.get()));
  if (!m_catalog) {
    m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    return;
  }
  const BTHeaderRec* catalogHeader = m_catalog->GetHeaderRec();
  if (catalogHeader == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  // Plain HFS+ names always fold case, whatever the reserved field holds;
  // only HFSX chooses its order.
  m_keyCompareType = IsHFSX() ? catalogHeader->keyCompareType : hfsplus::kCaseFoldingCompare;
  m_journalCatalog.SetKeyCompareType(m_keyCompareType);
  m_lastError = 0;
}

CHFSPlusVolume::~CHFSPlusVolume() = default;

ResultCode CHFSPlusVolume::ReadVolumeHeader() {
  uint8_t raw[hfsplus::kVolumeHeaderSize];
  if (Read(hfsplus::kVolumeHeaderOffset, raw, sizeof(raw)) != sizeof(raw)) return HFSPLUS_ERROR(result::kErrShortRead);
  m_header.reset(new (std::nothrow) HFSPlusVolumeHeader);
  if (!m_header) return HFSPLUS_ERROR(result::kErrCreateFailed);
  hfsplus::LoadVolumeHeader(raw, *m_header);
  return 0;
}

bool CHFSPlusVolume::IsValidVolumeHeader(const uint8_t* bytes, uint16_t length) {
  if (bytes == nullptr || length < hfsplus::kVolumeHeaderSize) return false;
  HFSPlusVolumeHeader h;
  hfsplus::LoadVolumeHeader(bytes, h);
  if (h.signature != hfsplus::kSignatureHFSPlus && h.signature != hfsplus::kSignatureHFSX) return false;
  if (h.blockSize < 512 || !PowerOfTwo(h.blockSize)) return false;
  if (h.version > 16) return false;
  if (h.freeBlocks > h.totalBlocks || h.journalInfoBlock > h.totalBlocks) return false;
  return uint64_t{h.blockSize} * h.catalogFile.totalBlocks == h.catalogFile.logicalSize;
}

uint64_t CHFSPlusVolume::Read(uint64_t byteOffset, void* buffer, uint64_t length, hfsplus::ByteRanges* lost) {
  auto* out = static_cast<uint8_t*>(buffer);
  const uint32_t s = m_sectorSize;
  if (out == nullptr || s == 0 || m_device == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return 0;
  }
  uint64_t done = 0;
  auto fail = [&](uint32_t error) {
    m_lastError = HFSPLUS_ERROR(error);
    std::printf("Location%" PRIu64 "Size:%" PRIu64 "\n", byteOffset + done, length - done);
    return done;
  };
  if (byteOffset > INT64_MAX || length > INT64_MAX - byteOffset) return fail(result::kErrBadArgument);
  std::vector<uint8_t> bounce;
  SectorRuns gone;
  // Reads sectors [first, first + count) to `to`, which holds the request's
  // bytes from `from`; with `lost`, sectors a failing medium could not give
  // are taken as zeros and named there.
  auto readSectors = [&](uint8_t* to, uint64_t first, uint64_t count, uint64_t from) {
    if (lost == nullptr) return m_device->ReadSector(to, static_cast<int64_t>(first), static_cast<int64_t>(count)) != 0;
    gone.clear();
    if (!unreadable::ReadAround(m_device, to, static_cast<int64_t>(first), static_cast<int64_t>(count), gone)) {
      return false;
    }
    for (const auto& [at, n] : gone) {
      const uint64_t a = std::max(uint64_t(at) * s, byteOffset + from);
      const uint64_t b = std::min<uint64_t>(uint64_t(at + n) * s, byteOffset + length);
      if (b > a) lost->emplace_back(a - byteOffset, b - byteOffset);
    }
    return true;
  };
  auto readPart = [&](uint64_t sector, uint32_t skip, uint64_t n) {
    if (bounce.empty()) bounce.resize(s);
    if (!readSectors(bounce.data(), sector, 1, done)) return false;
    std::memcpy(out + done, bounce.data() + skip, n);
    done += n;
    return true;
  };
  const uint32_t head = static_cast<uint32_t>(byteOffset % s);
  if (head != 0 && length != 0) {
    const uint64_t n = std::min<uint64_t>(length, s - head);
    if (!readPart(byteOffset / s, head, n)) return fail(hfsplus::kErrDeviceRead);
  }
  const uint64_t whole = (length - done) / s;
  if (whole != 0) {
    if (!readSectors(out + done, (byteOffset + done) / s, whole, done)) return fail(hfsplus::kErrDeviceRead);
    done += whole * s;
  }
  if (done < length && !readPart((byteOffset + done) / s, 0, length - done)) return fail(hfsplus::kErrDeviceRead);
  return done;
}

CHFSPlusBTreeOptionBase* CHFSPlusVolume::TreeOf(int fileID) {
  switch (fileID) {
    case hfsplus::kExtentsFileID:
      return m_extents.get();
    case hfsplus::kCatalogFileID:
      return m_catalog.get();
    case hfsplus::kAttributesFileID:
      return m_attributes.get();
    default:
      return nullptr;
  }
}

ResultCode CHFSPlusVolume::Search(int fileID, const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  result = HFSPlusSearchResult{};
  if (record != nullptr) *record = nullptr;
  if (fileID != hfsplus::kExtentsFileID && fileID != hfsplus::kCatalogFileID && fileID != hfsplus::kAttributesFileID) {
    return m_lastError = HFSPLUS_ERROR(result::kErrNotSupported);
  }
  CHFSPlusBTreeOptionBase* tree = TreeOf(fileID);
  if (tree == nullptr || tree->GetHeaderRec() == nullptr) return HFSPLUS_ERROR(result::kErrNotInitialized);
  return tree->Search(key, result, record);
}

ResultCode CHFSPlusVolume::Traverse(int fileID, IDirecotryTreeBuilder* builder,
                                    CHFSPlusQuickFileSystemSearchProgress* progress) {
  if (fileID != hfsplus::kCatalogFileID) return m_lastError = HFSPLUS_ERROR(result::kErrNotSupported);
  if (!m_catalog || m_catalog->GetHeaderRec() == nullptr) return HFSPLUS_ERROR(result::kErrNotInitialized);
  return m_catalog->Traverse(builder, progress);
}

bool CHFSPlusVolume::IsBelongToFile(uint32_t fileID, const HFSPlusForkData& fork, uint64_t byteOffset) {
  const uint64_t blockSize = GetBlockSize();
  if (blockSize == 0) return false;
  std::vector<HFSPlusExtentDescriptor> extents;
  hfsplus::CollectForkExtents(this, fileID, hfsplus::kDataForkType, fork, fileID != hfsplus::kExtentsFileID, extents);
  const uint64_t block = byteOffset / blockSize;
  for (const auto& e : extents) {
    if (block >= e.startBlock && block < uint64_t{e.startBlock} + e.blockCount) return true;
  }
  return false;
}

uint32_t CHFSPlusVolume::GetNodeBelongToFile(uint64_t byteOffset) {
  if (!m_header) return 0;
  const std::pair<uint32_t, const HFSPlusForkData*> files[] = {{hfsplus::kCatalogFileID, &m_header->catalogFile},
                                                               {hfsplus::kExtentsFileID, &m_header->extentsFile},
                                                               {hfsplus::kAttributesFileID, &m_header->attributesFile},
                                                               {hfsplus::kAllocationFileID, &m_header->allocationFile},
                                                               {hfsplus::kStartupFileID, &m_header->startupFile}};
  for (const auto& [id, fork] : files) {
    if (IsBelongToFile(id, *fork, byteOffset)) return id;
  }
  return 0;
}

uint32_t CHFSPlusVolume::getAttribute(uint32_t fileID, const char* name, uint8_t** data) {
  if (data != nullptr) *data = nullptr;
  if (!HasAttributesTree() || name == nullptr || data == nullptr) return 0;
  BTKey key{};
  key.attribute.fileID = fileID;
  const size_t units = std::min<size_t>(std::strlen(name), 127);
  key.attribute.nameLength = static_cast<uint16_t>(units);
  for (size_t i = 0; i < units; ++i) key.attribute.name[i] = static_cast<uint8_t>(name[i]);
  key.attribute.keyLength = static_cast<uint16_t>(12 + 2 * units);
  HFSPlusSearchResult found;
  uint8_t* raw = nullptr;
  Search(hfsplus::kAttributesFileID, &key, found, &raw);
  if (found.found == 0 || raw == nullptr) {
    delete[] raw;
    raw = nullptr;
    FindDeleteAttribute(&key, found, &raw);
  }
  std::unique_ptr<uint8_t[]> record(raw);
  if (found.found == 0 || !record) return 0;
  const auto* inlineData = reinterpret_cast<const HFSPlusAttrInlineData*>(record.get());
  if (inlineData->recordType != hfsplus::kAttrInlineData) {
    std::fprintf(stderr, "unsupported attribute node format\n");
    return 0;
  }
  const uint32_t size = inlineData->attrSize;
  auto* copy = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
  if (copy == nullptr) return 0;
  std::memcpy(copy, record.get() + hfsplus::kAttrInlineHeadSize, size);
  *data = copy;
  return size;
}

ResultCode CHFSPlusVolume::FindIn(const CHFSPlusJournalRecords& records, uint8_t* (*clone)(const uint8_t*),
                                  const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  result = HFSPlusSearchResult{};
  if (record != nullptr) *record = nullptr;
  if (key == nullptr) return HFSPLUS_ERROR(result::kErrBadArgument);
  const uint8_t* hit = records.Find(key);
  if (hit == nullptr) return 0;
  result.found = 1;
  if (record != nullptr) *record = clone(hit);
  return 0;
}

ResultCode CHFSPlusVolume::FindDeleteCatalog(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  return FindIn(m_journalCatalog, &CHFSPlusCatalog::CloneRecord, key, result, record);
}

ResultCode CHFSPlusVolume::FindDeleteExtent(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  return FindIn(m_journalExtents, &CHFSPlusExtents::CloneRecord, key, result, record);
}

ResultCode CHFSPlusVolume::FindDeleteAttribute(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  return FindIn(m_journalAttributes, &CHFSPlusAttribute::CloneRecord, key, result, record);
}

bool CHFSPlusVolume::GetIndirectNodeFile(uint32_t linkID, HFSPlusCatalogFile& out) {
  if (m_privateFolderID == 0) {
    m_privateFolderID = UINT32_MAX;
    static const char16_t kPrivate[] = u"\0\0\0\0HFS+ Private Data";
    BTKey key{};
    key.catalog.parentID = hfsplus::kRootFolderID;
    SetName(key.catalog.nodeName, kPrivate, sizeof(kPrivate) / sizeof(char16_t) - 1);
    key.catalog.keyLength = static_cast<uint16_t>(6 + 2 * key.catalog.nodeName.length);
    HFSPlusSearchResult found;
    uint8_t* raw = nullptr;
    Search(hfsplus::kCatalogFileID, &key, found, &raw);
    std::unique_ptr<uint8_t[]> record(raw);
    const auto* folder = reinterpret_cast<const HFSPlusCatalogRecord*>(record.get());
    if (found.found != 0 && folder != nullptr && folder->recordType == hfsplus::kFolderRecord) {
      m_privateFolderID = folder->folder.folderID;
    }
  }
  if (m_privateFolderID == UINT32_MAX) return false;
  const std::string name = "iNode" + std::to_string(linkID);
  BTKey key{};
  key.catalog.parentID = m_privateFolderID;
  key.catalog.nodeName.length = static_cast<uint16_t>(name.size());
  for (size_t i = 0; i < name.size(); ++i) key.catalog.nodeName.unicode[i] = static_cast<uint8_t>(name[i]);
  key.catalog.keyLength = static_cast<uint16_t>(6 + 2 * name.size());
  HFSPlusSearchResult found;
  uint8_t* raw = nullptr;
  Search(hfsplus::kCatalogFileID, &key, found, &raw);
  std::unique_ptr<uint8_t[]> record(raw);
  const auto* file = reinterpret_cast<const HFSPlusCatalogRecord*>(record.get());
  if (found.found == 0 || file == nullptr || file->recordType != hfsplus::kFileRecord) return false;
  out = file->file;
  return true;
}

bool CHFSPlusVolume::ForEachAllocationChunk(
    uint64_t first, uint64_t count,
    const std::function<bool(uint64_t byte, const std::vector<uint8_t>& bytes)>& visit) {
  constexpr uint64_t kChunk = 64 * 1024;
  std::vector<uint8_t> bytes;
  hfsplus::ByteRanges lost;
  const uint64_t last = first + count - 1;
  for (uint64_t byte = first / 8; byte <= last / 8; byte += kChunk) {
    const uint64_t length = std::min<uint64_t>(kChunk, last / 8 - byte + 1);
    bytes.resize(length);
    lost.clear();
    if (m_allocationFork->Read(byte, bytes.data(), length, &lost) != length) return false;
    // Bits on sectors a failing medium could not give may be set, and do
    // not disprove a file either.
    for (const auto& [from, to] : lost) std::fill(bytes.begin() + ptrdiff_t(from), bytes.begin() + ptrdiff_t(to), 0xFF);
    if (!visit(byte, bytes)) break;
  }
  return true;
}

bool CHFSPlusVolume::BlockMarks(uint64_t first, uint64_t count, std::vector<uint8_t>& marks) {
  marks.clear();
  if (!AllocationBelieved() || count > m_header->totalBlocks || first > m_header->totalBlocks - count) return false;
  if (count == 0) return true;
  marks.reserve(count);
  const uint64_t last = first + count - 1;
  const bool read = ForEachAllocationChunk(first, count, [&](uint64_t byte, const std::vector<uint8_t>& bytes) {
    for (uint64_t b = std::max(first, byte * 8); b <= std::min(last, (byte + bytes.size()) * 8 - 1); ++b) {
      marks.push_back(static_cast<uint8_t>((bytes[b / 8 - byte] >> (7 - b % 8)) & 1));
    }
    return true;
  });
  if (!read) marks.clear();
  return read;
}

int CHFSPlusVolume::ScanAllocation(uint64_t first, uint64_t count, bool wantAll) {
  if (!m_allocationFork || count == 0) return wantAll ? 1 : 0;
  const uint64_t last = first + count - 1;
  int answer = wantAll ? 1 : 0;
  const bool read = ForEachAllocationChunk(first, count, [&](uint64_t byte, const std::vector<uint8_t>& bytes) {
    for (uint64_t i = 0; i < bytes.size(); ++i) {
      const uint64_t from = std::max(first, (byte + i) * 8);
      const uint64_t to = std::min(last, (byte + i) * 8 + 7);
      // The block's bit counts from the byte's high end.
      uint8_t mask = 0;
      for (uint64_t b = from; b <= to; ++b) mask = static_cast<uint8_t>(mask | (0x80u >> (b % 8)));
      const uint8_t marked = bytes[i] & mask;
      if (wantAll ? marked != mask : marked != 0) {
        answer = wantAll ? 0 : 1;
        return false;
      }
    }
    return true;
  });
  return read ? answer : -1;
}

bool CHFSPlusVolume::AllocationBelieved() {
  if (m_allocationBelieved >= 0) return m_allocationBelieved == 1;
  m_allocationBelieved = 0;
  if (!m_header || m_header->blockSize == 0 || m_header->allocationFile.totalBlocks == 0) return false;
  const uint64_t totalBlocks = m_header->totalBlocks;
  m_allocationFork.reset(new (std::nothrow)
                             CHFSPlusRawfile(this, hfsplus::kAllocationFileID, m_header->allocationFile));
  if (!m_allocationFork || result::IsFailure(m_allocationFork->GetLastError()) ||
      m_allocationFork->GetMappedBytes() < (totalBlocks + 7) / 8) {
    m_allocationFork.reset();
    return false;
  }
  // The reserved bytes and the volume header (the first 1536), then the
  // special files' own extents: a sound bitmap marks every one.
  if (ScanAllocation(
          0,
          (hfsplus::kVolumeHeaderOffset + hfsplus::kVolumeHeaderSize + m_header->blockSize - 1) / m_header->blockSize,
          true) != 1) {
    return false;
  }
  for (const HFSPlusForkData* fork : {&m_header->allocationFile, &m_header->extentsFile, &m_header->catalogFile,
                                      &m_header->attributesFile, &m_header->startupFile}) {
    for (const HFSPlusExtentDescriptor& e : fork->extents) {
      if (e.blockCount == 0 || e.startBlock >= totalBlocks) continue;
      const uint64_t count = std::min<uint64_t>(e.blockCount, totalBlocks - e.startBlock);
      if (ScanAllocation(e.startBlock, count, true) != 1) return false;
    }
  }
  m_allocationBelieved = 1;
  return true;
}

int CHFSPlusVolume::RunsReachBlocksInUse(IDataRunList* runs) {
  if (runs == nullptr || !AllocationBelieved()) return -1;
  const uint64_t totalBlocks = m_header->totalBlocks;
  bool unknown = false;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->start < 0 || run->length <= 0 || static_cast<uint64_t>(run->start) >= totalBlocks) continue;
    const auto start = static_cast<uint64_t>(run->start);
    const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(run->length), totalBlocks - start);
    const int marked = ScanAllocation(start, count, false);
    if (marked == 1) return 1;
    if (marked < 0) unknown = true;
  }
  return unknown ? -1 : 0;
}
