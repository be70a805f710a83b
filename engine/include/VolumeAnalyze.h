// Volume analyzers: each file-system scanner probes a volume's boot sector or
// volume header and tells its file-system type, size and label. Device
// enumeration asks a controller, which tries the analyzers in a fixed order
// (FAT, exFAT, NTFS, HFS+) and answers the first that recognises the volume.
#pragma once

#include <cstdint>

#include "EngineTypes.h"
#include "StorageDevice.h"

// Virtual operations in slot order: destructor pair, GetFileSystemType,
// GetTotalSector, GetLabel.
class IVolumeAnalyze {
 public:
  virtual ~IVolumeAnalyze() = default;
  // FILE_SYSTEM_TYPE_UNKNOWN (9) when the volume is not recognised.
  virtual enumFILE_SYSTEM_TYPE GetFileSystemType() = 0;
  virtual uint64_t GetTotalSector() = 0;
  // Copies the volume label as UTF-8 into `buffer`: at most size - 1 bytes
  // and always a terminating NUL (nothing is written when size is below 1).
  virtual void GetLabel(char* buffer, int size) = 0;

  void Release() { delete this; }
};

// Virtual operations in slot order: destructor pair, GetVolumeAnzlyzer.
class IVolumeAnalyzeController {
 public:
  virtual ~IVolumeAnalyzeController() = default;
  // The first registered analyzer that recognises the volume, or null. The
  // controller keeps ownership: the analyzer lives as long as the controller.
  virtual IVolumeAnalyze* GetVolumeAnzlyzer() = 0;

  void Release() { delete this; }
};

// Analyzer factories of the scanners, each probing the volume that starts at
// `startSector` of `device`: a new analyzer (the caller owns it), or null when
// the volume is not of its kind or cannot be read.
IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, uint64_t startSector);

// A new controller with the four analyzers of the volume at `startSector` of
// `device` made and registered at once (FAT, exFAT, NTFS, HFS+); null only
// when memory runs out. The caller owns it (Release or delete).
IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector);
