// The images of tests/fixtures/archives/make-archives-images.sh, made once
// per build tree (or into CLIPMENDER_ARCHIVES_FIXTURES) from real tools and
// the samples of the shared fixtures folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace archivefixtures {

inline const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_ARCHIVES_FIXTURES", CLIPMENDER_ARCHIVES_FIXTURE_DIR);
  return dir;
}

// Empty when the images are ready, else why not.
inline std::string Ready() {
  setenv("CLIPMENDER_SHARED_FIXTURES", testsupport::SharedFixturesDir().c_str(), 0);
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/archives/make-archives-images.sh",
                                     Dir());
}

}  // namespace archivefixtures
