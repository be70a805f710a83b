// The quick scan of one HFS+ or HFSX volume: the files the journal shows
// deleted, then the live catalog, handed to the tree builder as searcher 31
// under root folder 2. The open volume rides on the partition record as the
// private data, so that copy-out can read compressed files through it; the
// searcher owns it and releases it when it goes (copy-out objects of the
// scan must not outlive the searcher, which the scan drivers ensure).
#pragma once

#include <cstdint>
#include <memory>

#include "FileSystemSearchController.h"
#include "PrivateData.h"
#include "ResultCode.h"

class CHFSPlusVolume;
class IProgress;

class CHFSPlusPrivateData final : public IPrivateData {
 public:
  explicit CHFSPlusPrivateData(CHFSPlusVolume* volume) : m_volume(volume) {}
  ~CHFSPlusPrivateData() override;
  CHFSPlusPrivateData(const CHFSPlusPrivateData&) = delete;
  CHFSPlusPrivateData& operator=(const CHFSPlusPrivateData&) = delete;
  // Destroys the volume with the private data.
  void Release() override { delete this; }
  CHFSPlusVolume* GetVolume() const { return m_volume; }

 private:
  CHFSPlusVolume* m_volume;
};

class CHFSPlusQuickFileSystemSearchController final : public IQuickFileSystemSearchController {
 public:
  CHFSPlusQuickFileSystemSearchController() = default;
  ~CHFSPlusQuickFileSystemSearchController() override;
  CHFSPlusQuickFileSystemSearchController(const CHFSPlusQuickFileSystemSearchController&) = delete;
  CHFSPlusQuickFileSystemSearchController& operator=(const CHFSPlusQuickFileSystemSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  // Capacity below 1 answers 1 and writes nothing; otherwise one new record
  // of the scanned volume (none before a scan opened it: 0).
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  // Answers the failure of opening the volume or of walking its catalog; a
  // cancelled scan answers 0. FlashBuild(31) comes whenever the volume opened.
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

  CHFSPlusVolume* GetVolume() const;
  uint32_t GetBlockSize() const { return m_blockSize; }

 private:
  IDirecotryTreeBuilder* m_builder = nullptr;
  IStorageDevice* m_device = nullptr;
  IProgress* m_progress = nullptr;
  CHFSPlusPrivateData* m_privateData = nullptr;
  uint32_t m_blockSize = 0;
};
