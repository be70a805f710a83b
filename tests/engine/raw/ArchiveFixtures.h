// The images of tests/fixtures/archives/make-archives-images.sh (archives,
// drawings, fonts and databases; one file of every carved type), made once
// per build tree or into CLIPMENDER_ARCHIVES_FIXTURES.
#pragma once

#include "RawFixtures.h"

namespace archivefixtures {

inline const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_ARCHIVES_FIXTURES", CLIPMENDER_ARCHIVES_FIXTURE_DIR);
  return dir;
}

inline std::string Ready() {
  static const std::string why = rawfixtures::Build(Dir(), "tests/fixtures/archives/make-archives-images.sh");
  return why;
}

}  // namespace archivefixtures
