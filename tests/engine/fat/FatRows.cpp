// The FAT images of make-fat-images.sh through the conformance harness: bare
// FAT16 and FAT32 volumes, the same inside an MBR disk, cut short, FAT32 with
// its boot sector zeroed (read through the copy at sector 6); built with
// CLIPMENDER_FAT_LOOP_ROWS, the rows read through loop devices instead.
#include "FatFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect) {
    Row r;
    r.name = std::move(name);
    r.image = fatfixtures::Dir() / (image + ".img");
    r.expect = fatfixtures::Dir() / (expect + ".img.expect.tsv");
    r.prepare = fatfixtures::Ready;
    return r;
  };
#ifdef CLIPMENDER_FAT_LOOP_ROWS
  const Through through = Through::kLoop;
#else
  const Through through = Through::kFile;
#endif
  std::vector<Row> rows = {row("f16", "f16", "f16"), row("f32", "f32", "f32"), row("f32_wiped", "f32-wiped", "f32")};
  for (const char* v : {"f16", "f32"}) {
    Row mbr = row(std::string(v) + "_mbr", v, v);
    mbr.mbr = true;
    mbr.mbrType = std::string(v) == "f16" ? "6" : "c";
    rows.push_back(mbr);
    Row cut = row(std::string(v) + "_cut", v, v);
    cut.keep = 0.5;
    rows.push_back(cut);
  }
  // The complete scan finds the same volumes, whole or in a partition, and
  // shows the same trees.
  for (const char* v : {"f16", "f32"}) {
    Row whole = row(std::string(v) + "_complete", v, v);
    whole.complete = true;
    rows.push_back(whole);
    Row mbr = row(std::string(v) + "_mbr_complete", v, v);
    mbr.mbr = true;
    mbr.mbrType = std::string(v) == "f16" ? "6" : "c";
    mbr.complete = true;
    rows.push_back(mbr);
  }
  for (Row& r : rows) r.through = through;
  return rows;
}

CONFORMANCE_ROWS(Fat, Rows());

}  // namespace
