// Shared by the document fuzz targets: the input as the start of a device of
// 512-byte and of 4096-byte sectors, with zeros behind it, offered to each
// analyser and sized when it matches.
#pragma once

#include <cstdint>
#include <vector>

#include "raw/RawFileAnalyser.h"
#include "support/BytesDevice.h"

inline void FuzzAnalysers(const uint8_t* data, size_t size, std::initializer_list<IRawFileAnalyser*> analysers) {
  for (uint32_t sectorSize : {512u, 4096u}) {
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((size + sectorSize - 1) / sectorSize * sectorSize + sectorSize, 0);
    testsupport::BytesDevice device(disk.data(), disk.size(), sectorSize);
    std::vector<uint8_t> sector(disk.begin(), disk.begin() + sectorSize);
    for (IRawFileAnalyser* analyser : analysers) {
      CRawFileInfo info;
      if (analyser->AnalyseBuffer(sector.data(), info) != 0 && info.m_size == 0) {
        analyser->GetRawFileSize(info, &device);
      }
    }
  }
}
