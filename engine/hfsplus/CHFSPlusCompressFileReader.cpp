#include "hfsplus/CHFSPlusCompressFileReader.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <new>
#include <vector>

#include "DataRunList.h"
#include "base/CatchExeception.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusVolume.h"

CHFSPlusCompressFileReader::CHFSPlusCompressFileReader(CHFSPlusVolume* volume, CFileNode* node)
    : m_volume(volume), m_node(node) {}

bool CHFSPlusCompressFileReader::Open() {
  m_open = false;
  if (m_volume == nullptr || m_volume->GetVolumeHeader() == nullptr || m_node == nullptr) return false;
  m_unsure = m_node->IsContentUnsure() || m_node->IsSizeDamaged();
  const uint64_t blockSize = m_volume->GetBlockSize();
  auto* hfsNode = dynamic_cast<CHFSPlusFileNode*>(m_node);
  const uint32_t fileID =
      hfsNode != nullptr ? hfsNode->GetContentFileID() : static_cast<uint32_t>(m_node->GetCurrentNodeID());
  uint8_t* raw = nullptr;
  const uint32_t size = m_volume->getAttribute(fileID, "com.apple.decmpfs", &raw);
  std::unique_ptr<uint8_t[]> attribute(raw);
  if (!attribute) {
    CatchExeception::WriteLog("%s no decmpfs attribute for file %" PRIu32 "\r\n", "Open", fileID);
    return false;
  }
  // The resource fork's runs, copied: clones read on other threads.
  std::vector<DataRun> runs;
  uint64_t mapped = 0;
  if (IDataRunList* list = m_node->GetDataRunList(); list != nullptr) {
    std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> copy(list->Clone(), [](IDataRunList* l) {
      if (l != nullptr) l->Release();
    });
    for (DataRun* run = copy ? copy->GetFirst() : nullptr; run != nullptr; run = copy->GetNext()) {
      if (run->start < 0 || run->length <= 0) break;
      runs.push_back(*run);
      mapped += static_cast<uint64_t>(run->length) * blockSize;
    }
  }
  const uint64_t forkSize = hfsNode != nullptr ? std::min<uint64_t>(hfsNode->GetResourceForkSize(), mapped) : mapped;
  CHFSPlusVolume* volume = m_volume;
  auto readFork = [volume, runs, blockSize, forkSize](uint64_t offset, uint8_t* buffer, uint64_t length) {
    if (offset >= forkSize) return uint64_t{0};
    length = std::min(length, forkSize - offset);
    uint64_t done = 0;
    uint64_t runStart = 0;
    for (const DataRun& run : runs) {
      const uint64_t runBytes = static_cast<uint64_t>(run.length) * blockSize;
      const uint64_t at = offset + done;
      if (done < length && at < runStart + runBytes) {
        const uint64_t within = at - runStart;
        const uint64_t n = std::min(length - done, runBytes - within);
        const uint64_t got = volume->Read(static_cast<uint64_t>(run.start) * blockSize + within, buffer + done, n);
        done += got;
        if (got != n) break;
      }
      runStart += runBytes;
    }
    return done;
  };
  // The kinds kept in the resource fork need its runs.
  if (size >= 16 && runs.empty()) {
    const uint32_t type = uint32_t{attribute[4]} | uint32_t{attribute[5]} << 8 | uint32_t{attribute[6]} << 16 |
                          uint32_t{attribute[7]} << 24;
    if (type != hfsplus::kDecmpfsZlibInline && type != hfsplus::kDecmpfsLzvnInline) {
      CatchExeception::WriteLog("%s decompress flag %" PRIu32 ",got empty IDataRunList\n", "ReadData", type);
    }
  }
  // Besides the line above, the log names a missing attribute and what of
  // the decmpfs data could not be used (one line per file), where the
  // system's own lines say less.
  if (!m_content.Open(attribute.get(), size, forkSize, readFork)) {
    CatchExeception::WriteLog("%s file %" PRIu32 ": %s\r\n", "Open", fileID, m_content.GetError());
    return false;
  }
  m_open = true;
  return true;
}

unsigned int CHFSPlusCompressFileReader::ReadData(long long offset, char* buffer, unsigned int length) {
  if (!m_open || offset < 0 || buffer == nullptr) return 0;
  const bool before = m_content.IsIncomplete();
  const int64_t n = m_content.Read(static_cast<uint64_t>(offset), reinterpret_cast<uint8_t*>(buffer), length);
  // Once per file: the first chunk that does not decode whole.
  if (n < 0 || (!before && m_content.IsIncomplete())) {
    CatchExeception::WriteLog("%s decompress flag %" PRIu32 " failed at %lld\r\n", "ReadData", m_content.GetType(),
                              offset);
  }
  return n < 0 ? 0 : static_cast<unsigned int>(n);
}

IFileReader* CHFSPlusCompressFileReader::Clone() { return new (std::nothrow) CHFSPlusCompressFileReader(*this); }

int64_t CHFSPlusCompressFileReader::GetDataSize() const {
  if (m_open) return static_cast<int64_t>(std::min<uint64_t>(m_content.GetSize(), INT64_MAX));
  return m_node != nullptr ? static_cast<int64_t>(m_node->GetFileSize()) : 0;
}

int CHFSPlusCompressFileReader::IsContentIncomplete() { return m_unsure || m_content.IsIncomplete() ? 1 : 0; }

int CHFSPlusCompressFileReader::IsCompressFile() { return m_node != nullptr ? m_node->IsCompressed() : 0; }
