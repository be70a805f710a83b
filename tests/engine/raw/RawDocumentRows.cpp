// The document images of make-docs-images.sh through the conformance
// harness: a complete scan shows every document laid in once, under its
// type's folder and the name its content gives, byte for byte the original
// where its own structure gives its end, and nothing else: nothing carved
// again from inside a document, nothing made of the bytes between them. In
// zeros and in random surroundings, inside an MBR disk, cut short, with
// 4096-byte sectors; built with CLIPMENDER_RAW_LOOP_ROWS, through loop
// devices instead.
#include "DocFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image) {
    Row r;
    r.name = "docs_" + std::move(name);
    r.image = docfixtures::Dir() / (image + ".img");
    r.expect = docfixtures::Dir() / (image + ".img.expect.tsv");
    r.complete = true;
    r.prepare = docfixtures::Ready;
    return r;
  };
  std::vector<Row> rows;
#ifdef CLIPMENDER_RAW_LOOP_ROWS
  for (const char* image : {"zeros", "random"}) {
    Row loop = row(std::string(image) + "_loop_4096", image);
    loop.through = Through::kLoop;
    loop.sectorSize = 4096;
    rows.push_back(loop);
  }
#else
  for (const char* image : {"zeros", "random"}) {
    rows.push_back(row(image, image));
    Row big = row(std::string(image) + "_4096", image);
    big.sectorSize = 4096;
    rows.push_back(big);
  }
  Row mbr = row("random_mbr", "random");
  mbr.mbr = true;
  rows.push_back(mbr);
  Row cut = row("zeros_cut", "zeros");
  cut.keep = 0.5;
  rows.push_back(cut);
#endif
  return rows;
}

CONFORMANCE_ROWS(RawDocumentRows, Rows());

}  // namespace
