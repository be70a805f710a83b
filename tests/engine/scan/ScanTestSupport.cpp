#include "engine/scan/ScanTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "DeviceData.h"
#include "FileNode.h"
#include "support/TestSupport.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace scantest {

namespace {

// The working folder is computed once per process, so it is chosen while
// the program starts, before anything can log.
const std::string& WorkDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/clipmender-scantest-XXXXXX";
    const char* made = mkdtemp(pattern);
    std::string chosen = made != nullptr ? made : "/tmp";
    setenv("CLIPMENDER_WORK_DIR", chosen.c_str(), 1);
    static const std::string* const kept = new std::string(chosen);
    std::atexit([] {
      std::error_code ignored;
      if (*kept != "/tmp") std::filesystem::remove_all(*kept, ignored);
    });
    return chosen;
  }();
  return dir;
}
const bool kWorkDirChosen = !WorkDir().empty();

}  // namespace

std::filesystem::path LogFile() { return std::filesystem::path(WorkDir()) / "tolveraware.log"; }

using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

void Journal::Add(const std::string& event) {
  std::lock_guard<std::mutex> hold(lock_);
  events_.push_back(event);
}

std::vector<std::string> Journal::Events() const {
  std::lock_guard<std::mutex> hold(lock_);
  return events_;
}

std::vector<std::string> Journal::Matching(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& event : Events()) {
    if (event.compare(0, prefix.size(), prefix) == 0) out.push_back(event);
  }
  return out;
}

size_t Journal::Count(const std::string& event) const {
  const std::vector<std::string> all = Events();
  return static_cast<size_t>(std::count(all.begin(), all.end(), event));
}

namespace {

void FillSector(uint8_t* out, int64_t sector, uint32_t sectorSize) {
  const uint64_t s = static_cast<uint64_t>(sector);
  for (int i = 0; i < 8 && static_cast<uint32_t>(i) < sectorSize; ++i) out[i] = static_cast<uint8_t>(s >> (8 * i));
  const uint32_t mix = static_cast<uint32_t>(s * 2654435761u);
  for (uint32_t i = 8; i < sectorSize; ++i) out[i] = static_cast<uint8_t>((mix >> (i % 24)) + i * 13);
}

}  // namespace

PatternDevice::PatternDevice(int64_t total, uint32_t sectorSize, uint32_t kind)
    : total_(total), sectorSize_(sectorSize), kind_(kind) {}

PatternDevice::~PatternDevice() {
  if (data_ != nullptr) data_->Release();
}

std::vector<uint8_t> PatternDevice::Expected(int64_t first, int64_t count, uint32_t sectorSize) {
  std::vector<uint8_t> out(static_cast<size_t>(count) * sectorSize);
  for (int64_t i = 0; i < count; ++i)
    FillSector(out.data() + static_cast<size_t>(i) * sectorSize, first + i, sectorSize);
  return out;
}

void PatternDevice::SetPrivateData(IStorageDeviceData* data) {
  if (data_ != nullptr && data_ != data) data_->Release();
  data_ = data;
}

void PatternDevice::SetUnreadable(std::set<int64_t> sectors) {
  std::lock_guard<std::mutex> hold(lock_);
  bad_ = std::move(sectors);
}

void PatternDevice::CloseGate(int64_t from) {
  std::lock_guard<std::mutex> hold(lock_);
  gateFrom_ = from;
}

void PatternDevice::OpenGate() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    gateFrom_ = -1;
  }
  gateChanged_.notify_all();
}

void PatternDevice::WaitUntilHeld() {
  std::unique_lock<std::mutex> hold(lock_);
  gateChanged_.wait(hold, [this] { return held_ > 0; });
}

int PatternDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  ++reads_;
  if (buffer == nullptr || firstSector < 0 || sectorCount <= 0) {
    ++failed_;
    lastError_ = result::MakeResult(result::kModuleStorageDevice, 0x79, result::kErrBadArgument);
    return 0;
  }
  if (sectorCount > total_ || firstSector > total_ - sectorCount) {
    ++overruns_;
    ++failed_;
    lastError_ = result::MakeResult(result::kModuleStorageDevice, 0x96, result::kErrBadArgument);
    return 0;
  }
  const int64_t last = firstSector + sectorCount - 1;
  for (int64_t seen = highest_.load(); last > seen && !highest_.compare_exchange_weak(seen, last);) {
  }
  bool unreadable = allBad_.load();
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (gateFrom_ >= 0 && last >= gateFrom_) {
      ++held_;
      gateChanged_.notify_all();
      gateChanged_.wait(hold, [&] { return gateFrom_ < 0 || last < gateFrom_; });
      --held_;
    }
    auto bad = bad_.lower_bound(firstSector);
    if (bad != bad_.end() && *bad <= last) unreadable = true;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  const uint32_t sectorSize = sectorSize_.load();
  if (unreadable) {
    // What a failed read leaves must never reach a searcher.
    std::memset(out, 0xEE, static_cast<size_t>(sectorCount) * sectorSize);
    ++failed_;
    lastError_ = kUnreadableCode;
    return 0;
  }
  for (int64_t i = 0; i < sectorCount; ++i) {
    FillSector(out + static_cast<size_t>(i) * sectorSize, firstSector + i, sectorSize);
  }
  lastError_ = 0;
  return 1;
}

void GiveVolumeRecord(IStorageDevice* device, int fileSystemType, const char* volumeName, uint32_t state) {
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->state = state;
  info->fileSystemType = static_cast<uint32_t>(fileSystemType);
  SetRecordText(info->volumeName, volumeName);
  info->sectorSize = device->GetSectorSize();
  info->totalSectors = device->GetTotalSectors();
  device->SetPrivateData(CreateVolumeDeviceData(info));
}

CSearchedPartitionInfo* MakeRecord(int fileSystemType, int64_t marker) {
  auto* record = new CSearchedPartitionInfo(512);
  record->SetPartitionIndex(0);
  record->SetFileSystemType(fileSystemType);
  record->SetSectorsperCluster(8);
  record->SetStartSector(marker);
  record->SetTotalSectors(1000);
  return record;
}

namespace {

int CopyRecords(const std::vector<std::unique_ptr<CSearchedPartitionInfo>>& records, CSearchedPartitionInfo** array,
                int capacity) {
  const int count = static_cast<int>(records.size());
  if (count > capacity) return count;
  for (int i = 0; i < count; ++i) array[i] = new CSearchedPartitionInfo(*records[static_cast<size_t>(i)]);
  return count;
}

std::string Tag(_tagSearcherType type) { return std::to_string(static_cast<int>(type)); }

}  // namespace

FakeCompleteSearcher::FakeCompleteSearcher(_tagSearcherType type, Journal* journal) : type(type), journal(journal) {}

FakeCompleteSearcher::~FakeCompleteSearcher() {
  if (onDestroy) onDestroy();
  journal->Add(Tag(type) + ":destroyed");
}

void FakeCompleteSearcher::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) {
  builder = b;
  journal->Add(Tag(type) + ":builder");
}

int FakeCompleteSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  return CopyRecords(records, array, capacity);
}

void FakeCompleteSearcher::SetDevice(IStorageDevice* d) {
  device = d;
  journal->Add(Tag(type) + ":device");
}

void FakeCompleteSearcher::SetBlockSize(int sectors) {
  blockSize = sectors;
  journal->Add(Tag(type) + ":blocksize:" + std::to_string(sectors));
}

void FakeCompleteSearcher::PreparetoSearch() { journal->Add(Tag(type) + ":prepare"); }

void FakeCompleteSearcher::EndSearch(int build) { journal->Add(Tag(type) + ":end:" + std::to_string(build)); }

ResultCode FakeCompleteSearcher::AnalyzeBlock(int64_t firstSector, int64_t sectorCount) {
  journal->Add(Tag(type) + ":block:" + std::to_string(firstSector) + ":" + std::to_string(sectorCount));
  if (readBlocks && device != nullptr) {
    std::vector<uint8_t> bytes(static_cast<size_t>(sectorCount) * device->GetSectorSize(), 0xCC);
    readAnswers.push_back(device->ReadSector(bytes.data(), firstSector, sectorCount));
    blocks.push_back(std::move(bytes));
  }
  if (onBlock) onBlock(firstSector);
  return analyzeAnswer;
}

void FakeCompleteSearcher::SetIProgressSink(IProgress* progress) {
  sink = progress;
  journal->Add(Tag(type) + ":sink");
}

FakeQuickSearcher::FakeQuickSearcher(_tagSearcherType type, Journal* journal) : type(type), journal(journal) {}

FakeQuickSearcher::~FakeQuickSearcher() {
  if (onDestroy) onDestroy();
  journal->Add(Tag(type) + ":destroyed");
}

void FakeQuickSearcher::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) {
  builder = b;
  journal->Add(Tag(type) + ":builder");
}

int FakeQuickSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  return CopyRecords(records, array, capacity);
}

ResultCode FakeQuickSearcher::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
  journal->Add(Tag(type) + ":quick");
  scanned = device;
  sink = progress;
  if (builder != nullptr && feed) {
    builder->AddSearcherInfo(type, rootID);
    for (IFileNode* node : feed()) {
      if (builder->AddNode(node, type) == 0) node->Release();
    }
    builder->FlashBuild(type);
  }
  return answer;
}

int FakeBuilder::Initialize(const char* d, IDrirectoryTree*, IRecoveryFilter*) {
  description = d != nullptr ? d : "<null>";
  journal->Add("builder:initialize");
  return initializeAnswer;
}

int FakeBuilder::AddNode(IFileNode*, _tagSearcherType) { return 0; }

int FakeBuilder::AddSearcherInfo(_tagSearcherType, int64_t) { return 1; }

void FakeBuilder::FlashBuild(_tagSearcherType type) { journal->Add("builder:flash:" + Tag(type)); }

void FakeBuilder::Release() {
  journal->Add("builder:released");
  delete this;
}

int ScriptedSink::UpdateProgress(_PROGRESS_INFO* info) {
  std::lock_guard<std::mutex> hold(lock_);
  records_.push_back(*info);
  return 0;
}

int ScriptedSink::Continued() {
  const int n = ++calls_;
  if (onContinued) onContinued();
  if (pauseAt_ != 0 && n == pauseAt_) {
    std::unique_lock<std::mutex> hold(lock_);
    paused_ = true;
    changed_.notify_all();
    changed_.wait(hold, [this] { return resumed_; });
    paused_ = false;
  }
  if (stopAt_ != 0 && n >= stopAt_) return 0;
  return 1;
}

std::vector<_PROGRESS_INFO> ScriptedSink::Records() const {
  std::lock_guard<std::mutex> hold(lock_);
  return records_;
}

void ScriptedSink::WaitUntilPaused() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return paused_; });
}

void ScriptedSink::Resume() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    resumed_ = true;
  }
  changed_.notify_all();
}

FakeReplay::~FakeReplay() {
  for (auto& [type, list] : records) {
    for (CSearchedPartitionInfo* record : list) delete record;
  }
}

void FakeReplay::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b, IProgress* p, IStorageDevice* d) {
  journal->Add("replay");
  builder = b;
  progress = p;
  device = d;
  b->AddSearcherInfo(type, rootID);
  if (feed) {
    for (IFileNode* node : feed()) {
      if (p->Continued() == 0 || b->AddNode(node, type) == 0) node->Release();
    }
  }
  b->FlashBuild(type);
}

std::vector<CSearchedPartitionInfo*>& FakeReplay::GetSearchedPartition(int searcherType) {
  return records[searcherType];
}

RecoveryControllerParts FakeParts::Parts() {
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [this](bool restoring) -> IDirecotryTreeBuilder* {
    builderFlags.push_back(restoring);
    journal.Add("make:builder");
    if (fakeBuilder) return new FakeBuilder(restoring, &journal);
    auto* builder = new CDirectoryTreeBuilder(restoring);
    builder->SetPause([] {});
    return builder;
  };
  parts.makeCompleteSearcher = [this](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    journal.Add("make:" + Tag(type));
    if (missing.count(type) != 0) return nullptr;
    auto* searcher = new FakeCompleteSearcher(type, &journal);
    complete[type] = searcher;
    if (setUpComplete) setUpComplete(searcher);
    return searcher;
  };
  parts.makeQuickSearcher = [this](_tagSearcherType type) -> IQuickFileSystemSearchController* {
    journal.Add("make:" + Tag(type));
    if (missing.count(type) != 0) return nullptr;
    auto* searcher = new FakeQuickSearcher(type, &journal);
    quick[type] = searcher;
    if (setUpQuick) setUpQuick(searcher);
    return searcher;
  };
  parts.flushFileBuffers = [this] {
    ++flushes;
    journal.Add("flush");
  };
  return parts;
}

std::string DdSha256(const std::filesystem::path& image, const std::string& operands) {
  const std::string out =
      RunCommandOrFail("dd if=" + ShellQuote(image.string()) + " " + operands + " status=none | sha256sum");
  return out.substr(0, 64);
}

std::string Sha256Of(const std::vector<uint8_t>& bytes) {
  testsupport::TempDir dir;
  const std::filesystem::path file = dir / "bytes";
  testsupport::WriteFile(file, bytes.data(), bytes.size());
  return testsupport::Sha256(file);
}

void MakeFilledFatImage(const std::filesystem::path& image, int64_t sectors, uint64_t fillBytes) {
  const std::string img = ShellQuote(image.string());
  RunCommandOrFail("truncate -s " + std::to_string(sectors * 512) + " " + img);
  RunCommandOrFail("mkfs.vfat -n SCANTEST " + img + " >/dev/null");
  testsupport::TempDir scratch;
  constexpr uint64_t kFileBytes = 4u << 20;
  int n = 0;
  for (uint64_t left = fillBytes; left > 0; ++n) {
    const uint64_t size = std::min(left, kFileBytes);
    const std::filesystem::path file = scratch / ("f" + std::to_string(n) + ".bin");
    RunCommandOrFail("head -c " + std::to_string(size) + " /dev/urandom > " + ShellQuote(file.string()));
    RunCommandOrFail("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + ShellQuote(file.string()) + " ::/f" +
                     std::to_string(n) + ".bin");
    left -= size;
  }
}

}  // namespace scantest
