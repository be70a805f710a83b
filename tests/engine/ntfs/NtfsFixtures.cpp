#include "NtfsFixtures.h"

namespace ntfsfixtures {

std::filesystem::path FixtureDir() {
  return conformance::FixtureDir("CLIPMENDER_NTFS_FIXTURES", CLIPMENDER_NTFS_FIXTURE_DIR);
}

std::string EnsureFixtures() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh",
                                     FixtureDir());
}

}  // namespace ntfsfixtures
