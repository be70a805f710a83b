// The images of tests/fixtures/ntfs/make-ntfs-images.sh, built once per
// build tree (or into CLIPMENDER_NTFS_FIXTURES) for the tests that need them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ntfsfixtures {

std::filesystem::path FixtureDir();

// Builds the images unless they are ready; an empty text when they are,
// else why not.
std::string EnsureFixtures();

// One line of manifest.tsv: an item the images hold.
struct ManifestItem {
  bool folder;
  std::string path;      // NTFS path
  std::string original;  // relative to originals/, "-" for folders
  bool deleted;
};
std::vector<ManifestItem> Manifest();

// Splits a line at tabs.
std::vector<std::string> Fields(const std::string& line);

}  // namespace ntfsfixtures

#define REQUIRE_NTFS_FIXTURES()                                                          \
  do {                                                                                   \
    REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse to fill images"); \
    const std::string why = ::ntfsfixtures::EnsureFixtures();                            \
    REQUIRE_OR_SKIP(why.empty(), why);                                                   \
  } while (0)
