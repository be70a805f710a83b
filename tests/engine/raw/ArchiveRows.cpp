// The archive, drawing, font and database images of
// make-archives-images.sh through the conformance harness: a complete scan
// must show every file laid in once, under its type's folder and its name,
// byte for byte the original, and nothing else: nothing from the files of
// the same signatures that must give none, nothing from inside an archive
// that ends itself. In zeros and in random surroundings, inside an MBR disk,
// cut short, with 4096-byte sectors; built with
// CLIPMENDER_ARCHIVE_LOOP_ROWS, through loop devices instead.
#include "ArchiveFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image) {
    Row r;
    r.name = std::move(name);
    r.image = archivefixtures::Dir() / (image + ".img");
    r.expect = archivefixtures::Dir() / (image + ".img.expect.tsv");
    r.complete = true;
    r.prepare = archivefixtures::Ready;
    return r;
  };
  std::vector<Row> rows;
  for (const char* image : {"zeros", "random"}) {
#ifdef CLIPMENDER_ARCHIVE_LOOP_ROWS
    Row loop = row(std::string(image) + "_loop_4096", image);
    loop.through = Through::kLoop;
    loop.sectorSize = 4096;
    rows.push_back(loop);
#else
    rows.push_back(row(image, image));
    Row big = row(std::string(image) + "_4096", image);
    big.sectorSize = 4096;
    rows.push_back(big);
#endif
  }
#ifndef CLIPMENDER_ARCHIVE_LOOP_ROWS
  Row mbr = row("random_mbr", "random");
  mbr.mbr = true;
  rows.push_back(mbr);
  Row cut = row("random_cut", "random");
  cut.keep = 0.5;
  rows.push_back(cut);
#endif
  return rows;
}

CONFORMANCE_ROWS(ArchiveRows, Rows());

}  // namespace
