// Builds the NTFS $LogFile recovery scenario (tests/fixtures/ntfs/logfile/
// make-scenario.py) from a C++ test and reads its manifest.
//
//   testsupport::TempDir dir;
//   ntfslogfile::Scenario s = ntfslogfile::BuildScenario(dir.path(), {});
//   REQUIRE_OR_SKIP(s.exitCode != ntfslogfile::kSkipped, s.output);
//   ASSERT_EQ(s.exitCode, 0) << s.output;
//   s.image                                   -> the image with the log
//   s.manifest.Number("files.2.mft")          -> MFT number of fragmented.bin
//   s.manifest.Text("files.2.sha256")         -> its original content's hash
//   s.manifest.Count("files.2.runs")          -> runs istat saw before deletion
//   s.dir / s.manifest.Text("variants.truncated.image")  -> a hostile variant
//
// Building needs root, /dev/fuse, ntfs-3g, The Sleuth Kit and python3: put the
// test under the labels "fuse;root".
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ntfslogfile {

inline constexpr int kSkipped = 77;  // the script's exit code when a facility is missing

// manifest.txt: the manifest as flat "key=value" lines. Lists have a
// "<key>.count" line and their items under "<key>.<index>".
class ScenarioManifest {
 public:
  bool Load(const std::filesystem::path& file);
  bool Has(const std::string& key) const;
  // The value, or "" when the key is missing.
  std::string Text(const std::string& key) const;
  // The value as a number (decimal or 0x hex); 0 when missing or not a number.
  uint64_t Number(const std::string& key) const;
  // Items of a list ("<key>.count"), 0 when missing.
  size_t Count(const std::string& key) const;
  // Index of the item of list `list` whose `field` equals `value`, or -1.
  int Find(const std::string& list, const std::string& field, const std::string& value) const;
  const std::map<std::string, std::string>& Values() const { return values_; }

 private:
  std::map<std::string, std::string> values_;
};

struct ScenarioOptions {
  int clusterSize = 4096;  // mkntfs -c
  int sectorSize = 0;      // mkntfs -s; 0 leaves mkntfs's own
  int sizeMiB = 32;
  std::string hostile;  // comma-separated variants, "all", or empty
};

struct Scenario {
  int exitCode = -1;   // 0 built, kSkipped when a facility is missing, else failed
  std::string output;  // what the script said (its reason when it did not build)
  std::filesystem::path dir;
  std::filesystem::path image;
  ScenarioManifest manifest;
};

// Runs make-scenario.py into `dir` (made when missing) and loads its manifest.
Scenario BuildScenario(const std::filesystem::path& dir, const ScenarioOptions& options);

// The plain scenario on another geometry, for tests run over several.
struct Geometry {
  int clusterSize;
  int sectorSize;  // 0 leaves mkntfs's own
};
Scenario BuildScenarioOn(const std::filesystem::path& dir, Geometry geometry);

// Empty when the scenario can be built here, else what is missing.
std::string MissingFacility();

// One run of a mapping-pairs list: first VCN, first LCN (-1 when sparse), length.
struct Run {
  int64_t vcn = 0;
  int64_t lcn = 0;
  int64_t length = 0;
  bool operator==(const Run&) const = default;
};

// Decodes NTFS mapping pairs up to their 0 terminator; false on a malformed list.
bool DecodeMappingPairs(const std::vector<uint8_t>& pairs, std::vector<Run>& runs);

}  // namespace ntfslogfile
