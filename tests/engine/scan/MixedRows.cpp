// Complete scans of a FAT volume that holds pictures and sound
// (tests/fixtures/mixed/make-mixed-images.sh): the volume's tree and the
// carver's finds each copy out through the copy-out object of their own tree,
// byte for byte, bare and inside an MBR disk; the quick scan shows the same
// tree.
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_MIXED_FIXTURES", CLIPMENDER_MIXED_FIXTURE_DIR);
}

std::vector<Row> Rows() {
  auto row = [](std::string name, bool complete) {
    Row r;
    r.name = std::move(name);
    r.image = Dir() / "media.img";
    r.expect = Dir() / "media.img.expect.tsv";
    r.complete = complete;
    if (complete) r.carved = Dir() / "media.img.carved.tsv";
    r.prepare = [] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/mixed/make-mixed-images.sh", Dir());
    };
    return r;
  };
  std::vector<Row> rows{row("media_quick", false), row("media_complete", true)};
  Row mbr = row("media_mbr_complete", true);
  mbr.mbr = true;
  mbr.mbrType = "6";
  rows.push_back(mbr);
  return rows;
}

CONFORMANCE_ROWS(Mixed, Rows());

}  // namespace
