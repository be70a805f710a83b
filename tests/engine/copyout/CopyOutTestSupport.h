// Helpers for the copy-out tests: FAT images made by mkfs.vfat and mtools
// with their geometry and cluster chains as minfo and mshowfat report them,
// nodes and searchers that hand those to copy-out, and a scripted progress
// sink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "FileSystemSearchController.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "engine/node/TestNode.h"

namespace copyouttest {

namespace fs = std::filesystem;

// What minfo reports of a FAT boot sector, and where the data area starts.
struct FatGeometry {
  uint32_t sectorSize = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fats = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t rootEntries = 0;
  uint64_t totalSectors = 0;
  // reserved + fats x sectors per FAT + root-folder sectors
  int64_t firstDataSector = 0;
};

// `spec` is an mtools image spec: "path" or "path@@offset".
FatGeometry ReadFatGeometry(const std::string& spec);
// The clusters of `name` (e.g. "::/big.bin") as mshowfat lists them, as runs
// counted from the data area (cluster 2 is run start 0).
std::vector<DataRun> FatRuns(const std::string& spec, const std::string& name);

// Makes a FAT image of `kib` KiB (mkfs.vfat -C -F bits [-s spc]) whose free
// space is cut into gaps by copying small files in and deleting every other
// one, then copies `files` in (named by their file names).
void MakeFragmentedFat(const fs::path& image, int fatBits, uint64_t kib, int sectorsPerCluster,
                       const std::vector<fs::path>& files);

// A file of pseudo-random bytes (python3's random with `seed`).
void WriteRandomFile(const fs::path& path, uint64_t size, int seed);
// Whether cmp finds the two files identical.
bool SameFile(const fs::path& a, const fs::path& b);

// A file node that carries runs, a partition index and a compressed flag,
// and makes compressed-data readers through a callback.
class RunNode : public TestNode {
 public:
  RunNode(const std::string& name, uint64_t size, const std::vector<DataRun>& runs, uint32_t resident = 0);
  RunNode(const RunNode&) = default;
  IFileNode* Clone() override { return new RunNode(*this); }
  IFileReader* CreateCompressFileReader(void* privateData) override {
    lastPrivateData = privateData;
    return makeReader ? makeReader() : nullptr;
  }
  std::function<IFileReader*()> makeReader;
  void* lastPrivateData = nullptr;
};

// A partition record as a searcher would make it.
std::unique_ptr<CSearchedPartitionInfo> MakePartition(uint16_t index, int fsType, uint32_t sectorsPerCluster,
                                                      int64_t firstDataSector, int64_t startSector,
                                                      uint64_t totalSectors, double weight = 0.0,
                                                      uint32_t sectorSize = 512);

// A searcher that hands out copies of its records. With `announce` set it
// answers its full count without filling an array that is too small.
class FakeSearcher : public IFileSystemSearchController {
 public:
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  bool announce = false;
  // Fill the array even when it is too small, then answer the full count.
  bool fillAndAnnounce = false;
  std::vector<int> capacities;  // what each query offered
};

// A progress sink that keeps every record and answers Continued() through a
// callback (1 when none is set).
class RecordingSink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override;
  int Continued() override;
  int shouldBuild() override { return 1; }
  std::vector<_PROGRESS_INFO> Records();
  // The records whose error's low 32 bits are `error`.
  std::vector<_PROGRESS_INFO> RecordsWithError(uint32_t error);
  std::function<int()> onContinued;
  int continuedCalls = 0;

 private:
  std::mutex lock_;
  std::vector<_PROGRESS_INFO> records_;
};

}  // namespace copyouttest

namespace copyouttest {

// A device that reads through another one but fails every read touching the
// sectors [badFirst, badLast].
class FailingRangeDevice final : public IStorageDevice {
 public:
  FailingRangeDevice(IStorageDevice* inner, int64_t badFirst, int64_t badLast)
      : inner_(inner), badFirst_(badFirst), badLast_(badLast) {}
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override {
    if (firstSector <= badLast_ && firstSector + sectorCount - 1 >= badFirst_) return 0;
    return inner_->ReadSector(buffer, firstSector, sectorCount);
  }
  uint32_t GetSectorSize() override { return inner_->GetSectorSize(); }
  int64_t GetTotalSectors() override { return inner_->GetTotalSectors(); }
  int IOCtl(uint64_t code, void* data) override { return inner_->IOCtl(code, data); }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return inner_->GetType(); }
  ResultCode GetLastError() override { return 0; }

 private:
  IStorageDevice* inner_;
  int64_t badFirst_;
  int64_t badLast_;
};

}  // namespace copyouttest
