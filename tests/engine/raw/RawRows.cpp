// The carving images of make-raw-images.sh through the conformance harness:
// a complete scan must show every file laid in once, under its type's folder
// and its name, byte for byte the original where its own structure gives
// its end (the cut JPEG at most its first piece, checked beside these rows),
// and nothing else: no file twice, none made of the bytes between them. In
// zeros and in random surroundings, inside an MBR disk, cut short, with
// 4096-byte sectors; built with CLIPMENDER_RAW_LOOP_ROWS, through loop
// devices instead.
#include "RawFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image) {
    Row r;
    r.name = std::move(name);
    r.image = rawfixtures::Dir() / (image + ".img");
    r.expect = rawfixtures::Dir() / (image + ".img.expect.tsv");
    r.complete = true;
    r.prepare = rawfixtures::Ready;
    return r;
  };
  std::vector<Row> rows;
#ifdef CLIPMENDER_RAW_LOOP_ROWS
  for (const char* image : {"zeros", "random"}) {
    Row loop = row(std::string(image) + "_loop", image);
    loop.through = Through::kLoop;
    rows.push_back(loop);
    Row big = row(std::string(image) + "_loop_4096", image);
    big.through = Through::kLoop;
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

CONFORMANCE_ROWS(RawRows, Rows());

}  // namespace
