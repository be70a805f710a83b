// TIFF pictures and the camera raw formats built on TIFF (type 64 and the
// raw types chosen by the camera's make). The file is sized by walking its
// image file directories: the main chain, sub-directories, the EXIF, GPS and
// interoperability directories, the maker note's own directory, strips,
// tiles and embedded JPEG pictures; the file ends where the last of them
// ends. The camera model names the file, the directory's date and time give
// its time text. RAF files are sized from their own header, their embedded
// JPEG's EXIF block names them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "raw/RawFileAnalyser.h"

class RawFileBuffer;

class FileTIFAnalyser : public IRawFileAnalyser {
 public:
  FileTIFAnalyser() : IRawFileAnalyser(RAW_TYPE_TIF) {}
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  std::string GetRawFileName() override { return m_model; }
  std::string GetRawFileTime() override { return m_time; }
  // The camera model (kind RAW_FILE_TAG_MODEL) when one was found.
  int GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value);
  // Where the embedded JPEG picture of a single strip lies (0, 0: none).
  void GetThumbStartAndSize(uint64_t& start, uint64_t& size);

  // The type the camera's make, the model and the headers give.
  static uint32_t TypeFromMake(const std::string& make, const std::string& model, bool dng, bool rw2Header);

 private:
  struct Reader;
  void InitTifAnalyser();
  // The highest position the structures of a TIFF reach; 0 when its first
  // directory does not hold.
  uint64_t GetTiffSize(RawFileBuffer& buffer, uint32_t magic);
  uint64_t GetRafSize(RawFileBuffer& buffer);
  // One directory at `at` (offsets inside count from `base`); false when it
  // is none. `next` gets the next directory's offset.
  bool WalkIfd(Reader& r, uint64_t at, uint64_t base, bool main, uint64_t& next);
  // A chain of directories from `first`.
  void WalkChain(Reader& r, uint64_t first, uint64_t base, bool main);
  void WalkMakerNote(Reader& r, uint64_t at, uint64_t bytes, uint64_t base);
  void Reach(uint64_t begin, uint64_t length);

  std::string m_make, m_model, m_time, m_originalTime;
  bool m_dng = false, m_a100 = false;
  uint64_t m_extent = 0;
  uint64_t m_thumbStart = 0, m_thumbSize = 0;
  // Where the JPEG pictures it holds (previews, thumbnails) begin.
  static constexpr size_t kMaxPictures = 64;
  std::vector<CRawFileInfo::Part> m_pictures;
  uint64_t m_rawDataOffset = 0, m_lastStripCount = 0;
  uint64_t m_a100Position = 0;
  int m_directories = 0;
  int m_tries = 0;
  uint32_t m_entriesLeft = 0;
  std::set<uint64_t> m_seen;
  int m_tag = RAW_FILE_TAG_NONE;
};
