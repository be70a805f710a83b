// One analyser per carvable type: does a sector start a file of its kind
// (AnalyseBuffer), and how long is the file that starts at a given sector
// (GetRawFileSize).
//
// AnalyseBuffer reads only the sector it is given (at least 512 bytes; the
// carver keeps 2 KiB of zeros behind a block's last sector, but no analyser
// counts on it) and never the device. On a match it sets the record's type
// and, when the header alone gives the whole length, its size, and answers
// non-zero. What it wrote before answering 0 is ignored.
//
// The sector is read-only: it usually lies in the scan cache's block, read in
// place (SectorLender.h). AnalyseBuffer never writes to it; the parameter
// stays non-const only so that the analysers written against it need no
// change. Analysers of the no-magic list are asked for nearly every sector of
// the disk: each rejects most sectors with one cheap test first (a 16- or
// 32-bit compare of the bytes it must see, folded with | 0x20 where case does
// not matter), never with a call per byte (tolower and the like).
//
// GetRawFileSize reads the device (the carver's ring of recent blocks or the
// scanned device) through RawFileBuffer only, sets the size in bytes (0: no
// end found) and may refine the type and set the name prefix and time text.
// The carver keeps a record only when the answer and the size are non-zero.
//
// Analysers keep the last file's findings between calls: one search at a
// time uses an analyser object.
#pragma once

#include <cstdint>
#include <string>

#include "raw/RawFileInfo.h"

class IStorageDevice;

class IRawFileAnalyser {
 public:
  explicit IRawFileAnalyser(uint32_t type) : m_analyserType(type) {}
  virtual ~IRawFileAnalyser() = default;
  IRawFileAnalyser(const IRawFileAnalyser&) = delete;
  IRawFileAnalyser& operator=(const IRawFileAnalyser&) = delete;

  // Analysers that size a file completely in AnalyseBuffer keep this one.
  virtual uint32_t GetRawFileSize(CRawFileInfo& /*info*/, IStorageDevice* /*device*/) { return 1; }
  virtual uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) = 0;
  virtual std::string GetRawFileName() { return {}; }
  virtual std::string GetRawFileTime() { return {}; }

  uint32_t GetAnalyserType() const { return m_analyserType; }

 protected:
  uint32_t m_analyserType;
};

// An analyser class in one line: its name, base type and, when it sizes by
// reading the device, CLIPMENDER_RAW_SIZES.
#define CLIPMENDER_RAW_ANALYSER(Name, Type, Sizes)                              \
  class Name : public IRawFileAnalyser {                                        \
   public:                                                                      \
    Name() : IRawFileAnalyser(Type) {}                                          \
    uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override; \
    Sizes                                                                       \
  };
#define CLIPMENDER_RAW_SIZES uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

// Tags an analyser reports with its name text (the MP3, JPEG and TIFF
// analysers).
enum RAW_FILE_TAG : int {
  RAW_FILE_TAG_NONE = -1,
  RAW_FILE_TAG_ARTIST = 2,
  RAW_FILE_TAG_MODEL = 3,
};
