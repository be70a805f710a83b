// The three tree policies: key order, key and record reads, record copies.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "OnDiskBytes.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusError.h"

using ondisk::Be16;
using ondisk::Be32;

namespace {

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

uint8_t* NewCopy(const void* from, size_t size) {
  auto* out = new (std::nothrow) uint8_t[size];
  if (out != nullptr) std::memcpy(out, from, size);
  return out;
}

uint16_t SlashForColon(uint16_t unit) { return unit == ':' ? uint16_t{'/'} : unit; }

int BinaryNameCompare(const uint16_t* a, uint32_t lengthA, const uint16_t* b, uint32_t lengthB) {
  const uint32_t n = std::min(lengthA, lengthB);
  for (uint32_t i = 0; i < n; ++i) {
    const int c = Order(SlashForColon(a[i]), SlashForColon(b[i]));
    if (c != 0) return c;
  }
  return Order(lengthA, lengthB);
}

void PrintName(const uint16_t* units, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (units[i] >= 0x20 && units[i] < 0x7F) {
      std::putchar(units[i]);
    } else {
      std::printf("\\u%04x", units[i]);
    }
  }
}

}  // namespace

int FastUnicodeCompare(const uint16_t* a, uint32_t lengthA, const uint16_t* b, uint32_t lengthB) {
  uint32_t i = 0;
  uint32_t j = 0;
  for (;;) {
    uint16_t ca = 0;
    while (ca == 0 && i < lengthA) ca = HFSPlusFoldCase(a[i++]);
    uint16_t cb = 0;
    while (cb == 0 && j < lengthB) cb = HFSPlusFoldCase(b[j++]);
    if (ca == 0 || cb == 0) return Order(ca, cb);  // 0 means the name ended
    ca = SlashForColon(ca);
    cb = SlashForColon(cb);
    if (ca != cb) return Order(ca, cb);
  }
}

// ---------------------------------------------------------------------------
// Catalog

CHFSPlusCatalog::CHFSPlusCatalog(CHFSPlusVolume* volume, CHFSPlusRawfile* fork)
    : CHFSPlusBTreeOptionBase(volume, fork) {}

int CHFSPlusCatalog::Compare(const BTKey* a, const BTKey* b, uint8_t keyCompareType) {
  const int c = Order(a->catalog.parentID, b->catalog.parentID);
  if (c != 0) return c;
  const uint32_t la = std::min<uint32_t>(a->catalog.nodeName.length, hfsplus::kMaxNameUnits);
  const uint32_t lb = std::min<uint32_t>(b->catalog.nodeName.length, hfsplus::kMaxNameUnits);
  if (keyCompareType == hfsplus::kCaseFoldingCompare) {
    return FastUnicodeCompare(a->catalog.nodeName.unicode, la, b->catalog.nodeName.unicode, lb);
  }
  return BinaryNameCompare(a->catalog.nodeName.unicode, la, b->catalog.nodeName.unicode, lb);
}

int CHFSPlusCatalog::Compare(const BTKey* a, const BTKey* b) {
  return Compare(a, b, m_volume != nullptr ? m_volume->GetKeyCompareType() : hfsplus::kCaseFoldingCompare);
}

BTKey* CHFSPlusCatalog::KeyRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t keyLength = 0;
  const uint8_t* rec = KeyedRecord(node, index, 6, keyLength);
  BTKey* key = rec != nullptr ? NewKey() : nullptr;
  if (key == nullptr) return nullptr;
  key->catalog.keyLength = keyLength;
  key->catalog.parentID = Be32(rec + 2);
  const uint16_t units = std::min<uint16_t>({Be16(rec + 6), hfsplus::kMaxNameUnits, uint16_t((keyLength - 6) / 2)});
  key->catalog.nodeName.length = units;
  for (uint16_t i = 0; i < units; ++i) key->catalog.nodeName.unicode[i] = Be16(rec + 8 + 2 * i);
  return key;
}

size_t CHFSPlusCatalog::RecordSize(int16_t recordType) {
  switch (recordType) {
    case hfsplus::kFolderRecord:
      return sizeof(HFSPlusCatalogFolder);
    case hfsplus::kFileRecord:
      return sizeof(HFSPlusCatalogFile);
    case hfsplus::kFolderThreadRecord:
    case hfsplus::kFileThreadRecord:
      return sizeof(HFSPlusCatalogThread);
    default:
      return 0;
  }
}

uint8_t* CHFSPlusCatalog::DataRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t dataLength = 0;
  const uint8_t* data = LeafData(node, index, 2, dataLength);
  if (data == nullptr) return nullptr;
  const auto type = static_cast<int16_t>(Be16(data));
  const size_t size = RecordSize(type);
  // Each kind needs its whole on-disk record (a thread at least its head).
  const size_t needed = type == hfsplus::kFolderRecord ? 88 : type == hfsplus::kFileRecord ? 248 : 10;
  if (size == 0 || dataLength < needed) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return nullptr;
  }
  uint8_t* out = NewRecord(size);
  if (out == nullptr) return nullptr;
  auto* record = reinterpret_cast<HFSPlusCatalogRecord*>(out);
  if (type == hfsplus::kFolderRecord) {
    hfsplus::LoadCatalogFolder(data, record->folder);
  } else if (type == hfsplus::kFileRecord) {
    hfsplus::LoadCatalogFile(data, record->file);
  } else {
    record->thread.recordType = type;
    record->thread.parentID = Be32(data + 4);
    const uint16_t units =
        std::min<uint16_t>({Be16(data + 8), hfsplus::kMaxNameUnits, uint16_t((dataLength - 10) / 2)});
    record->thread.nodeName.length = units;
    for (uint16_t i = 0; i < units; ++i) record->thread.nodeName.unicode[i] = Be16(data + 10 + 2 * i);
  }
  return out;
}

uint8_t* CHFSPlusCatalog::CloneRecord(const uint8_t* record) {
  if (record == nullptr) return nullptr;
  const size_t size = RecordSize(reinterpret_cast<const HFSPlusCatalogRecord*>(record)->recordType);
  return size != 0 ? NewCopy(record, size) : nullptr;
}

void CHFSPlusCatalog::KeyPrint(const BTKey* key) {
  if (key == nullptr) return;
  std::printf("catalog key parent %" PRIu32 " name \"", key->catalog.parentID);
  PrintName(key->catalog.nodeName.unicode, std::min<uint32_t>(key->catalog.nodeName.length, 255));
  std::printf("\"\n");
}

void CHFSPlusCatalog::DataPrint(const uint8_t* data) {
  if (data == nullptr) return;
  const auto* record = reinterpret_cast<const HFSPlusCatalogRecord*>(data);
  switch (record->recordType) {
    case hfsplus::kFolderRecord:
      std::printf("  folder %" PRIu32 " valence %" PRIu32 "\n", record->folder.folderID, record->folder.valence);
      break;
    case hfsplus::kFileRecord:
      std::printf("  file %" PRIu32 " data %" PRIu64 " bytes, resource %" PRIu64 " bytes\n", record->file.fileID,
                  record->file.dataFork.logicalSize, record->file.resourceFork.logicalSize);
      break;
    default:
      std::printf("  thread of parent %" PRIu32 "\n", record->thread.parentID);
      break;
  }
}

// ---------------------------------------------------------------------------
// Extents overflow

CHFSPlusExtents::CHFSPlusExtents(CHFSPlusVolume* volume, CHFSPlusRawfile* fork)
    : CHFSPlusBTreeOptionBase(volume, fork) {}

int CHFSPlusExtents::CompareKey(const BTKey* a, const BTKey* b) {
  if (int c = Order(a->extent.fileID, b->extent.fileID); c != 0) return c;
  if (int c = Order(a->extent.forkType, b->extent.forkType); c != 0) return c;
  if (int c = Order(a->extent.startBlock, b->extent.startBlock); c != 0) return c;
  return Order(a->extent.keyLength, b->extent.keyLength);
}

BTKey* CHFSPlusExtents::KeyRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t keyLength = 0;
  const uint8_t* rec = KeyedRecord(node, index, 10, keyLength);
  BTKey* key = rec != nullptr ? NewKey() : nullptr;
  if (key == nullptr) return nullptr;
  key->extent.keyLength = keyLength;
  key->extent.forkType = rec[2];
  key->extent.pad = rec[3];
  key->extent.fileID = Be32(rec + 4);
  key->extent.startBlock = Be32(rec + 8);
  return key;
}

uint8_t* CHFSPlusExtents::DataRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t dataLength = 0;
  const uint8_t* data = LeafData(node, index, sizeof(HFSPlusExtentRecord), dataLength);
  uint8_t* out = data != nullptr ? NewRecord(sizeof(HFSPlusExtentRecord)) : nullptr;
  if (out != nullptr) hfsplus::LoadExtentRecord(data, reinterpret_cast<HFSPlusExtentRecord*>(out)->extents);
  return out;
}

uint8_t* CHFSPlusExtents::CloneRecord(const uint8_t* record) {
  return record != nullptr ? NewCopy(record, sizeof(HFSPlusExtentRecord)) : nullptr;
}

void CHFSPlusExtents::KeyPrint(const BTKey* key) {
  if (key == nullptr) return;
  std::printf("extent key file %" PRIu32 " fork 0x%02x start %" PRIu32 "\n", key->extent.fileID, key->extent.forkType,
              key->extent.startBlock);
}

void CHFSPlusExtents::DataPrint(const uint8_t* data) {
  if (data == nullptr) return;
  const auto* record = reinterpret_cast<const HFSPlusExtentRecord*>(data);
  for (const auto& e : record->extents) std::printf("  %" PRIu32 "+%" PRIu32, e.startBlock, e.blockCount);
  std::printf("\n");
}

// ---------------------------------------------------------------------------
// Attributes

CHFSPlusAttribute::CHFSPlusAttribute(CHFSPlusVolume* volume, CHFSPlusRawfile* fork)
    : CHFSPlusBTreeOptionBase(volume, fork) {}

int CHFSPlusAttribute::CompareKey(const BTKey* a, const BTKey* b) {
  if (int c = Order(a->attribute.fileID, b->attribute.fileID); c != 0) return c;
  const uint32_t la = std::min<uint32_t>(a->attribute.nameLength, 127);
  const uint32_t lb = std::min<uint32_t>(b->attribute.nameLength, 127);
  const uint32_t n = std::min(la, lb);
  for (uint32_t i = 0; i < n; ++i) {
    if (int c = Order(a->attribute.name[i], b->attribute.name[i]); c != 0) return c;
  }
  return Order(la, lb);
}

BTKey* CHFSPlusAttribute::KeyRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t keyLength = 0;
  const uint8_t* rec = KeyedRecord(node, index, 12, keyLength);
  BTKey* key = rec != nullptr ? NewKey() : nullptr;
  if (key == nullptr) return nullptr;
  key->attribute.keyLength = keyLength;
  key->attribute.pad = Be16(rec + 2);
  key->attribute.fileID = Be32(rec + 4);
  key->attribute.startBlock = Be32(rec + 8);
  const uint16_t units = std::min<uint16_t>({Be16(rec + 12), uint16_t{127}, uint16_t((keyLength - 12) / 2)});
  key->attribute.nameLength = units;
  for (uint16_t i = 0; i < units; ++i) key->attribute.name[i] = Be16(rec + 14 + 2 * i);
  return key;
}

size_t CHFSPlusAttribute::RecordSize(const uint8_t* record) {
  if (record == nullptr) return 0;
  const auto* inlineData = reinterpret_cast<const HFSPlusAttrInlineData*>(record);
  switch (inlineData->recordType) {
    case hfsplus::kAttrInlineData:
      return hfsplus::kAttrInlineHeadSize + inlineData->attrSize;
    case hfsplus::kAttrForkData:
      return sizeof(HFSPlusAttrForkData);
    case hfsplus::kAttrExtents:
      return sizeof(HFSPlusAttrExtents);
    default:
      return 0;
  }
}

uint8_t* CHFSPlusAttribute::DataRead(CHFSPlusBTNode* node, uint16_t index) {
  uint16_t dataLength = 0;
  const uint8_t* data = LeafData(node, index, 4, dataLength);
  if (data == nullptr) return nullptr;
  const uint32_t type = Be32(data);
  if (type == hfsplus::kAttrInlineData && dataLength >= hfsplus::kAttrInlineHeadSize) {
    // The stated size must stay inside the record.
    const uint32_t size = Be32(data + 12);
    if (size > dataLength - hfsplus::kAttrInlineHeadSize) {
      m_lastError = HFSPLUS_ERROR(result::kErrBadData);
      return nullptr;
    }
    uint8_t* out = NewRecord(hfsplus::kAttrInlineHeadSize + size);
    if (out == nullptr) return nullptr;
    auto* record = reinterpret_cast<HFSPlusAttrInlineData*>(out);
    record->recordType = type;
    record->reserved[0] = Be32(data + 4);
    record->reserved[1] = Be32(data + 8);
    record->attrSize = size;
    std::memcpy(out + hfsplus::kAttrInlineHeadSize, data + hfsplus::kAttrInlineHeadSize, size);
    return out;
  }
  if (type == hfsplus::kAttrForkData && dataLength >= 88) {
    uint8_t* out = NewRecord(sizeof(HFSPlusAttrForkData));
    if (out == nullptr) return nullptr;
    reinterpret_cast<HFSPlusAttrForkData*>(out)->recordType = type;
    hfsplus::LoadForkData(data + 8, reinterpret_cast<HFSPlusAttrForkData*>(out)->theFork);
    return out;
  }
  if (type == hfsplus::kAttrExtents && dataLength >= 72) {
    uint8_t* out = NewRecord(sizeof(HFSPlusAttrExtents));
    if (out == nullptr) return nullptr;
    reinterpret_cast<HFSPlusAttrExtents*>(out)->recordType = type;
    hfsplus::LoadExtentRecord(data + 8, reinterpret_cast<HFSPlusAttrExtents*>(out)->extents);
    return out;
  }
  m_lastError = HFSPLUS_ERROR(result::kErrBadData);
  return nullptr;
}

uint8_t* CHFSPlusAttribute::CloneRecord(const uint8_t* record) {
  const size_t size = RecordSize(record);
  return size != 0 ? NewCopy(record, size) : nullptr;
}

void CHFSPlusAttribute::KeyPrint(const BTKey* key) {
  if (key == nullptr) return;
  std::printf("attribute key file %" PRIu32 " name \"", key->attribute.fileID);
  PrintName(key->attribute.name, std::min<uint32_t>(key->attribute.nameLength, 127));
  std::printf("\"\n");
}

void CHFSPlusAttribute::DataPrint(const uint8_t* data) {
  if (data == nullptr) return;
  std::printf("  attribute record type 0x%02" PRIx32 ", %zu bytes\n",
              reinterpret_cast<const HFSPlusAttrInlineData*>(data)->recordType, RecordSize(data));
}
