// The recovery controllers behind IRecoveryController (see
// RecoveryController.h for what they do and who owns what).
//
// Every StartDataRecovery call is one run: it makes its own tree builder and
// searchers and keeps them, with the device it scanned, until the controller
// goes. A run is registered before its searchers start, so GetDataRecovery
// answers during the scan too (the application asks for the copy-out object
// of a tree as soon as the tree's root is shown).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "EngineTypes.h"
#include "FileSystemSearchController.h"
#include "RecoveryController.h"

class CStorageDeviceWithCache;

// What a controller makes. The defaults make the real objects (the searchers
// through their factory functions, the builder through CreateTreeBuilder,
// and flush the system's file buffers with sync); tests and benchmarks swap
// in their own.
struct RecoveryControllerParts {
  std::function<IDirecotryTreeBuilder*(bool restoring)> makeTreeBuilder;
  std::function<IQuickFileSystemSearchController*(_tagSearcherType)> makeQuickSearcher;
  std::function<ICompleteFileSystemSearchController*(_tagSearcherType)> makeCompleteSearcher;
  std::function<void()> flushFileBuffers;

  static RecoveryControllerParts Defaults();
};

// A complete searcher and its type, in the order the searchers were made.
struct _SEARCHER_INFO {
  _tagSearcherType type;
  ICompleteFileSystemSearchController* searcher;  // owned by the controller
};

class CRecoveryControllerBase : public IRecoveryController {
 public:
  CRecoveryControllerBase();
  CRecoveryControllerBase(const CRecoveryControllerBase&) = delete;
  CRecoveryControllerBase& operator=(const CRecoveryControllerBase&) = delete;

  int Initialize(IRecoveryFilter* filter) override;
  void Release() override;
  void SetRestoreScanSink(RestoreScanSink* sink) override;

  // Replaces the parts given (empty members keep the current ones). Before
  // StartDataRecovery only.
  void SetParts(const RecoveryControllerParts& parts);

  RestoreScanSink* GetRestoreScanSink() const { return m_restore; }
  IRecoveryFilter* GetFilter() const { return m_filter; }
  // The device of the latest run, or null.
  IStorageDevice* GetDevice() const;
  // The builder of the latest run, or null; owned by the controller.
  virtual IDirecotryTreeBuilder* GetTreeBuilder() const = 0;
  // How many runs made a builder and searchers.
  virtual size_t GetRunCount() const = 0;

  // The name the trees of `device` get: the volume's name when the device is
  // a volume whose record is usable, else "" (the builder then says "Disk").
  static std::string DeviceDescription(IStorageDevice* device);

 protected:
  struct BuilderReleaser {
    void operator()(IDirecotryTreeBuilder* builder) const { builder->Release(); }
  };
  using BuilderPtr = std::unique_ptr<IDirecotryTreeBuilder, BuilderReleaser>;

  // Makes and initialises the run's builder; null with `failure` set to
  // `notMade` or `notInitialized`.
  BuilderPtr MakeBuilder(bool restoring, IStorageDevice* device, IDrirectoryTree* tree, ResultCode notMade,
                         ResultCode notInitialized, ResultCode& failure);
  // A copy-out object initialised from `searcher` and `device`, or, when a
  // scan is replayed, from the replay source's records of `type`; null when
  // it cannot be made or initialised.
  IDataRecovery* MakeDataRecovery(_tagSearcherType type, IFileSystemSearchController* searcher,
                                  IStorageDevice* device) const;
  static void Report(IProgress* progress, uint32_t status, uint64_t total, uint64_t current);
  // Runs `body`, turning anything it throws into a logged failure code.
  static ResultCode Guarded(const char* operation, const std::function<ResultCode()>& body);

  RestoreScanSink* m_restore = nullptr;
  IRecoveryFilter* m_filter = nullptr;
  RecoveryControllerParts m_parts;
  // Guards the runs (and the device) against GetDataRecovery on another
  // thread; never held while a searcher or the builder works.
  mutable std::mutex m_runsLock;
  IStorageDevice* m_device = nullptr;
};

// Quick scan of one volume, through the quick searcher of its file system.
class CDeletedRecoveryController final : public CRecoveryControllerBase {
 public:
  CDeletedRecoveryController() = default;
  // Releases every run's builder, then every run's searcher.
  ~CDeletedRecoveryController() override;

  _RECOVERY_CONTROLLER_TYPE thisType() const override { return RECOVERY_CONTROLLER_DELETED; }
  ResultCode StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override;
  // Initialised with the searcher of the latest run of `type`, or of the
  // latest run when no run was of that type.
  IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;

  IDirecotryTreeBuilder* GetTreeBuilder() const override;
  size_t GetRunCount() const override;
  // The latest run's searcher, or null.
  IQuickFileSystemSearchController* GetQuickSearcher() const;

  // The searcher type that quick-scans a file-system type code (FAT12/16/32,
  // NTFS, exFAT, HFS+); SEARCHER_TYPE_NONE for any other code.
  static _tagSearcherType SearcherTypeOf(int fileSystemType);

 private:
  struct QuickRun {
    IDirecotryTreeBuilder* builder;
    IQuickFileSystemSearchController* searcher;
    _tagSearcherType type;
    IStorageDevice* device;
  };
  ResultCode Run(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree);

  std::vector<QuickRun> m_runs;
};

// Complete scan of a volume: every complete searcher examines every block.
class CCompleteRecoveryController : public CRecoveryControllerBase {
 public:
  // The order the searchers are made and handed each block in.
  static constexpr _tagSearcherType kSearcherOrder[] = {SEARCHER_TYPE_HFSPLUS, SEARCHER_TYPE_EXFAT, SEARCHER_TYPE_FAT,
                                                        SEARCHER_TYPE_RAW, SEARCHER_TYPE_NTFS};
  static constexpr uint32_t kBlockBytes = 0x400000;

  CCompleteRecoveryController() = default;
  // Releases every run's builder, then its searchers, then its caching device.
  ~CCompleteRecoveryController() override;

  _RECOVERY_CONTROLLER_TYPE thisType() const override { return RECOVERY_CONTROLLER_COMPLETE; }
  ResultCode StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override;
  // Initialised with the searcher of `type` of the latest run that has one;
  // null when none has.
  IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;

  IDirecotryTreeBuilder* GetTreeBuilder() const override;
  size_t GetRunCount() const override;
  // The latest run's searchers and caching device (owned by the controller).
  std::vector<_SEARCHER_INFO> GetSearchers() const;
  CStorageDeviceWithCache* GetCacheDevice() const;

  // Sectors per block: 4 MiB of sectors (512-byte sectors when the device
  // reports 0; 8192 when a sector is larger than 4 MiB).
  static int64_t BlockSectors(uint32_t sectorSize);
  // The block pass over sectors [first, last] of `cache`'s device: every
  // block in ascending order to every searcher in list order, with progress
  // {0, blocks, 0} first and {2, blocks, floor(0.8 x done)} after each block.
  // A stop through Continued() answers 0.
  static ResultCode SearchBlocks(IProgress* progress, CStorageDeviceWithCache* cache,
                                 const std::vector<_SEARCHER_INFO>& searchers, int64_t first, int64_t last);

 private:
  struct CompleteRun {
    IDirecotryTreeBuilder* builder;
    std::vector<_SEARCHER_INFO> searchers;
    CStorageDeviceWithCache* cache;
    IStorageDevice* device;
  };
  ResultCode Run(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree);

  std::vector<CompleteRun> m_runs;
};

// The complete scan of a whole disk.
class CPartitionRecoveryController final : public CCompleteRecoveryController {
 public:
  _RECOVERY_CONTROLLER_TYPE thisType() const override { return RECOVERY_CONTROLLER_PARTITION; }
};
