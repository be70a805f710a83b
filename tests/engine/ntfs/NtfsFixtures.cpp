#include "NtfsFixtures.h"

#include <cstdlib>

namespace ntfsfixtures {

std::filesystem::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_NTFS_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_NTFS_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh",
                                     FixtureDir());
}

}  // namespace ntfsfixtures
