// Helpers for the copy-out tests: FAT images made by mkfs.vfat and mtools with
// their geometry and cluster chains as minfo and mshowfat report them, nodes
// and searchers that hand those to copy-out.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "DataRunList.h"
#include "FileSystemSearchController.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "engine/node/TestNode.h"
#include "support/RecordingProgress.h"

namespace copyouttest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t size, unsigned seed);
// A file of RandomBytes.
void WriteRandomFile(const fs::path& path, uint64_t size, int seed);
// Whether cmp finds the two files identical.
bool SameFile(const fs::path& a, const fs::path& b);

// What minfo reports of a FAT boot sector. `spec` is "path" or "path@@offset".
struct FatGeometry {
  uint32_t sectorSize = 0, sectorsPerCluster = 0;
  uint64_t totalSectors = 0;
  int64_t firstDataSector = 0;  // reserved + FATs + root-folder sectors
};
FatGeometry ReadFatGeometry(const std::string& spec);
// The clusters of `name` (e.g. "::/big.bin") as mshowfat lists them, as runs
// counted from the data area (cluster 2 is run start 0).
std::vector<DataRun> FatRuns(const std::string& spec, const std::string& name);
// A FAT image of `kib` KiB (mkfs.vfat -C -F bits [-s spc]) whose free space is
// cut into gaps before `files` are copied in, so that they land in pieces.
void MakeFragmentedFat(const fs::path& image, int fatBits, uint64_t kib, int sectorsPerCluster,
                       const std::vector<fs::path>& files);

// A file node with runs; compressed ones make readers through `makeReader`.
class RunNode : public TestNode {
 public:
  RunNode(const std::string& name, uint64_t size, const std::vector<DataRun>& runs, uint32_t resident = 0);
  RunNode(const RunNode&) = default;
  IFileNode* Clone() override { return new RunNode(*this); }
  int IsCompressed() const override { return compressed ? 1 : 0; }
  IFileReader* CreateCompressFileReader(void* privateData) override {
    lastPrivateData = privateData;
    return makeReader ? makeReader() : nullptr;
  }
  bool compressed = false;
  std::function<IFileReader*()> makeReader;
  void* lastPrivateData = nullptr;
};
// A compressed node read by the NTFS compressed-data reader.
std::unique_ptr<RunNode> NtfsCompressedNode(uint64_t size, const std::vector<DataRun>& runs);

// A file on 12 MiB of random bytes with 4 KiB clusters from sector 0: plain,
// 9 MiB + 333 bytes in two runs, the second before the first; or
// NTFS-compressed, 20 units (8 raw, 4 sparse, 8 raw) ending 1000 bytes into
// the last. `expected` is its content.
struct SampleFile {
  explicit SampleFile(bool compressed);
  Bytes disk;
  std::vector<DataRun> runs;
  std::unique_ptr<RunNode> node;
  Bytes expected;
};

std::unique_ptr<CSearchedPartitionInfo> MakePartition(uint16_t index, int fsType, uint32_t sectorsPerCluster,
                                                      int64_t firstDataSector, int64_t startSector,
                                                      uint64_t totalSectors, double weight = 0.0,
                                                      uint32_t sectorSize = 512);

// A searcher that hands out copies of its records. `announce` answers the full
// count without filling an array that is too small; `fillAndAnnounce` fills it
// and then answers the full count.
struct FakeSearcher : IFileSystemSearchController {
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  bool announce = false, fillAndAnnounce = false;
  std::vector<int> capacities;  // what each query offered
};

struct RecoveryReleaser {
  void operator()(IDataRecovery* recovery) const { recovery->Release(); }
};
using RecoveryPtr = std::unique_ptr<IDataRecovery, RecoveryReleaser>;
// A copy-out object over `device` with one record of the file system.
RecoveryPtr MakeRecovery(IStorageDevice* device, int fsType, uint32_t sectorsPerCluster, int64_t firstDataSector = 0,
                         int64_t startSector = 0, uint32_t sectorSize = 512);
// Prepares `node` and gives the reader clone back; whether there was one.
bool Prepare(IDataRecovery* recovery, IFileNode* node);

using RecordingSink = testsupport::RecordingProgress;
// The `current` of each report of a full destination (0xD03).
std::vector<uint64_t> ShortWrites(const RecordingSink& sink);

}  // namespace copyouttest
