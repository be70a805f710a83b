// Drawings, design files, fonts and event databases: what each analyser
// tests in a sector and how it sizes the file; and the slot for signatures
// of the user's own. Offsets count from the file's first byte, every size
// and position is 64-bit.
#pragma once

#include <cstdint>

#include "raw/RawFileAnalyser.h"

// Sized from their header in AnalyseBuffer.
CLIPMENDER_RAW_ANALYSER(File3DSAnalyser, RAW_TYPE_3DS, )
// Sized from its table directory; its tables checked against their checksums.
CLIPMENDER_RAW_ANALYSER(FileTTFAnalyser, RAW_TYPE_TTF, CLIPMENDER_RAW_SIZES)
// Sized by reading the file.
CLIPMENDER_RAW_ANALYSER(FileDXFAnalyser, RAW_TYPE_DXF, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileFH11Analyser, RAW_TYPE_FH11, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileFCPEVENTAnalyser, RAW_TYPE_FCPEVENT, CLIPMENDER_RAW_SIZES)

// DWG drawings of releases AC1012 to AC1024 (AC1009 is recognised and never
// sized). Keeps the sector size of the device it last sized for.
class FileDWGAnalyser : public IRawFileAnalyser {
 public:
  FileDWGAnalyser() : IRawFileAnalyser(RAW_TYPE_DWG) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

 private:
  uint32_t m_sectorSize = 0;
};

// Signatures the user defines: none are loaded, so it never matches.
class CustomFileAnalyser : public IRawFileAnalyser {
 public:
  CustomFileAnalyser() : IRawFileAnalyser(0xFFFFFFFF) {}
  uint32_t AnalyseBuffer(unsigned char* /*sector*/, CRawFileInfo& /*info*/) override { return 0; }
  uint32_t GetRawFileSize(CRawFileInfo& /*info*/, IStorageDevice* /*device*/) override { return 0; }
};
