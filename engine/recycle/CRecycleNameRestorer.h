// Reads a recycle record ("$I...") and gives the data file or folder it
// belongs to ("$R...") the last component of its former path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "EngineTypes.h"
#include "tree/RecycleNameRestorer.h"

class CFileNode;
class IFileProperties;
class IStorageDevice;

class CRecycleNameRestorer : public IRecycleNameRestorer {
 public:
  // Bytes of a record looked at: the header and the start of the path.
  static constexpr size_t kRecordBytes = 1024;
  // The former path is looked for in the first 512 bytes; a longer last
  // component is cut there.
  static constexpr size_t kPathLimit = 512;

  // Takes the first record (in list order) whose name after its two-character
  // prefix matches the node's, compared over the shorter of the two; see
  // IRecycleNameRestorer.
  int RestoreName(CFileNode* node, _tagSearcherType type, const std::vector<CFileNode*>& records,
                  CSearchedPartitionInfo* partition, IStorageDevice* device) override;

  // Reads `record` and renames `node`. Clusters are read from
  // `firstDataSector` in runs of `sectorsPerCluster` device sectors. Any
  // failure leaves the node's name as it was.
  static void RestorFileName(IStorageDevice* device, CFileNode* node, CFileNode* record, int64_t firstDataSector,
                             int sectorsPerCluster, _tagSearcherType type);
  // The property record that holds the name of a FAT or NTFS node; null for
  // other types and for a null node.
  static IFileProperties* GetFileProperties(CFileNode* node, _tagSearcherType type);
  // UTF-16LE to UTF-8 into `out` (NUL-terminated, cut to fit); false when
  // the text cannot be converted.
  static bool UTF162UTF8(const char* in, unsigned long inBytes, char* out, unsigned long outBytes);

  // The former name held by the first `size` bytes of a record: the text
  // after the last backslash of a path that begins with a drive ("C:\").
  // Empty when there is none or when it is not usable as a file name.
  static std::string FormerName(const uint8_t* record, size_t size);

  // The restorer the builders of this process use.
  static void Register();
};
