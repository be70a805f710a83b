#include "volume/VolumeAnalyzeController.h"

#include <new>

CVolumeAnalyzeController::CVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector,
                                                   const std::vector<VolumeAnalyzerFactory>& factories) {
  analyzers_.reserve(factories.size());
  for (VolumeAnalyzerFactory make : factories) {
    if (make == nullptr) continue;
    if (IVolumeAnalyze* analyzer = make(device, startSector)) analyzers_.push_back(analyzer);
  }
}

CVolumeAnalyzeController::~CVolumeAnalyzeController() {
  for (IVolumeAnalyze* analyzer : analyzers_) delete analyzer;
}

IVolumeAnalyze* CVolumeAnalyzeController::GetVolumeAnzlyzer() {
  for (IVolumeAnalyze* analyzer : analyzers_) {
    if (analyzer->GetFileSystemType() != FILE_SYSTEM_TYPE_UNKNOWN) return analyzer;
  }
  return nullptr;
}

const std::vector<VolumeAnalyzerFactory>& CVolumeAnalyzeController::DefaultFactories() {
  static const std::vector<VolumeAnalyzerFactory> factories = {
      &CreateFatVolumeAnalyze,
      &CreateExfatVolumeAnalyze,
      &CreateNTFSVolumeAnalyze,
      &CreateHFSPlusVolumeAnalyze,
  };
  return factories;
}

IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector) {
  try {
    return new CVolumeAnalyzeController(device, startSector, CVolumeAnalyzeController::DefaultFactories());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
