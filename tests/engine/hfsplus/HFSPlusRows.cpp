// The HFS+ samples through the conformance harness, read the way the
// application reads them: a bare volume, and the 1 KiB-block HFSX volume of
// a GPT disk through a window on the disk, also behind a loop device of
// 4096-byte sectors (blocks smaller than the device's sectors).
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;
using conformance::Through;

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_HFSPLUS_FIXTURES", CLIPMENDER_HFSPLUS_QUICK_DIR);
}

// The expectation file with, from the peer's listing (fls), the files of
// the hidden private-data folder (the targets of hard links), which the tree
// shows under its lost-file folder; written beside the build's other
// outputs.
std::filesystem::path WithHiddenFiles(const std::string& image) {
  const std::filesystem::path out =
      std::filesystem::path(CLIPMENDER_HFSPLUS_QUICK_DIR) / "rows" / (image + ".img.expect.tsv");
  std::filesystem::create_directories(out.parent_path());
  testsupport::RunCommandOrFail(
      "{ cat " + testsupport::ShellQuote((Dir() / (image + ".img.expect.tsv")).string()) + "; sed -n " +
      testsupport::ShellQuote(R"(s|^r/r [0-9]*:\t....HFS+ Private Data/\(iNode[0-9]*\)$|f\tlive\t-\t-\t-\t-\t)"
                              R"(Other lost files/\1|p)") +
      " " + testsupport::ShellQuote((Dir() / (image + ".img.fls.txt")).string()) + "; } >" +
      testsupport::ShellQuote(out.string()));
  return out;
}

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, uint64_t offset = 0) {
    Row r;
    r.name = std::move(name);
    r.image = Dir() / (image + ".img");
    r.offset = offset;
    r.prepare = [image]() -> std::string {
      const std::string why = conformance::EnsureFixtures(
          testsupport::SourceDir() / "tests/fixtures/hfsplus/make-hfsplus-images.sh", Dir());
      if (why.empty()) WithHiddenFiles(image);
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
  return rows;
}

CONFORMANCE_ROWS(HFSPlus, Rows());

}  // namespace
