// ASF (WMA, WMV), APE, MPEG program streams and RealMedia: what each
// analyser tests in a sector and how it walks the file to its end. Sizes and
// positions are 64-bit and every walk moves forward at each step.
#pragma once

#include <atomic>

#include "raw/RawFileAnalyser.h"

CLIPMENDER_RAW_ANALYSER(FileASFAnalyser, RAW_TYPE_ASF, CLIPMENDER_RAW_SIZES)

// Registered under no type of its own: it types its files APE.
class CFileAPEAnalyser : public IRawFileAnalyser {
 public:
  CFileAPEAnalyser() : IRawFileAnalyser(0xFFFFFFFF) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

// Remembers the last stream it sized, so that packs inside it that look like
// a stream's first are no new files.
class FileMPGAnalyser : public IRawFileAnalyser {
 public:
  FileMPGAnalyser() : IRawFileAnalyser(RAW_TYPE_MPG) {}
  ~FileMPGAnalyser() override { g_bClearMpgMemValue = true; }
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

  // Set when an analyser goes: the next sizing forgets the last stream.
  static std::atomic<bool> g_bClearMpgMemValue;

 private:
  uint64_t m_lastStart = 0, m_lastCount = 0;
};

class FileRM_RMVBAnalyser : public IRawFileAnalyser {
 public:
  FileRM_RMVBAnalyser() : IRawFileAnalyser(RAW_TYPE_RM) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

 private:
  bool m_noVideo = true;
};
