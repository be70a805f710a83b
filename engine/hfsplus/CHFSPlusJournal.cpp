#include "hfsplus/CHFSPlusJournal.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include <algorithm>
#include "OnDiskBytes.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusError.h"
#include "hfsplus/HFSPlusJournalRecords.h"

namespace {

constexpr uint32_t kJournaledAttribute = 0x2000;
constexpr uint32_t kInfoBlockSize = 180;
constexpr uint32_t kJournalInFileSystem = 1;
constexpr uint32_t kJournalOnOtherDevice = 2;
constexpr uint32_t kJournalHeaderBytes = 44;
constexpr uint32_t kBlockInfoSize = 16;
constexpr uint64_t kKilledBlock = UINT64_MAX;

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Be64;
using ondisk::Le16;
using ondisk::Le32;
using ondisk::Le64;
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

uint32_t CHFSPlusJournal::J16(const uint8_t* p) const { return m_bigEndian ? Be16(p) : Le16(p); }
uint32_t CHFSPlusJournal::J32(const uint8_t* p) const { return m_bigEndian ? Be32(p) : Le32(p); }
uint64_t CHFSPlusJournal::J64(const uint8_t* p) const { return m_bigEndian ? Be64(p) : Le64(p); }

CHFSPlusJournal::CHFSPlusJournal(CHFSPlusVolume* volume) : m_volume(volume) {
  if (volume == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return;
  }
  const HFSPlusVolumeHeader* header = volume->GetVolumeHeader();
  if (header == nullptr) {
    m_lastError = volume->GetLastError();
    return;
  }
  // Unjournaled volumes are common; no report for them.
  if ((header->attributes & kJournaledAttribute) == 0 || header->journalInfoBlock == 0) {
    m_lastError = RESULT_FAILURE(result::kModuleHFSPlus, hfsplus::kErrDeviceRead);
    return;
  }
  const uint64_t blockSize = header->blockSize;
  const uint64_t volumeBytes = uint64_t{header->totalBlocks} * blockSize;
  uint8_t info[kInfoBlockSize];
  if (volume->Read(uint64_t{header->journalInfoBlock} * blockSize, info, sizeof(info)) != sizeof(info)) {
    m_lastError = HFSPLUS_ERROR(result::kErrShortRead);
    return;
  }
  const uint32_t flags = Be32(info);
  m_offset = Be64(info + 36);
  m_size = Be64(info + 44);
  if ((flags & kJournalInFileSystem) == 0 || (flags & kJournalOnOtherDevice) != 0 || m_size == 0 ||
      m_offset >= volumeBytes || m_size > volumeBytes - m_offset) {
    m_lastError = HFSPLUS_ERROR(hfsplus::kErrDeviceRead);
    return;
  }
  uint8_t jh[kJournalHeaderBytes];
  if (volume->Read(m_offset, jh, sizeof(jh)) != sizeof(jh)) {
    m_lastError = HFSPLUS_ERROR(hfsplus::kErrDeviceRead);
    return;
  }
  if (Le32(jh) == kMagic && Le32(jh + 4) == kEndian) {
    m_bigEndian = false;
  } else if (Be32(jh) == kMagic && Be32(jh + 4) == kEndian) {
    m_bigEndian = true;
  } else {
    m_lastError = HFSPLUS_ERROR(hfsplus::kErrDeviceRead);
    return;
  }
  m_start = J64(jh + 8);
  m_end = J64(jh + 16);
  const uint64_t size = J64(jh + 24);
  m_blockListSize = J32(jh + 32);
  m_headerSize = J32(jh + 40);
  // Sizes the sweep divides by, allocates or wraps with: bounded first.
  const bool sane = size == m_size && m_headerSize >= 512 && m_headerSize <= kMaxHeaderSize &&
                    PowerOfTwo(m_headerSize) && m_blockListSize >= m_headerSize &&
                    m_blockListSize <= kMaxBlockListSize && m_blockListSize % m_headerSize == 0 &&
                    m_size > uint64_t{m_headerSize} + m_blockListSize && m_start >= m_headerSize && m_start < m_size &&
                    m_end >= m_headerSize && m_end < m_size;
  if (!sane) {
    m_lastError = HFSPLUS_ERROR(hfsplus::kErrDeviceRead);
    return;
  }
  m_usable = true;
  m_lastError = 0;
}

uint64_t CHFSPlusJournal::Advance(uint64_t position, uint64_t bytes) const {
  // The buffer runs from just after the header to the journal's end.
  const uint64_t ring = m_size - m_headerSize;
  bytes %= ring;
  const uint64_t room = m_size - position;
  return bytes < room ? position + bytes : m_headerSize + (bytes - room);
}

uint64_t CHFSPlusJournal::Read(uint64_t journalOffset, uint8_t* buffer, uint64_t length) {
  if (!m_usable || buffer == nullptr) return 0;
  if (journalOffset >= m_size || journalOffset < m_headerSize) {
    journalOffset = m_headerSize + (journalOffset % m_size) % (m_size - m_headerSize);
  }
  uint64_t done = 0;
  while (done < length) {
    const uint64_t n = std::min(length - done, m_size - journalOffset);
    const uint64_t got = m_volume->Read(m_offset + journalOffset, buffer + done, n);
    done += got;
    if (got != n) {
      m_lastError = HFSPLUS_ERROR(hfsplus::kErrDeviceRead);
      break;
    }
    journalOffset = Advance(journalOffset, n);
  }
  return done;
}

ResultCode CHFSPlusJournal::GetDeleteRecord(CHFSPlusQuickFileSystemSearchProgress* progress,
                                            CHFSPlusJournalRecords& catalog, CHFSPlusJournalRecords& extents,
                                            CHFSPlusJournalRecords& attributes) {
  m_counters = Counters{};
  if (!m_usable) return m_lastError;
  m_lastError = 0;
  std::vector<uint8_t> list(m_blockListSize);
  std::vector<uint8_t> block;
  const uint64_t lap = m_size - m_headerSize;
  const uint32_t maxEntries = m_blockListSize / kBlockInfoSize - 1;
  uint64_t position = m_end;
  std::printf("Journal Start Offset:0x%" PRIx64 "\n", position);
  auto go = [&] { return progress == nullptr || progress->Continued() != 0; };
  uint64_t& swept = m_counters.bytesSwept;
  while (swept < lap) {
    if (!go()) return m_lastError;
    if (Read(position, list.data(), m_headerSize) != m_headerSize) return m_lastError;
    bool isList = J16(list.data()) == maxEntries;
    uint32_t count = 0;
    if (isList) {
      if (Read(position, list.data(), m_blockListSize) != m_blockListSize) return m_lastError;
      count = J16(list.data() + 2);
      const uint64_t used = J32(list.data() + 4);
      // A block list that would not fit its own header or the buffer is data
      // that happens to start like one.
      isList = count >= 1 && count <= maxEntries && used >= m_blockListSize && used <= lap;
    }
    if (!isList) {
      position = Advance(position, m_headerSize);
      swept += m_headerSize;
      continue;
    }
    ++m_counters.blockLists;
    position = Advance(position, m_blockListSize);
    swept += m_blockListSize;
    // The blocks cannot hold more than the list says it uses; an entry that
    // would is damage, and the rest of the list is skipped.
    uint64_t remaining = J32(list.data() + 4) - m_blockListSize;
    for (uint32_t i = 1; i < count && swept < lap; ++i) {
      if (!go()) return m_lastError;
      const uint8_t* entry = list.data() + kBlockInfoSize * (i + 1);
      const uint64_t number = J64(entry);
      const uint32_t size = J32(entry + 8);
      if (size > remaining) {
        position = Advance(position, remaining);
        swept += remaining;
        break;
      }
      remaining -= size;
      const uint64_t at = position;
      position = Advance(position, size);
      swept += size;
      if (size == 0 || size > kMaxEntrySize || number == kKilledBlock || number > UINT64_MAX / m_headerSize) continue;
      block.resize(size);
      if (Read(at, block.data(), size) != size) return m_lastError;
      DecodeNode(block.data(), size, number * m_headerSize, progress, catalog, extents, attributes);
    }
  }
  return m_lastError;
}

void CHFSPlusJournal::DecodeNode(const uint8_t* bytes, uint32_t size, uint64_t volumeByte,
                                 CHFSPlusQuickFileSystemSearchProgress* progress, CHFSPlusJournalRecords& catalog,
                                 CHFSPlusJournalRecords& extents, CHFSPlusJournalRecords& attributes) {
  const uint32_t fileID = m_volume->GetNodeBelongToFile(volumeByte);
  CHFSPlusBTreeOptionBase* tree = nullptr;
  CHFSPlusJournalRecords* into = nullptr;
  switch (fileID) {
    case hfsplus::kCatalogFileID:
      tree = m_volume->GetCatalog();
      into = &catalog;
      break;
    case hfsplus::kExtentsFileID:
      tree = m_volume->GetExtents();
      into = &extents;
      break;
    case hfsplus::kAttributesFileID:
      tree = m_volume->GetAttributes();
      into = &attributes;
      break;
    default:
      return;
  }
  if (tree == nullptr || tree->GetHeaderRec() == nullptr) return;
  const uint32_t nodeSize = tree->GetHeaderRec()->nodeSize;
  if (nodeSize == 0 || size % nodeSize != 0) return;
  // A journal block may hold several consecutive nodes of the tree.
  for (uint32_t piece = 0; piece < size; piece += nodeSize) {
    if (!CHFSPlusBTNode::IsValidNode(bytes + piece, static_cast<uint16_t>(nodeSize))) continue;
    CHFSPlusBTNode node(bytes + piece, static_cast<uint16_t>(nodeSize), 0);
    if (!node.IsValid() || node.GetKind() != hfsplus::kLeafNode) continue;
    ++m_counters.leafNodes;
    const uint16_t records = node.GetRecordCount();
    for (uint16_t i = 0; i < records; ++i) {
      std::unique_ptr<BTKey> key(tree->KeyRead(&node, i));
      std::unique_ptr<uint8_t[]> data(key ? tree->DataRead(&node, i) : nullptr);
      if (!key || !data) continue;
      uint32_t id = 0;
      if (fileID == hfsplus::kCatalogFileID) {
        const auto* record = reinterpret_cast<const HFSPlusCatalogRecord*>(data.get());
        if (record->recordType == hfsplus::kFolderRecord) {
          id = record->folder.folderID;
        } else if (record->recordType == hfsplus::kFileRecord) {
          id = record->file.fileID;
        } else {
          continue;  // threads: the file or folder record says it all
        }
      }
      HFSPlusSearchResult found;
      uint8_t* raw = nullptr;
      m_volume->Search(static_cast<int>(fileID), key.get(), found, &raw);
      std::unique_ptr<uint8_t[]> live(raw);
      if (found.found != 0) {
        if (fileID != hfsplus::kCatalogFileID) continue;
        const auto* liveRecord = reinterpret_cast<const HFSPlusCatalogRecord*>(live.get());
        const uint32_t liveID = liveRecord == nullptr                              ? 0
                                : liveRecord->recordType == hfsplus::kFolderRecord ? liveRecord->folder.folderID
                                : liveRecord->recordType == hfsplus::kFileRecord   ? liveRecord->file.fileID
                                                                                   : 0;
        if (liveID == id) continue;
      }
      if (into->Put(key.release(), data.release(), id) && fileID == hfsplus::kCatalogFileID && progress != nullptr) {
        progress->Advance();
      }
    }
  }
}
