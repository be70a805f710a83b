// Complete scans of the exFAT volumes of tests/fixtures/exfat: the volume
// the complete searcher places shows the tree the quick scan shows, and its
// files copy out through the exFAT copy-out object (the tree's, not the
// node's own searcher type, which exFAT nodes do not carry).
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_EXFAT_FIXTURES", CLIPMENDER_EXFAT_FIXTURE_DIR);
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  for (const char* image : {"c4k", "c512"}) {
    Row r;
    r.name = std::string(image) + "_complete";
    r.image = Dir() / (std::string(image) + ".img");
    r.expect = Dir() / (std::string(image) + ".img.expect.tsv");
    r.complete = true;
    r.prepare = [] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-images.sh", Dir());
    };
    rows.push_back(r);
  }
  return rows;
}

CONFORMANCE_ROWS(ExFatComplete, Rows());

}  // namespace
