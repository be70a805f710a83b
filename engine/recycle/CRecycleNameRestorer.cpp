#include "recycle/CRecycleNameRestorer.h"

#include <iconv.h>

#include <algorithm>
#include <cstring>

#include "FileNode.h"
#include "FileProperties.h"
#include "SearchedPartitionInfo.h"
#include "exfat/ExFatFileNode.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "ntfs/CFileReaderEx.h"
#include "ntfs/NTFSFileNode.h"
#include "tree/CRecyclerFilter.h"

namespace {

// Without a partition record clusters are taken as two sectors.
constexpr int kDefaultSectorsPerCluster = 2;

bool UsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The node's and the record's names after their "$R"/"$I" prefixes agree
// over the shorter of the two.
bool SameSuffix(const char* node, const char* record) {
  if (node == nullptr || record == nullptr) return false;
  const size_t a = std::strlen(node), b = std::strlen(record);
  if (a < 2 || b < 2) return false;
  return std::strncmp(node + 2, record + 2, std::min(a, b) - 2) == 0;
}

}  // namespace

bool CRecycleNameRestorer::UTF162UTF8(const char* in, unsigned long inBytes, char* out, unsigned long outBytes) {
  if (in == nullptr || out == nullptr || outBytes == 0) return false;
  std::memset(out, 0, outBytes);
  iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(in);
  size_t srcLeft = inBytes;
  char* dst = out;
  size_t dstLeft = outBytes - 1;  // room for the terminating NUL
  const size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  return done != static_cast<size_t>(-1);
}

std::string CRecycleNameRestorer::FormerName(const uint8_t* record, size_t size) {
  if (record == nullptr) return {};
  const size_t limit = std::min(size, kPathLimit);
  // The last backslash, as a whole UTF-16 unit: a path starts at an even
  // offset in both record versions, and a lone 0x5C byte may be half of
  // another character.
  size_t p = limit;
  for (size_t i = limit & ~size_t{1}; i >= 2;) {
    i -= 2;
    if (record[i] == 0x5C && record[i + 1] == 0) {
      p = i;
      break;
    }
  }
  if (p == limit) return {};
  bool drive = false;
  for (size_t k = 0; k + 2 <= p && !drive; k += 2) drive = record[k] == ':' && record[k + 2] == '\\';
  if (!drive) return {};
  // The name runs up to its terminating NUL unit, within the looked-at bytes.
  size_t end = p + 2;
  while (end + 1 < limit && (record[end] != 0 || record[end + 1] != 0)) end += 2;
  if (end == p + 2) return {};
  char out[kPathLimit] = {};
  if (!UTF162UTF8(reinterpret_cast<const char*>(record + p + 2), end - (p + 2), out, sizeof out)) return {};
  std::string name(out);
  return UsableName(name) ? name : std::string();
}

IFileProperties* CRecycleNameRestorer::GetFileProperties(CFileNode* node, _tagSearcherType type) {
  if (node == nullptr) return nullptr;
  if (type == SEARCHER_TYPE_FAT) {
    auto* fat = dynamic_cast<CFATFileNode*>(node);
    return fat != nullptr ? fat->GetFileProperties() : nullptr;
  }
  if (type == SEARCHER_TYPE_NTFS) {
    auto* ntfs = dynamic_cast<CNTFSFileNode*>(node);
    return ntfs != nullptr ? ntfs->GetFileProperties() : nullptr;
  }
  return nullptr;
}

void CRecycleNameRestorer::RestorFileName(IStorageDevice* device, CFileNode* node, CFileNode* record,
                                          int64_t firstDataSector, int sectorsPerCluster, _tagSearcherType type) {
  if (device == nullptr || node == nullptr || record == nullptr) return;
  CFileReaderEx reader;
  if (!reader.Open(device, record, firstDataSector, sectorsPerCluster)) return;
  uint8_t bytes[kRecordBytes] = {};
  // Only the record's own bytes: past its size lies whatever else the
  // cluster holds.
  const int want = static_cast<int>(std::min<int64_t>(kRecordBytes, std::max<int64_t>(reader.GetDataSize(), 0)));
  int got = 0;
  if (want <= 0 || reader.Read(0, bytes, want, got) == 0 || got <= 0) return;
  const std::string name = FormerName(bytes, static_cast<size_t>(std::min(got, want)));
  if (name.empty()) return;
  if (type == SEARCHER_TYPE_EXFAT) {
    if (auto* exfat = dynamic_cast<CExFatFileNode*>(node)) exfat->SetFileName(name.c_str());
    return;
  }
  if (IFileProperties* properties = GetFileProperties(node, type)) properties->SetFileName(name.c_str());
}

int CRecycleNameRestorer::RestoreName(CFileNode* node, _tagSearcherType type, const std::vector<CFileNode*>& records,
                                      CSearchedPartitionInfo* partition, IStorageDevice* device) {
  if (node == nullptr || device == nullptr) return -1;
  const char* name = node->GetFileName();
  if (name == nullptr || name[0] != '$' || name[1] != 'R' || CRecyclerFilter::IsRecycleBinSigleNode(node)) return -1;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i] == nullptr || !SameSuffix(name, records[i]->GetFileName())) continue;
    const int64_t first = partition != nullptr ? partition->GetFirstDataSector() : 0;
    const int spc =
        partition != nullptr ? static_cast<int>(partition->GetSectorsperCluster()) : kDefaultSectorsPerCluster;
    RestorFileName(device, node, records[i], first, spc, type);
    return static_cast<int>(i);
  }
  return -1;
}

void CRecycleNameRestorer::Register() {
  static CRecycleNameRestorer restorer;
  SetRecycleNameRestorer(&restorer);
}
