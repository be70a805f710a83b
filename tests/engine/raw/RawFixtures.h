// The images of tests/fixtures/raw/make-raw-images.sh, made once per build
// tree (or into CLIPMENDER_RAW_FIXTURES) with the camera and PSP samples of
// the shared fixtures folder when it is there.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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

// The rows of a carving fixture's zeros.img and random.img: as they stand,
// inside an MBR disk, with 4096-byte sectors, random.img cut to half; with
// CLIPMENDER_RAW_LOOP_ROWS, through loop devices of both sector sizes
// instead. Row names begin with `prefix`.
inline std::vector<conformance::Row> CarveRows(const std::filesystem::path& dir, std::function<std::string()> ready,
                                               const std::string& prefix) {
  using conformance::Row;
  auto row = [&](const std::string& name, const std::string& image) {
    Row r;
    r.name = prefix + name;
    r.image = dir / (image + ".img");
    r.expect = dir / (image + ".img.expect.tsv");
    r.complete = true;
    r.prepare = ready;
    return r;
  };
  std::vector<Row> rows;
#ifdef CLIPMENDER_RAW_LOOP_ROWS
  for (const char* image : {"zeros", "random"}) {
    Row loop = row(std::string(image) + "_loop", image);
    loop.through = conformance::Through::kLoop;
    rows.push_back(loop);
    Row big = row(std::string(image) + "_loop_4096", image);
    big.through = conformance::Through::kLoop;
    big.sectorSize = 4096;
    rows.push_back(big);
  }
#else
  for (const char* image : {"zeros", "random"}) {
    rows.push_back(row(image, image));
    Row mbr = row(std::string(image) + "_mbr", image);
    mbr.mbr = true;
    rows.push_back(mbr);
    Row big = row(std::string(image) + "_4096", image);
    big.sectorSize = 4096;
    rows.push_back(big);
  }
  Row cut = row("random_cut", "random");
  cut.keep = 0.5;
  rows.push_back(cut);
#endif
  return rows;
}

}  // namespace rawfixtures
