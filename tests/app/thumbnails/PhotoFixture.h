// The photos fixture (tests/fixtures/photos/make-photos-images.sh): an MBR
// disk whose FAT32 volume at 1 MiB holds 311 small JPEGs, live and deleted,
// made once per build tree (or in CLIPMENDER_PHOTOS_FIXTURES); what The Sleuth
// Kit lists of it and the average colour ImageMagick measures of each picture.
#pragma once

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace phototest {

namespace fs = std::filesystem;

inline fs::path Dir() { return conformance::FixtureDir("CLIPMENDER_PHOTOS_FIXTURES", CLIPMENDER_PHOTOS_FIXTURE_DIR); }
inline fs::path Disk() { return Dir() / "photos.img"; }
inline fs::path Original(const std::string& path) { return Dir() / "originals" / path; }
inline constexpr uint64_t kVolumeOffset = 1 << 20;

// The script's run, once per program.
inline const testsupport::CommandResult& Made() {
  static const testsupport::CommandResult made = testsupport::RunCommand(
      "bash " +
      testsupport::ShellQuote((testsupport::SourceDir() / "tests/fixtures/photos/make-photos-images.sh").string()) +
      " " + testsupport::ShellQuote(Dir().string()) + " 2>&1");
  return made;
}
#define REQUIRE_PHOTO_FIXTURE()                                                    \
  REQUIRE_OR_SKIP(::phototest::Made().exitCode != 77, ::phototest::Made().output); \
  ASSERT_EQ(::phototest::Made().exitCode, 0) << ::phototest::Made().output

// The files of one folder of the volume ("DCIM/100PHOTO"), as fls lists them.
inline std::vector<conformance::Expected> FilesIn(const std::string& folder) {
  std::vector<conformance::Expected> files;
  for (conformance::Expected& entry : conformance::ReadExpectations(Dir() / "photos.expect.tsv")) {
    if (!entry.folder && fs::path(entry.path).parent_path() == folder) files.push_back(std::move(entry));
  }
  return files;
}

// Each picture by its name (the names are unique on the card): its path on
// the volume and the red, green and blue of its average colour.
struct Picture {
  std::string path;
  std::array<int, 3> rgb{};
};
inline std::map<std::string, Picture> Pictures() {
  std::map<std::string, Picture> pictures;
  std::ifstream in(Dir() / "photos.colours.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream fields(line);
    Picture picture;
    std::getline(fields, picture.path, '\t');
    if (fields >> picture.rgb[0] >> picture.rgb[1] >> picture.rgb[2]) {
      pictures[fs::path(picture.path).filename().string()] = picture;
    }
  }
  return pictures;
}

}  // namespace phototest
