// The photos fixture (tests/fixtures/photos/make-photos-images.sh): an MBR
// disk whose FAT32 volume at 1 MiB holds 311 small JPEGs, live and deleted,
// made once per build tree (or in CLIPMENDER_PHOTOS_FIXTURES), with the
// average colour ImageMagick measures of each original.
#pragma once

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

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

// Each picture by its name (unique on the card): its path on the volume
// ("DCIM/100PHOTO/Photo 0001.jpg") and its average red, green and blue.
struct Picture {
  std::string path;
  std::array<int, 3> rgb{};
};
inline std::map<std::string, Picture> Pictures() {
  std::map<std::string, Picture> pictures;
  std::ifstream in(Dir() / "photos.colours.tsv");
  for (std::string line; std::getline(in, line);) {
    std::stringstream fields(line);
    Picture picture;
    std::getline(fields, picture.path, '\t');
    if (line[0] != '#' && fields >> picture.rgb[0] >> picture.rgb[1] >> picture.rgb[2]) {
      pictures[fs::path(picture.path).filename().string()] = picture;
    }
  }
  return pictures;
}

}  // namespace phototest
