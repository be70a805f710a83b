// The images of tests/fixtures/docs/make-docs-images.sh (documents made by
// real tools), made once per build tree or into CLIPMENDER_DOCS_FIXTURES.
#pragma once

#include "RawFixtures.h"

namespace docfixtures {

inline const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_DOCS_FIXTURES", CLIPMENDER_DOCS_FIXTURE_DIR);
  return dir;
}

inline std::string Ready() {
  static const std::string why = rawfixtures::Build(Dir(), "tests/fixtures/docs/make-docs-images.sh");
  return why;
}

}  // namespace docfixtures
