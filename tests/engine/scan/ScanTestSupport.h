// Test doubles for the scan drivers (a device whose every sector can be
// recognised, searchers that log their calls, a replay source) and complete scans of real devices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "FileSystemSearchController.h"
#include "Progress.h"
#include "RestoreScanSink.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "scan/CRecoveryController.h"
#include "support/RecordingProgress.h"
#include "support/ScratchWorkDir.h"
#include "support/StubDevice.h"

namespace scantest {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
// The code a PatternDevice leaves when it cannot read a sector.
inline constexpr ResultCode kUnreadableCode = result::MakeResult(result::kModuleStorageDevice, 0x88, 1);

// A device of `total` sectors whose bytes follow from their sector number.
// Reads past the end are refused and counted; chosen sectors fail (set them
// before reads start); reads that touch the gate sector or later wait until
// the gate moves (-1 holds nothing).
class PatternDevice : public testsupport::StubDevice {
 public:
  explicit PatternDevice(int64_t total, uint32_t sectorSize = 512, uint32_t kind = STORAGE_DEVICE_VOLUME)
      : sectorSize(sectorSize), total_(total), kind_(kind) {}
  static Bytes Expected(int64_t first, int64_t count, uint32_t sectorSize = 512);

  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize; }
  int64_t GetTotalSectors() override { return total_; }
  uint32_t GetType() override { return kind_; }
  ResultCode GetLastError() override { return lastError_; }
  void Gate(int64_t from) {
    std::lock_guard<std::mutex> hold(lock_);
    gate_ = from;
    gateMoved_.notify_all();
  }
  void WaitUntilHeld() {
    std::unique_lock<std::mutex> hold(lock_);
    gateMoved_.wait(hold, [this] { return held_ > 0; });
  }

  std::atomic<uint32_t> sectorSize;
  std::set<int64_t> unreadable;
  bool allUnreadable = false;
  std::atomic<int> reads{0}, overruns{0};
  std::atomic<int64_t> highest{-1};  // the highest sector read

 private:
  int64_t total_;
  uint32_t kind_;
  std::atomic<ResultCode> lastError_{0};
  std::mutex lock_;
  std::condition_variable gateMoved_;
  int64_t gate_ = -1;
  int held_ = 0;
};

// A volume record of the given file-system type for a device.
void GiveVolumeRecord(IStorageDevice* device, int fileSystemType, const char* volumeName = "");
// A found-partition record marked by its start sector.
CSearchedPartitionInfo* MakeRecord(int64_t marker);
// The markers of the records a copy-out object took; the object is released.
std::vector<int64_t> Markers(IDataRecovery* recovery);

// A searcher of either kind. It logs "prepare", "block:<first>:<count>",
// "end:<build>" and "quick"; reads each block through its device when
// asked; hands out copies of its records; and, when quick-scanning, adds the
// nodes `feed` makes to its tree.
struct FakeSearcher : ICompleteFileSystemSearchController, IQuickFileSystemSearchController {
  explicit FakeSearcher(_tagSearcherType type) : type(type) {}
  ~FakeSearcher() override {
    if (onDestroy) onDestroy();
  }
  Strings Calls(const std::string& prefix) const {
    Strings out;
    for (const std::string& call : calls) {
      if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
    }
    return out;
  }
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) override { builder = b; }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
    const int count = static_cast<int>(records.size());
    for (int i = 0; i < count && count <= capacity; ++i) array[i] = new CSearchedPartitionInfo(*records[i]);
    return count;
  }
  void SetDevice(IStorageDevice* d) override { device = d; }
  void SetBlockSize(int sectors) override { blockSize = sectors; }
  void PreparetoSearch() override { calls.push_back("prepare"); }
  void EndSearch(int build) override { calls.push_back("end:" + std::to_string(build)); }
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void SetIProgressSink(IProgress* progress) override { sink = progress; }
  void EndBlockPass() override { ++passEnds; }
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

  _tagSearcherType type;
  Strings calls;
  IStorageDevice* device = nullptr;
  IDirecotryTreeBuilder* builder = nullptr;
  IProgress* sink = nullptr;
  int blockSize = 0;
  int passEnds = 0;  // EndBlockPass calls, not logged in `calls`
  bool readBlocks = false;
  std::vector<Bytes> blocks;  // what each block read gave, when readBlocks
  ResultCode answer = 0;      // of AnalyzeBlock and QuickSearchFiles
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  std::function<std::vector<IFileNode*>()> feed;
  std::function<void()> onDestroy;
};

using ScriptedSink = testsupport::RecordingProgress;
// The reports of a block pass over `blocks` blocks that stopped after `done`.
Strings PassReports(uint64_t blocks, uint64_t done);

// A replay source that replays the nodes `feed` makes into the tree of `type`
// and hands out its records.
struct FakeReplay : RestoreScanSink {
  ~FakeReplay() override {
    for (auto& [type, list] : records) {
      for (CSearchedPartitionInfo* record : list) delete record;
    }
  }
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) override;
  std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int type) override { return records[type]; }
  _tagSearcherType type = SEARCHER_TYPE_NTFS;
  std::function<std::vector<IFileNode*>()> feed;
  IStorageDevice* device = nullptr;
  std::map<int, std::vector<CSearchedPartitionInfo*>> records;
};

// Parts that make fake searchers (the latest of each type in `made`), the real
// tree builder without its pause, and no flush.
struct FakeParts {
  RecoveryControllerParts Parts();
  std::map<_tagSearcherType, FakeSearcher*> made;
  std::set<_tagSearcherType> missing;  // types whose searchers cannot be made
  std::function<void(FakeSearcher*)> setUp;
  std::vector<bool> builderFlags;  // the restoring flag of each builder made
  Strings madeLog;                 // "builder", "<type>" and "flush", in order
};

using testsupport::LogLinesWith;  // the engine logs into a fresh folder for this program

// A FAT image of `sectors` 512-byte sectors made by mkfs.vfat and filled with
// random files through mcopy, `fillBytes` in all.
void MakeFilledFatImage(const std::filesystem::path& image, int64_t sectors, uint64_t fillBytes);
// A complete (for a whole disk, partition) scan of `device` with the five
// fake searchers and the system's flush; checks what every searcher must see.
// Answers the blocks ("first:count") and what was read of each through the
// caching device.
std::pair<Strings, std::vector<Bytes>> ScanBlocks(IStorageDevice* device, bool wholeDisk);
// Each block must hash like `dd if=<path> bs=4M skip=k count=1`; with `first`
// and one block, like `dd bs=512 skip=first count=<its sectors>`.
void ExpectBlocksHashLikeDd(const std::string& path, const std::vector<Bytes>& blocks, int64_t first = -1);

}  // namespace scantest
