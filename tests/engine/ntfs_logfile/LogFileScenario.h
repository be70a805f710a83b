// The $LogFile scenarios of tests/fixtures/ntfs/logfile/make-logfile-images.sh
// (built once per build tree, or into CLIPMENDER_NTFS_LOGFILE_FIXTURES), and
// the reader of their manifest.txt: the manifest as flat "key=value" lines,
// lists with a "<key>.count" line and their items under "<key>.<index>".
//
//   m.Number("files.2.mft")            -> MFT number of fragmented.bin
//   m.Count("files.2.runs")            -> runs istat saw before deletion
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace ntfslogfile {

class ScenarioManifest {
 public:
  bool Load(const std::filesystem::path& file);
  // The value, or "" when the key is missing.
  std::string Text(const std::string& key) const;
  // The value as a number (decimal or 0x hex); 0 when missing or not a number.
  uint64_t Number(const std::string& key) const;
  size_t Count(const std::string& key) const { return Number(key + ".count"); }
  // Index of the item of list `list` whose `field` equals `value`, or -1.
  int Find(const std::string& list, const std::string& field, const std::string& value) const;

 private:
  std::map<std::string, std::string> values_;
};

// The folder of the scenarios (c4096, c512, c2048, c65536, s4096).
std::filesystem::path FixtureDir();
// Builds them unless they are ready; empty when they are, else why not.
std::string EnsureFixtures();

}  // namespace ntfslogfile
