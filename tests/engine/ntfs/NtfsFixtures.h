// The images of tests/fixtures/ntfs/make-ntfs-images.sh, built once per
// build tree (or into CLIPMENDER_NTFS_FIXTURES) for the tests that need them.
#pragma once

#include <filesystem>
#include <string>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace ntfsfixtures {

std::filesystem::path FixtureDir();
// Builds the images unless they are ready; empty when they are, else why not.
std::string EnsureFixtures();
// The same for tests/fixtures/ntfs-reuse (CLIPMENDER_NTFS_REUSE_FIXTURES).
std::filesystem::path ReuseFixtureDir();
std::string EnsureReuseFixtures();

}  // namespace ntfsfixtures

#define REQUIRE_NTFS_FIXTURES()                               \
  do {                                                        \
    const std::string why = ::ntfsfixtures::EnsureFixtures(); \
    REQUIRE_OR_SKIP(why.empty(), why);                        \
  } while (0)
