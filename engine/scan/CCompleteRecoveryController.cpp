#include <algorithm>
#include <memory>

#include "Progress.h"
#include "RestoreScanSink.h"
#include "StorageDevice.h"
#include "base/CatchExeception.h"
#include "scan/CRecoveryController.h"
#include "scan/CStorageDeviceWithCache.h"
#include "scan/ScanDriverCodes.h"

namespace {

struct SearcherList {
  std::vector<_SEARCHER_INFO> entries;
  SearcherList() = default;
  SearcherList(const SearcherList&) = delete;
  SearcherList& operator=(const SearcherList&) = delete;
  ~SearcherList() {
    for (_SEARCHER_INFO& entry : entries) delete entry.searcher;
  }
};

}  // namespace

CCompleteRecoveryController::~CCompleteRecoveryController() {
  // Nodes may point at what the searchers own, and the searchers (and the
  // volumes they opened) read through the caching device: builders first,
  // then searchers, then caches.
  for (CompleteRun& run : m_runs) run.builder->Release();
  for (CompleteRun& run : m_runs) {
    for (_SEARCHER_INFO& entry : run.searchers) delete entry.searcher;
  }
  for (CompleteRun& run : m_runs) delete run.cache;
}

int64_t CCompleteRecoveryController::BlockSectors(uint32_t sectorSize) {
  if (sectorSize == 0) sectorSize = 512;
  const int64_t sectors = kBlockBytes / sectorSize;
  return sectors != 0 ? sectors : 8192;
}

ResultCode CCompleteRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* progress,
                                                          IDrirectoryTree* tree) {
  return Guarded("CCompleteRecoveryController::StartDataRecovery", [&] { return Run(device, progress, tree); });
}

ResultCode CCompleteRecoveryController::Run(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) {
  if (device == nullptr || progress == nullptr || tree == nullptr) return scancode::kCompleteNullArgument;
  Report(progress, PROGRESS_STATUS_RUNNING, 1, 0);

  const bool replaying = m_restore != nullptr;
  ResultCode failure = 0;
  BuilderPtr builder = MakeBuilder(replaying, device, tree, scancode::kCompleteBuilderNotMade,
                                   scancode::kCompleteBuilderNotInitialized, failure);
  if (builder == nullptr) return failure;

  SearcherList searchers;
  for (const _tagSearcherType type : kSearcherOrder) {
    ICompleteFileSystemSearchController* searcher = m_parts.makeCompleteSearcher(type);
    if (searcher == nullptr) continue;
    try {
      searchers.entries.push_back(_SEARCHER_INFO{type, searcher});
    } catch (...) {
      delete searcher;
      throw;
    }
    if (type == SEARCHER_TYPE_HFSPLUS || type == SEARCHER_TYPE_RAW || type == SEARCHER_TYPE_EXFAT) {
      searcher->SetIProgressSink(progress);
    }
  }
  if (searchers.entries.empty()) {
    // The application waits for a finished report to end the scan.
    Report(progress, PROGRESS_STATUS_FINISHED, 1, 1);
    return scancode::kCompleteNoSearcher;
  }

  m_parts.flushFileBuffers();
  const int64_t blockSectors = BlockSectors(device->GetSectorSize());
  std::unique_ptr<CStorageDeviceWithCache> cache(new CStorageDeviceWithCache(device));
  cache->SetBlockSize(static_cast<uint32_t>(blockSectors));
  // While a block is read around a failing medium's damage (or off a slow
  // one) the bar still moves, in thousandths of a block, and a stop is
  // heard between two reads of the medium.
  const int64_t total = device->GetTotalSectors();
  const uint64_t blocks = total > 0 ? static_cast<uint64_t>((total - 1) / blockSectors + 1) : 1;
  cache->SetWaitHook([progress, blocks](int64_t block, double settled) {
    constexpr uint64_t kSteps = 1000;
    const auto within = static_cast<uint64_t>(std::clamp(settled, 0.0, 1.0) * (kSteps - 1));
    ReportProgress(progress, PROGRESS_STATUS_RUNNING, blocks * kSteps,
                   (static_cast<uint64_t>(block) * kSteps + within) * 4 / 5);
    return progress->Continued() != 0;
  });
  // A replay reads nothing of the device, so nothing is read ahead.
  if (!replaying) cache->BeginCache();

  // Registered before the searchers run, so that GetDataRecovery answers
  // while the trees are being built.
  CStorageDeviceWithCache* cacheDevice = cache.get();
  IDirecotryTreeBuilder* runBuilder = builder.get();
  const std::vector<_SEARCHER_INFO> list = searchers.entries;
  {
    std::lock_guard<std::mutex> hold(m_runsLock);
    m_runs.reserve(m_runs.size() + 1);
    CompleteRun run{nullptr, {}, nullptr, device};
    run.searchers.swap(searchers.entries);
    run.builder = builder.release();
    run.cache = cache.release();
    m_runs.push_back(std::move(run));
    m_device = device;
  }

  for (const _SEARCHER_INFO& entry : list) {
    entry.searcher->SetDevice(cacheDevice);
    entry.searcher->SetBlockSize(static_cast<int>(blockSectors));
    entry.searcher->SetDirecotryTreeBuilder(runBuilder);
    // Several partitions per searcher: the tree reads recycle records
    // through each file's own.
    runBuilder->SetPartitionSource(entry.type, entry.searcher);
    if (!replaying) entry.searcher->PreparetoSearch();
  }

  ResultCode code = 0;
  if (replaying) {
    m_restore->SetDirecotryTreeBuilder(runBuilder, progress, device);
  } else {
    code = SearchBlocks(progress, cacheDevice, list, 0, device->GetTotalSectors() - 1);
  }
  // The read-ahead is done: stop the reader and free its queue while the
  // searchers finish. Reads through the cache go on working (found volumes
  // read through it later).
  cacheDevice->EndCache();
  cacheDevice->SetWaitHook(nullptr);
  if (!replaying) {
    for (const _SEARCHER_INFO& entry : list) entry.searcher->EndBlockPass();
  }

  for (const _SEARCHER_INFO& entry : list) {
    // After a stop the carver's closing work is skipped; the file systems
    // still finish what they found.
    if (entry.type == SEARCHER_TYPE_RAW && progress->Continued() == 0) continue;
    // A replay has finished every tree it gave the builder; the searchers
    // found nothing to build on, and some would finish their tree again.
    entry.searcher->EndSearch(replaying ? 0 : progress->shouldBuild());
  }
  // The last block is of no more use while the results are shown; reads of
  // found files go to the device.
  cacheDevice->ReleaseCurrentBlock();
  Report(progress, PROGRESS_STATUS_FINISHED, 1, 1);
  return code;
}

ResultCode CCompleteRecoveryController::SearchBlocks(IProgress* progress, CStorageDeviceWithCache* cache,
                                                     const std::vector<_SEARCHER_INFO>& searchers, int64_t first,
                                                     int64_t last) {
  if (progress == nullptr || cache == nullptr) return scancode::kPassNoSinkOrCache;
  if (first > last) return scancode::kPassBadRange;

  const int64_t total = cache->GetTotalSectors();
  const int64_t start = std::min(std::max<int64_t>(first, 0), total);
  last = std::min(last, total - 1);
  if (start > last) return scancode::kPassBadRange;
  const int64_t blockSectors = BlockSectors(cache->GetSectorSize());
  const int64_t firstBlock = start / blockSectors;
  const int64_t lastBlock = last / blockSectors;
  const uint64_t blocks = static_cast<uint64_t>(lastBlock - firstBlock + 1);

  _PROGRESS_INFO info;
  info.status = PROGRESS_STATUS_BLOCK_SCAN_START;
  info.total = blocks;
  progress->UpdateProgress(&info);

  std::vector<bool> logged(searchers.size(), false);
  uint64_t done = 0;
  for (int64_t block = firstBlock; block <= lastBlock; ++block) {
    if (progress->Continued() == 0) return 0;
    // A stop heard while the block was read around damage.
    if (cache->SetCurCacheBlock(block) == 0 && progress->Continued() == 0) return 0;
    const int64_t blockFirst = block * blockSectors;
    const int64_t count = std::min(blockFirst + blockSectors - 1, last) - blockFirst + 1;
    for (size_t i = 0; i < searchers.size(); ++i) {
      const ResultCode code = searchers[i].searcher->AnalyzeBlock(blockFirst, count);
      // Once per searcher and pass: a searcher that fails every block must
      // not flood the log.
      if (result::IsFailure(code) && !logged[i]) {
        logged[i] = true;
        CatchExeception::WriteLog("AnalyzeBlock of searcher %d failed at sector %lld: 0x%016llx\r\n",
                                  static_cast<int>(searchers[i].type), static_cast<long long>(blockFirst),
                                  static_cast<unsigned long long>(code));
      }
    }
    ++done;
    // The last fifth of the bar is left to the searchers' closing work.
    info = _PROGRESS_INFO();
    info.status = PROGRESS_STATUS_RUNNING;
    info.total = blocks;
    info.current = done * 4 / 5;
    progress->UpdateProgress(&info);
  }
  return 0;
}

IDataRecovery* CCompleteRecoveryController::GetDataRecovery(_tagSearcherType type) const {
  ICompleteFileSystemSearchController* searcher = nullptr;
  IStorageDevice* device = nullptr;
  {
    std::lock_guard<std::mutex> hold(m_runsLock);
    for (auto run = m_runs.rbegin(); run != m_runs.rend() && searcher == nullptr; ++run) {
      for (const _SEARCHER_INFO& entry : run->searchers) {
        if (entry.type == type && entry.searcher != nullptr) {
          searcher = entry.searcher;
          device = run->device;
          break;
        }
      }
    }
  }
  if (searcher == nullptr) return nullptr;
  return MakeDataRecovery(type, searcher, device);
}

IDirecotryTreeBuilder* CCompleteRecoveryController::GetTreeBuilder() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.empty() ? nullptr : m_runs.back().builder;
}

size_t CCompleteRecoveryController::GetRunCount() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.size();
}

std::vector<_SEARCHER_INFO> CCompleteRecoveryController::GetSearchers() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.empty() ? std::vector<_SEARCHER_INFO>() : m_runs.back().searchers;
}

CStorageDeviceWithCache* CCompleteRecoveryController::GetCacheDevice() const {
  std::lock_guard<std::mutex> hold(m_runsLock);
  return m_runs.empty() ? nullptr : m_runs.back().cache;
}
