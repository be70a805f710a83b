// Test doubles for the scan drivers: devices whose every sector can be
// recognised, searchers and a tree builder that write what they are asked
// into a shared journal, a progress sink that can stop or pause a scan, and
// a replay source.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileSystemSearchController.h"
#include "Progress.h"
#include "RestoreScanSink.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "scan/CRecoveryController.h"

namespace scantest {

// The code a PatternDevice leaves when it refuses a read.
inline constexpr ResultCode kUnreadableCode = result::MakeResult(result::kModuleStorageDevice, 0x88, 1);

// What happened, in order, across every double that shares it.
class Journal {
 public:
  void Add(const std::string& event);
  std::vector<std::string> Events() const;
  // The events that begin with `prefix`.
  std::vector<std::string> Matching(const std::string& prefix) const;
  size_t Count(const std::string& event) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> events_;
};

// A device of `total` sectors whose bytes are a function of their sector
// (the sector number stands in the first eight bytes of every sector, the
// rest follows from it), so that a sector read from the wrong place shows.
// Reads that run past the end are refused and counted as overruns; chosen
// sectors can be made unreadable; reads can be held at a gate. Thread-safe.
class PatternDevice : public IStorageDevice {
 public:
  explicit PatternDevice(int64_t total, uint32_t sectorSize = 512, uint32_t kind = STORAGE_DEVICE_VOLUME);
  ~PatternDevice() override;

  // The bytes of sectors [first, first + count).
  static std::vector<uint8_t> Expected(int64_t first, int64_t count, uint32_t sectorSize = 512);

  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) override;
  uint32_t GetSectorSize() override { return sectorSize_.load(); }
  int64_t GetTotalSectors() override { return total_; }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return data_; }
  void SetPrivateData(IStorageDeviceData* data) override;
  uint32_t GetType() override { return kind_; }
  ResultCode GetLastError() override { return lastError_.load(); }

  // As when a new device record gives another sector size.
  void SetSectorSize(uint32_t sectorSize) { sectorSize_ = sectorSize; }
  void SetUnreadable(std::set<int64_t> sectors);
  void SetAllUnreadable(bool all) { allBad_ = all; }
  // Reads that touch sector `from` or later wait until OpenGate (or a gate
  // at -1, the default, holds nothing).
  void CloseGate(int64_t from);
  void OpenGate();
  // Waits until a read is held at the gate.
  void WaitUntilHeld();

  int reads() const { return reads_.load(); }
  int failedReads() const { return failed_.load(); }
  int overruns() const { return overruns_.load(); }
  // The highest sector any read touched, -1 before the first.
  int64_t highestSector() const { return highest_.load(); }

 private:
  int64_t total_;
  std::atomic<uint32_t> sectorSize_;
  uint32_t kind_;
  IStorageDeviceData* data_ = nullptr;
  std::atomic<ResultCode> lastError_{0};
  std::atomic<int> reads_{0};
  std::atomic<int> failed_{0};
  std::atomic<int> overruns_{0};
  std::atomic<int64_t> highest_{-1};
  std::atomic<bool> allBad_{false};
  mutable std::mutex lock_;
  std::condition_variable gateChanged_;
  std::set<int64_t> bad_;
  int64_t gateFrom_ = -1;
  int held_ = 0;
};

// A volume record of the given file-system type for a device.
void GiveVolumeRecord(IStorageDevice* device, int fileSystemType, const char* volumeName = "", uint32_t state = 0);

// A found-partition record that says which searcher made it (its start
// sector is `marker`).
CSearchedPartitionInfo* MakeRecord(int fileSystemType, int64_t marker);

// A complete searcher that writes every call into the journal as
// "<type>:<call>", keeps what it read through its device, block by block,
// and hands out copies of its records.
class FakeCompleteSearcher : public ICompleteFileSystemSearchController {
 public:
  FakeCompleteSearcher(_tagSearcherType type, Journal* journal);
  ~FakeCompleteSearcher() override;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override;
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override;
  void PreparetoSearch() override;
  void EndSearch(int build) override;
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void SetIProgressSink(IProgress* progress) override;

  _tagSearcherType type;
  Journal* journal;
  IStorageDevice* device = nullptr;
  IDirecotryTreeBuilder* builder = nullptr;
  IProgress* sink = nullptr;
  int blockSize = 0;
  // Read every block through the device and keep its bytes.
  bool readBlocks = false;
  std::vector<std::vector<uint8_t>> blocks;
  std::vector<int> readAnswers;
  ResultCode analyzeAnswer = 0;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  // Called after each AnalyzeBlock with the block's first sector.
  std::function<void(int64_t)> onBlock;
  // Called from the destructor (for checks of what is still alive).
  std::function<void()> onDestroy;
};

// A quick searcher that journals its calls and, when scanning, opens its
// tree, adds the nodes that `feed` makes and finishes the tree.
class FakeQuickSearcher : public IQuickFileSystemSearchController {
 public:
  FakeQuickSearcher(_tagSearcherType type, Journal* journal);
  ~FakeQuickSearcher() override;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override;
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

  _tagSearcherType type;
  Journal* journal;
  IDirecotryTreeBuilder* builder = nullptr;
  IStorageDevice* scanned = nullptr;
  IProgress* sink = nullptr;
  int64_t rootID = 5;
  // Makes the nodes to add; refused nodes are released, as a searcher must.
  std::function<std::vector<IFileNode*>()> feed;
  ResultCode answer = 0;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  std::function<void()> onDestroy;
};

// A builder that only journals ("builder:<call>") and remembers how it was
// made.
class FakeBuilder : public IDirecotryTreeBuilder {
 public:
  FakeBuilder(bool restoring, Journal* journal) : restoring(restoring), journal(journal) {}
  int Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) override;
  int AddNode(IFileNode* node, _tagSearcherType type) override;
  int AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) override;
  void FlashBuild(_tagSearcherType type) override;
  void Release() override;
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

  bool restoring;
  Journal* journal;
  std::string description;
  int initializeAnswer = 1;
};

// A progress sink that keeps every record. Continued() can stop the scan
// after a number of calls, or pause it: a paused call blocks until Resume.
class ScriptedSink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override;
  int Continued() override;
  int shouldBuild() override { return build; }

  std::vector<_PROGRESS_INFO> Records() const;
  // Continued() answers 0 from its `n`-th call on (counting from 1).
  void StopAtCall(int n) { stopAt_ = n; }
  // The `n`-th call of Continued() blocks until Resume.
  void PauseAtCall(int n) { pauseAt_ = n; }
  void WaitUntilPaused();
  void Resume();
  int continuedCalls() const { return calls_.load(); }

  int build = 1;
  std::function<void()> onContinued;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<_PROGRESS_INFO> records_;
  std::atomic<int> calls_{0};
  int stopAt_ = 0;
  int pauseAt_ = 0;
  bool paused_ = false;
  bool resumed_ = false;
};

// A replay source that journals its calls ("replay:<device>"), replays the
// nodes `feed` makes into the tree of `type`, and hands out its records.
class FakeReplay : public RestoreScanSink {
 public:
  explicit FakeReplay(Journal* journal) : journal(journal) {}
  ~FakeReplay() override;
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) override;
  std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) override;

  Journal* journal;
  _tagSearcherType type = SEARCHER_TYPE_NTFS;
  int64_t rootID = 5;
  std::function<std::vector<IFileNode*>()> feed;
  IDirecotryTreeBuilder* builder = nullptr;
  IStorageDevice* device = nullptr;
  IProgress* progress = nullptr;
  std::map<int, std::vector<CSearchedPartitionInfo*>> records;
};

// Parts that make fake searchers (keeping pointers to them in `made`), the
// real tree builder without its one-second pause, and no flush.
struct FakeParts {
  Journal journal;
  std::map<_tagSearcherType, FakeCompleteSearcher*> complete;
  std::map<_tagSearcherType, FakeQuickSearcher*> quick;
  // Types whose searchers cannot be made.
  std::set<_tagSearcherType> missing;
  // Prepares each searcher as it is made.
  std::function<void(FakeCompleteSearcher*)> setUpComplete;
  std::function<void(FakeQuickSearcher*)> setUpQuick;
  bool fakeBuilder = false;
  std::vector<bool> builderFlags;  // the restoring flag of each builder made
  int flushes = 0;

  RecoveryControllerParts Parts();
};

// The engine's log file for this test program. Its working folder is a
// fresh temporary folder, chosen before anything logs.
std::filesystem::path LogFile();

// What `dd if=<image> <operands> | sha256sum` prints (the hash only).
std::string DdSha256(const std::filesystem::path& image, const std::string& operands);
// sha256sum of bytes.
std::string Sha256Of(const std::vector<uint8_t>& bytes);

// Makes a FAT image of exactly `sectors` 512-byte sectors with mkfs.vfat and
// fills it with files of random bytes through mcopy, `fillBytes` in all.
void MakeFilledFatImage(const std::filesystem::path& image, int64_t sectors, uint64_t fillBytes);

}  // namespace scantest
