// Reads what `ntfsrecover -n -f -v IMAGE` (or -b, backward) prints, ntfs-3g's
// independent log parser, into records, so that tests can compare it with what
// the $LogFile generator says it wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ntfslogfile {

struct ListedRecord {
  int block = -1;              // log page it starts in
  uint32_t offset = 0;         // its offset in that page
  bool overlapping = false;    // ntfsrecover joined it across page ends
  bool badSize = false;        // ntfsrecover refused its length ("Bad record size")
  std::map<std::string, uint64_t> fields;  // this_lsn, client_data_length, record_offset, ... (hex values)
  std::string redoOperation;
  std::string undoOperation;
  std::vector<uint64_t> lcns;
  std::vector<uint8_t> redoData;
  std::vector<uint8_t> undoData;
  std::vector<std::string> notes;  // other lines (inode, name, sizes, "**" complaints), blanks squeezed

  uint64_t Field(const std::string& name) const;
  bool HasNote(const std::string& text) const;  // a note that contains `text`
};

struct Listing {
  std::vector<ListedRecord> records;            // in the order listed
  std::map<std::string, uint64_t> restart;      // fields of the first restart page
  std::vector<std::string> lines;               // every output line
  std::vector<int> recordPages;                 // blocks ntfsrecover took as RCRD pages

  // Records listed from regular pages (4 and up) with this LSN.
  std::vector<const ListedRecord*> WithLsn(uint64_t lsn) const;
  size_t CountLines(const std::string& text) const;  // lines containing `text`
};

Listing ParseNtfsrecover(const std::string& output);

// Runs ntfsrecover with `options` (never without -n) on the image.
std::string RunNtfsrecover(const std::filesystem::path& image, const std::string& options = "-n -f -v");

}  // namespace ntfslogfile
