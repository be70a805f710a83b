#include "NtfsFixtures.h"

namespace ntfsfixtures {

std::filesystem::path FixtureDir() {
  return conformance::FixtureDir("CLIPMENDER_NTFS_FIXTURES", CLIPMENDER_NTFS_FIXTURE_DIR);
}

std::string EnsureFixtures() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh",
                                     FixtureDir());
}

#ifdef CLIPMENDER_NTFS_REUSE_FIXTURE_DIR
std::filesystem::path ReuseFixtureDir() {
  return conformance::FixtureDir("CLIPMENDER_NTFS_REUSE_FIXTURES", CLIPMENDER_NTFS_REUSE_FIXTURE_DIR);
}

std::string EnsureReuseFixtures() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs-reuse/make-ntfs-reuse-images.sh",
                                     ReuseFixtureDir());
}
#endif

}  // namespace ntfsfixtures
