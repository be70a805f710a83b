// The previews fixture (tests/fixtures/previews/make-previews-images.sh):
// an MBR disk whose FAT32 volume at 1 MiB holds only deleted files, made
// once per build tree (or in CLIPMENDER_PREVIEWS_FIXTURES), and what the
// peers measured of each file's picture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace previewtest {

namespace fs = std::filesystem;

// Where the volume starts on the disk.
inline constexpr uint64_t kVolumeOffset = 1 << 20;

struct Expected {
  std::string name;
  uint64_t size = 0;
  std::string sha256;
  int width = 0;  // 0: no picture may come out of the file
  int height = 0;
};

inline const fs::path& FixtureDir() {
  static const fs::path dir = conformance::FixtureDir("CLIPMENDER_PREVIEWS_FIXTURES", CLIPMENDER_PREVIEWS_FIXTURE_DIR);
  return dir;
}
inline fs::path Disk() { return FixtureDir() / "previews.img"; }
inline fs::path Original(const std::string& name) { return FixtureDir() / "originals" / name; }

// Runs the script once per program; its exit code and output.
inline const testsupport::CommandResult& Made() {
  static const testsupport::CommandResult made = testsupport::RunCommand(
      "CLIPMENDER_SHARED_FIXTURES=" + testsupport::ShellQuote(testsupport::SharedFixturesDir().string()) + " bash " +
      testsupport::ShellQuote((testsupport::SourceDir() / "tests/fixtures/previews/make-previews-images.sh").string()) +
      " " + testsupport::ShellQuote(FixtureDir().string()) + " 2>&1");
  return made;
}

#define REQUIRE_PREVIEW_FIXTURE()                                                        \
  do {                                                                                   \
    REQUIRE_OR_SKIP(::previewtest::Made().exitCode != 77, ::previewtest::Made().output); \
    ASSERT_EQ(::previewtest::Made().exitCode, 0) << ::previewtest::Made().output;        \
  } while (0)

inline std::vector<Expected> ReadExpected() {
  std::vector<Expected> rows;
  std::ifstream in(FixtureDir() / "previews.expect.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string piece; std::getline(fields, piece, '\t');) f.push_back(piece);
    if (f.size() != 6) continue;
    Expected row;
    row.name = f[0];
    row.size = std::stoull(f[1]);
    row.sha256 = f[2];
    if (f[3] != "-") row.width = std::stoi(f[3]);
    if (f[4] != "-") row.height = std::stoi(f[4]);
    rows.push_back(row);
  }
  return rows;
}

inline Expected Row(const std::string& name) {
  for (const Expected& row : ReadExpected()) {
    if (row.name == name) return row;
  }
  ADD_FAILURE() << name << " is not in the fixture's expectations";
  Expected missing;
  missing.name = name;
  return missing;
}

// Whether a width x height picture has the proportions of `want`, give or
// take the pixel lost in rounding each side down to a bounding square.
inline testing::AssertionResult SameAspect(int width, int height, const Expected& want) {
  if (width <= 0 || height <= 0) return testing::AssertionFailure() << "an empty picture";
  const int64_t cross = int64_t{width} * want.height - int64_t{height} * want.width;
  if (std::llabs(cross) <= std::max(want.width, want.height)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << width << "x" << height << " is not in the proportions of " << want.width << "x"
                                     << want.height;
}

// Whatever is left under the folder previews make their temporary files in.
inline std::vector<std::string> Leftovers(const fs::path& root) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) found.push_back(entry.path().string());
  return found;
}

}  // namespace previewtest
