// The recycle-bin volumes of make-recycle-images.sh, scanned the way the
// application scans them: every recycled entry must be shown under the name
// its record gives it, and copy out whole.
#include <cstdlib>
#include <filesystem>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;

std::filesystem::path Dir() {
  if (const char* dir = std::getenv("CLIPMENDER_RECYCLE_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_RECYCLE_FIXTURE_DIR;
}

// The scan drivers register the restorer themselves.
std::string Ready() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/recycle/make-recycle-images.sh", Dir());
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  for (bool mbr : {false, true}) {
    Row r;
    r.name = mbr ? "f32_mbr" : "f32";
    r.image = Dir() / "rb-f32.img";
    r.expect = Dir() / "rb-f32.img.expect.tsv";
    r.prepare = Ready;
    r.mbr = mbr;
    if (mbr) r.mbrType = "c";
    rows.push_back(r);
  }
  return rows;
}

CONFORMANCE_ROWS(Recycle, Rows());

}  // namespace
