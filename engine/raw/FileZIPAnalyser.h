// ZIP archives and the documents built on them: office documents (DOCX, XLSX,
// PPTX), e-books, page-layout, presentation and spreadsheet packages, and
// vector drawings. The archive is sized by walking its records from the start
// to its end-of-central-directory record; entries whose sizes follow their
// data (data descriptors) are crossed by finding that descriptor. A walk
// that loses its way ends the archive (its end not known) behind the last
// entry whose data still hold. The type
// comes from entry names and a few bytes of entry data, the name from the
// first entry.
#pragma once

#include <cstdint>
#include <string>

#include "raw/RawFileAnalyser.h"

class RawFileBuffer;

// The checks and lengths of the archive's records.
class classZipSearch {
 public:
  static bool IsValidLocalZipFileHeader(const uint8_t* record);
  static bool IsValidCentralDirectoryHeader(const uint8_t* record);
  static bool IsValidEndCentralDir(const uint8_t* record);
  static bool IsValidHeader(const uint8_t* record);
  // What a walk has learnt so far.
  struct Walk {
    bool maybeOffice = false;  // the first entry names an office document
    uint32_t type = RAW_TYPE_ZIP;
    uint32_t office = 0;        // the office type entry names point at
    bool contentTypes = false;  // an entry is an office package's type list
    bool ended = false;         // the end-of-central-directory record was met
    // The last local entry walked: where its header begins and where its
    // data begin and end (0: the entry has none walked yet), how they are
    // packed, and their checksum when the header holds it.
    uint64_t entry = 0, data = 0, dataEnd = 0;
    uint16_t method = 0;
    bool hasCrc = false;
    uint32_t crc = 0;
  };
  // The length of the record at `offset` of the file (its data and any data
  // descriptor included), 0 for an unknown or unreadable record; refines the
  // walk's type from the entry's name and data.
  static uint64_t GetBlockSize(RawFileBuffer& buffer, uint64_t offset, Walk& walk);
};

class FileZIPAnalyser : public IRawFileAnalyser {
 public:
  FileZIPAnalyser() : IRawFileAnalyser(RAW_TYPE_ZIP) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
  // Sets the two flags from the first record's entry name.
  void JudgeMaybeOfficeType(const std::string& firstName);

 private:
  bool m_maybeOffice = false;
  bool m_drawing = false;
};
