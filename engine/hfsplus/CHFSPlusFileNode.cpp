#include "hfsplus/CHFSPlusFileNode.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "hfsplus/CHFSPlusCompressFileReader.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/Decmpfs.h"

std::string HFSPlusNameToUtf8(const uint16_t* units, uint32_t length) {
  uint32_t first = 0;
  while (first < length && units[first] == 0) ++first;
  icu::UnicodeString text;
  for (uint32_t i = first; i < length; ++i) text.append(static_cast<char16_t>(units[i] == '/' ? ':' : units[i]));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_SUCCESS(status)) {
    icu::UnicodeString composed = nfc->normalize(text, status);
    if (U_SUCCESS(status)) text = composed;
  }
  std::string out;
  // Unpaired surrogates become U+FFFD.
  text.toUTF8String(out);
  return out;
}

IDataRunList* BuildFileDataRun(CHFSPlusVolume* volume, const HFSPlusForkData& fork, uint32_t fileID, uint8_t forkType) {
  IDataRunList* list = CreateDataRunList();
  if (list == nullptr) return nullptr;
  std::vector<HFSPlusExtentDescriptor> extents;
  hfsplus::CollectForkExtents(volume, fileID, forkType, fork, true, extents);
  for (const auto& e : extents) {
    DataRun run;
    run.start = e.startBlock;
    run.length = e.blockCount;
    list->AddDataRun(&run);
  }
  return list;
}

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, const BTKey* key, const HFSPlusCatalogRecord* record,
                                   int deleted)
    : m_volume(volume) {
  if (deleted != 0) m_flags |= kDeleted;
  CreateFileNode(key, record, -1, 0);
  JudgeDeletedContent();
}

void CHFSPlusFileNode::JudgeDeletedContent() {
  if ((m_flags & kDeleted) == 0 || (m_flags & kDirectory) != 0 || m_hardLink || m_volume == nullptr) return;
  if (m_volume->RunsReachBlocksInUse(GetDataRunList()) == 1) SetContentUnsure(true);
}

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, int64_t metadataSector, uint16_t partitionIndex,
                                   const BTKey* key, const HFSPlusCatalogRecord* record)
    : m_volume(volume) {
  CreateFileNode(key, record, metadataSector, partitionIndex);
}

void CHFSPlusFileNode::CreateFileNode(const BTKey* key, const HFSPlusCatalogRecord* record, int64_t metadataSector,
                                      uint16_t partitionIndex) {
  if (key == nullptr || record == nullptr) return;
  SetParentNodeID(key->catalog.parentID);
  m_name = HFSPlusNameToUtf8(key->catalog.nodeName.unicode,
                             std::min<uint32_t>(key->catalog.nodeName.length, hfsplus::kMaxNameUnits));
  auto place = [&] {
    SetBelongedPartition(partitionIndex);
    if (metadataSector >= 0) SetMetaDataSector(metadataSector);
  };
  if (record->recordType == hfsplus::kFileRecord) {
    const HFSPlusCatalogFile* file = &record->file;
    SetCurrentNodeID(file->fileID);
    m_contentFileID = file->fileID;
    // A hard link reads the indirect node file it names in the private-data
    // folder; on its own it is an empty file.
    HFSPlusCatalogFile target;
    uint32_t linkID = 0;
    if (m_volume != nullptr && IsHardLinkRecord(*file, &linkID) && m_volume->GetIndirectNodeFile(linkID, target)) {
      m_hardLink = true;
      m_contentFileID = target.fileID;
      file = &target;
    }
    const uint32_t blockSize = m_volume != nullptr ? m_volume->GetBlockSize() : 0;
    if ((file->permissions.ownerFlags & hfsplus::kCompressedOwnerFlag) != 0) {
      m_flags |= kCompressed;
      SetCompressedFlag(1);
      m_size = static_cast<int64_t>(file->resourceFork.logicalSize);
      m_forkSize = file->resourceFork.logicalSize;
      // Inline kinds too get a (then empty) run list: copy-out asks for a
      // compressed reader only for nodes that have one.
      SetDataRunList(BuildFileDataRun(m_volume, file->resourceFork, m_contentFileID, hfsplus::kResourceForkType));
    } else {
      m_size = static_cast<int64_t>(std::min<uint64_t>(file->dataFork.logicalSize, INT64_MAX));
      if (m_size == 0) m_size = static_cast<int64_t>(uint64_t{file->dataFork.totalBlocks} * blockSize);
      SetDataRunList(BuildFileDataRun(m_volume, file->dataFork, m_contentFileID, hfsplus::kDataForkType));
      // A size read from the record is no more than its extents hold inside
      // the volume; a damaged one keeps what they hold. A record found with
      // no volume to judge it by (a complete scan's) keeps its size: copy-out
      // still writes no more than its runs hold.
      const uint64_t held = HeldBytes(GetDataRunList());
      if (m_volume != nullptr && static_cast<uint64_t>(m_size) > held) {
        m_size = static_cast<int64_t>(held);
        SetSizeDamaged(true);
      }
    }
    m_creationTime = file->createDate;
    m_modificationTime = file->contentModDate;
    m_accessTime = file->accessDate;
    place();
    if (record->file.fileType == hfsplus::kFolderAliasFileType) m_flags |= kDirectory;
    // Both scans take a compressed file's size from its decmpfs header.
    if (IsCompressed()) UpdateNodeInfo();
    return;
  }
  if (record->recordType == hfsplus::kFolderRecord) {
    m_flags |= kDirectory;
    if (record->folder.folderID == hfsplus::kRootParentID) return;
    SetCurrentNodeID(record->folder.folderID);
    m_size = 0;
    m_creationTime = record->folder.createDate;
    m_modificationTime = record->folder.contentModDate;
    m_accessTime = record->folder.accessDate;
    place();
  }
}

uint64_t CHFSPlusFileNode::HeldBytes(IDataRunList* list) const {
  const HFSPlusVolumeHeader* header = m_volume != nullptr ? m_volume->GetVolumeHeader() : nullptr;
  if (list == nullptr || header == nullptr) return 0;
  const uint64_t volumeBlocks = header->totalBlocks;
  uint64_t blocks = 0;
  // Extents in file order; one that leaves the volume ends what the file
  // can hold there.
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (run->start < 0 || run->length <= 0) break;
    const uint64_t start = static_cast<uint64_t>(run->start);
    const uint64_t length = static_cast<uint64_t>(run->length);
    if (start >= volumeBlocks) break;
    blocks += std::min(length, volumeBlocks - start);
    if (length > volumeBlocks - start) break;
  }
  return blocks * header->blockSize;
}

IFileNode* CHFSPlusFileNode::Clone() { return new (std::nothrow) CHFSPlusFileNode(*this); }

IFileReader* CHFSPlusFileNode::CreateCompressFileReader(void*) {
  if (!IsCompressed() || m_volume == nullptr) return nullptr;
  auto* reader = new (std::nothrow) CHFSPlusCompressFileReader(m_volume, this);
  if (reader != nullptr && !reader->Open()) {
    reader->Release();
    return nullptr;
  }
  return reader;
}

void CHFSPlusFileNode::UpdateNodeInfo() {
  if (!IsCompressed() || m_volume == nullptr || !m_volume->HasAttributesTree()) return;
  uint8_t* raw = nullptr;
  const uint32_t size = m_volume->getAttribute(m_contentFileID, "com.apple.decmpfs", &raw);
  std::unique_ptr<uint8_t[]> data(raw);
  if (size >= sizeof(HFSPlusDecmpfsHeader) && data) {
    HFSPlusDecmpfsHeader header;
    hfsplus::LoadDecmpfsHeader(data.get(), header);
    // The size the compressed data can hold: inline data expands at most
    // kMaxExpansion-fold; a resource fork holds a table entry and at least
    // one byte for every 64 KiB chunk.
    const bool inline_ =
        header.compressionType == hfsplus::kDecmpfsZlibInline || header.compressionType == hfsplus::kDecmpfsLzvnInline;
    const uint64_t fork = std::min<uint64_t>(m_forkSize, HeldBytes(GetDataRunList()));
    const uint64_t limit =
        inline_ ? hfsplus::kMaxExpansion * (size - sizeof(HFSPlusDecmpfsHeader)) : fork / 5 * hfsplus::kDecmpfsChunk;
    m_size = static_cast<int64_t>(std::min<uint64_t>({header.uncompressedSize, limit, INT64_MAX}));
    if (header.uncompressedSize > limit) SetSizeDamaged(true);
    return;
  }
  std::printf("Warn:Can't find file 0x%" PRIx32 " Attribute\n", m_contentFileID);
}
