// The exFAT volumes of tests/fixtures/exfat/make-exfat-images.sh through the
// conformance harness: 4 KiB and 512-byte clusters, 4096-byte sectors, loop
// devices, inside an MBR disk, cut short, a folder chained back on itself,
// volumes whose sectors are not the device's (read in their own), quick and
// complete, and a root cluster zeroed or written over (a failure answer).
// Every image holds a fragmented file deleted with its chain kept,
// which must copy out whole.
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;
using conformance::Through;

std::filesystem::path FixtureDir() {
  return conformance::FixtureDir("CLIPMENDER_EXFAT_FIXTURES", CLIPMENDER_EXFAT_FIXTURE_DIR);
}

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect, uint32_t sectorSize = 0) {
    Row r;
    r.name = std::move(name);
    r.image = FixtureDir() / (image + ".img");
    if (!expect.empty()) r.expect = FixtureDir() / (expect + ".img.expect.tsv");
    r.sectorSize = sectorSize;
    r.prepare = [] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-images.sh",
                                         FixtureDir());
    };
    return r;
  };
  std::vector<Row> rows{row("c4k", "c4k", "c4k"),
                        row("c512", "c512", "c512"),
                        row("s4096", "s4096", "s4096", 4096),
                        row("looped", "looped", "c512"),
                        row("c4k_as_4096", "c4k", "c4k", 4096),
                        row("s4096_as_512", "s4096", "s4096")};
  for (Row loop : {row("c4k_loop", "c4k", "c4k"), row("s4096_loop", "s4096", "s4096", 4096),
                   row("c4k_loop_as_4096", "c4k", "c4k", 4096), row("s4096_loop_as_512", "s4096", "s4096")}) {
    loop.through = Through::kLoop;
    rows.push_back(loop);
  }
  // A root cluster that holds no folder shows nothing and says so.
  for (const char* how : {"rootzero", "rootrandom"}) {
    Row root = row(how, how, "");
    root.failure = true;
    rows.push_back(root);
  }
    Row mbr = row("c4k_mbr", "c4k", "c4k");
  mbr.mbr = true;
  rows.push_back(mbr);
  Row cut = row("c512_cut", "c512", "c512");
  cut.keep = 0.4;
  rows.push_back(cut);
  for (Row complete : {row("c4k_complete", "c4k", "c4k"), row("c512_complete", "c512", "c512"),
                       row("s4096_complete", "s4096", "s4096", 4096)}) {
    complete.complete = true;
    rows.push_back(complete);
  }
  return rows;
}

CONFORMANCE_ROWS(ExFat, Rows());

}  // namespace
