// The images of tests/fixtures/raw/make-raw-images.sh, made once per build
// tree (or into CLIPMENDER_RAW_FIXTURES) with the camera and PSP samples of
// the shared fixtures folder when it is there.
#pragma once

#include <filesystem>
#include <string>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace rawfixtures {

inline const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_RAW_FIXTURES", CLIPMENDER_RAW_FIXTURE_DIR);
  return dir;
}

// Empty when the images `script` (from the source tree) makes into `dir` are
// ready, else why not.
inline std::string Build(const std::filesystem::path& dir, const char* script) {
  const auto path = testsupport::SourceDir() / script;
  const std::string shared = testsupport::SharedFixturesDir().string();
  const auto made = testsupport::RunCommand("CLIPMENDER_SHARED_FIXTURES=" + testsupport::ShellQuote(shared) + " bash " +
                                            testsupport::ShellQuote(path.string()) + " " +
                                            testsupport::ShellQuote(dir.string()) + " 2>&1");
  if (made.exitCode == 0) return std::string();
  return (made.exitCode == 77 ? "cannot build the carving images here: " : "the carving image script failed: ") +
         made.output;
}

inline std::string Ready() {
  static const std::string why = Build(Dir(), "tests/fixtures/raw/make-raw-images.sh");
  return why;
}

}  // namespace rawfixtures
