// JPEG pictures (type 35): the marker segments are walked up to the start of
// scan, then the entropy-coded data of every scan is followed to the
// end-of-image marker; where that cannot decide, the end is searched sector
// by sector. The EXIF block names the file (camera model, or make) and gives
// its time text (original date and time).
#pragma once

#include <cstdint>
#include <string>

#include "raw/RawFileAnalyser.h"

class RawFileBuffer;

class FileJPGAnalyser : public IRawFileAnalyser {
 public:
  FileJPGAnalyser() : IRawFileAnalyser(RAW_TYPE_JPG) {}
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  std::string GetRawFileName() override { return m_name; }
  std::string GetRawFileTime() override { return m_time; }
  int GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value);

  // The end-of-image search from `position` (inside the scan data), never
  // looking beyond `limit` bytes from the file's start; the file size.
  // `found`, when given, says whether an end-of-image marker ended it.
  static uint64_t AddFileSizeByPerSecSize(RawFileBuffer& buffer, uint64_t position, uint64_t limit,
                                          bool* found = nullptr);

 private:
  struct JpegScanEnd {
    enum Kind {
      kEndOfImage,  // size: just past the end-of-image marker
      kBrokenOff,   // the data stopped being the picture's; size: where it still was
      kUndecided,   // the bound or an unreadable sector came first
    } kind;
    uint64_t size;
  };
  // Follows the scan data that starts at `position` (stuffed bytes, restart
  // markers in their order when `restarts`, fill bytes, the tables and
  // headers of further scans) up to the end-of-image marker, never past
  // `limit`.
  static JpegScanEnd FollowScans(RawFileBuffer& buffer, uint64_t position, uint64_t limit, bool restarts);
  enum Variant { kJFIF, kExif, kPlain };
  void InitMemValue();
  void ReadExif(RawFileBuffer& buffer, CRawFileInfo& info, Variant variant);

  std::string m_name, m_time, m_tagValue;
  int64_t m_sectorSize = 0;
  int m_tag = RAW_FILE_TAG_NONE;
};
