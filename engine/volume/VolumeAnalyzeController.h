// The controller that asks the scanners' volume analyzers, in order, which
// file system a volume holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VolumeAnalyze.h"

using VolumeAnalyzerFactory = IVolumeAnalyze* (*)(IStorageDevice* device, uint64_t startSector);

class CVolumeAnalyzeController final : public IVolumeAnalyzeController {
 public:
  // Calls every factory in the given order and keeps (owns) every analyzer
  // that is made. Null factories are passed over.
  CVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector,
                           const std::vector<VolumeAnalyzerFactory>& factories);
  ~CVolumeAnalyzeController() override;
  CVolumeAnalyzeController(const CVolumeAnalyzeController&) = delete;
  CVolumeAnalyzeController& operator=(const CVolumeAnalyzeController&) = delete;

  IVolumeAnalyze* GetVolumeAnzlyzer() override;

  size_t RegisteredCount() const { return analyzers_.size(); }

  // FAT, exFAT, NTFS, HFS+: the recognition order.
  static const std::vector<VolumeAnalyzerFactory>& DefaultFactories();

 private:
  std::vector<IVolumeAnalyze*> analyzers_;
};
