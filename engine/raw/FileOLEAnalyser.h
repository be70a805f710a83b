// Compound files (OLE structured storage): DOC, XLS, PPT, PUB, VSD, MPP,
// SHW/WPD/WPG, QPW, ADP and MAX documents share the container. The file is
// sized from its allocation tables, in its own sector size (512 or 4096
// bytes) with 64-bit arithmetic, and typed from the names in its directory.
#pragma once

#include <cstdint>

#include "raw/RawFileAnalyser.h"

class FileOLEAnalyser : public IRawFileAnalyser {
 public:
  FileOLEAnalyser() : IRawFileAnalyser(RAW_TYPE_OLE) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

  // Reads `count` 512-byte units from unit `unit` of the file that starts at
  // device sector `fileStartSector`, on a device of any sector size; the
  // device's answer (0: failure).
  static int Simulate512ReadSector(uint8_t* buffer, uint64_t fileStartSector, uint64_t unit, uint32_t count,
                                   IStorageDevice* device);
};
