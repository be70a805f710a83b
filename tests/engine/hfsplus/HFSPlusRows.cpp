// The HFS+ samples through the conformance harness, read the way the
// application reads them: a bare volume, and the 1 KiB-block HFSX volume of
// a GPT disk through a window on the disk, also behind a loop device of
// 4096-byte sectors (blocks smaller than the device's sectors); deleted
// files the journal remembers, some of whose blocks live files took.
#include "HFSPlusQuickScan.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using conformance::Row;
using conformance::Through;

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_HFSPLUS_FIXTURES", CLIPMENDER_HFSPLUS_QUICK_DIR);
}

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, uint64_t offset = 0) {
    Row r;
    r.name = std::move(name);
    r.image = Dir() / (image + ".img");
    r.offset = offset;
    r.prepare = [image]() -> std::string {
      std::string why;
      const fs::path dir = hfsquick::RowFixtures(&why);
      if (why.empty()) {
        hfsquick::WriteExpectWithHiddenFiles(
            dir / (image + ".img.expect.tsv"), dir / (image + ".img.fls.txt"),
            fs::path(CLIPMENDER_HFSPLUS_QUICK_DIR) / "rows" / (image + ".img.expect.tsv"));
      }
      return why;
    };
    r.expect = std::filesystem::path(CLIPMENDER_HFSPLUS_QUICK_DIR) / "rows" / (image + ".img.expect.tsv");
    return r;
  };
  std::vector<Row> rows{row("plain", "lx-hfsplus"), row("gpt_hfsx", "lx-gpt-hfsx", 1u << 20)};
  Row small = row("gpt_hfsx_4096", "lx-gpt-hfsx", 1u << 20);
  small.through = Through::kLoop;
  small.sectorSize = 4096;
  rows.push_back(small);
  // The journaled sample whose journal remembers deleted files: those whose
  // blocks stayed free copy out whole, the fillers whose blocks a live
  // file took since copy out reported failed.
  rows.push_back(row("jhole", "lx-hfsplus-jhole"));
  return rows;
}

CONFORMANCE_ROWS(HFSPlus, Rows());

}  // namespace
