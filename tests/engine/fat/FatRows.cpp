// The FAT images of make-fat-images.sh through the conformance harness: bare
// FAT16 and FAT32 volumes, the same inside an MBR disk, cut short, FAT32 with
// its boot sector zeroed (read through the copy at sector 6), volumes whose
// sectors are not the device's (512-byte ones behind 4096-byte sectors, a
// 4096-byte one in a 512-byte image), a bad entry in each table copy, a
// damaged root (a failure answer, and what the rest of the root leads to),
// a zeroed root (a failure answer), random sectors over table entries in
// one copy and in both, a damaged entry size, and impossible times; built
// with CLIPMENDER_FAT_LOOP_ROWS, the rows read through loop devices instead.
#include <algorithm>

#include "FatFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect, uint32_t sectorSize = 0) {
    Row r;
    r.name = std::move(name);
    r.image = fatfixtures::Dir() / (image + ".img");
    r.expect = fatfixtures::Dir() / (expect + ".img.expect.tsv");
    r.sectorSize = sectorSize;
    r.prepare = fatfixtures::Ready;
    return r;
  };
#ifdef CLIPMENDER_FAT_LOOP_ROWS
  const Through through = Through::kLoop;
#else
  const Through through = Through::kFile;
#endif
  // In f32-badentries either table copy alone would end a chain: entry by
  // entry, the other copy answers.
  std::vector<Row> rows = {row("f16", "f16", "f16"),
                           row("f32", "f32", "f32"),
                           row("f32_wiped", "f32-wiped", "f32"),
                           row("f16_as_4096", "f16", "f16", 4096),
                           row("f32_as_4096", "f32", "f32", 4096),
                           row("f16_s4096", "f16-s4096", "f16-s4096"),
                           row("f16_s4096_as_4096", "f16-s4096", "f16-s4096", 4096),
                           row("f32_badentries", "f32-badentries", "f32"),
                           row("f32_bigsize", "f32-bigsize", "f32-bigsize")};
  rows.back().cutSizes = true;
  for (const char* v : {"f16", "f32"}) {
    Row damaged = row(std::string(v) + "_rootdamage", std::string(v) + "-rootdamage", std::string(v) + "-rootdamage");
    damaged.failure = true;
    rows.push_back(damaged);
  }
  for (const char* v : {"f16", "f32"}) {
    // A root zeroed whole leaves nothing to list, and says so.
    Row zeroed = row(std::string(v) + "_rootzero", std::string(v) + "-rootzero", v);
    zeroed.expect.clear();
    zeroed.failure = true;
    rows.push_back(zeroed);
    // Random sectors over the table entries of files in pieces: with one
    // copy sound its entries answer, so every file comes back; with both
    // written over, what the table lost may cost a file, but no copy that
    // is not the file's bytes passes for one.
    const std::string t = std::string(v) + "t";
    rows.push_back(row(t, t, t));
    rows.push_back(row(t + "_first_copy", t + "-t0", t));
    rows.push_back(row(t + "_second_copy", t + "-t1", t));
    Row both = row(t + "_both_copies", t + "-t01", t);
    both.mayFail = true;
    rows.push_back(both);
    Row bothComplete = both;
    bothComplete.name += "_complete";
    bothComplete.complete = true;
    rows.push_back(bothComplete);
  }
  // Impossible times in three entries (in the root, in a folder's first
  // sector, in a folder only the complete scan finds, lost) cost them their
  // times only.
  for (const char* v : {"f16", "f32"}) {
    const std::string t = std::string(v) + "-badtime";
    rows.push_back(row(std::string(v) + "_badtime", t, t));
    Row deep = row(std::string(v) + "_badtime_complete", t, t);
    deep.expect = fatfixtures::Dir() / (t + ".img.complete.expect.tsv");
    deep.complete = true;
    rows.push_back(deep);
  }
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
  for (Row complete : {row("f32_badentries_complete", "f32-badentries", "f32"),
                       row("f32_bigsize_complete", "f32-bigsize", "f32-bigsize"),
                       row("f16_s4096_complete", "f16-s4096", "f16-s4096", 4096)}) {
    complete.complete = true;
    complete.cutSizes = complete.name == "f32_bigsize_complete";
    rows.push_back(complete);
  }
  for (Row& r : rows) r.through = through;
  return rows;
}

CONFORMANCE_ROWS(Fat, Rows());

// Volumes whose deleted files' clusters newer files took, and a live file
// whose chain starts at a free cluster: those copy out as failed, the
// deleted files whose clusters stayed free identical. Quick, deep, and deep
// over a disk without a partition table. And volumes of files that name the
// same clusters (written around newer files, deleted files on one cluster,
// cross-linked live files), quick and deep.
std::vector<Row> ReuseRows() {
  std::vector<Row> rows;
  for (const char* v : {"f16", "f32"}) {
    Row r;
    r.name = std::string(v) + "_reuse";
    r.image = fatfixtures::ReuseDir() / (std::string(v) + "-reuse.img");
    r.expect = fatfixtures::ReuseDir() / (std::string(v) + "-reuse.img.expect.tsv");
    r.prepare = fatfixtures::ReuseReady;
#ifdef CLIPMENDER_FAT_LOOP_ROWS
    r.through = Through::kLoop;
#endif
    rows.push_back(r);
    Row mbr = r;
    mbr.name += "_mbr";
    mbr.mbr = true;
    mbr.mbrType = std::string(v) == "f16" ? "6" : "c";
    rows.push_back(mbr);
    Row complete = r;
    complete.name += "_complete";
    complete.complete = true;
    rows.push_back(complete);
    Row disk = complete;
    disk.name = std::string(v) + "_reuse_disk_complete";
    disk.image = fatfixtures::ReuseDir() / (std::string(v) + "-reuse-disk.img");
    disk.volumeAt = 1 << 20;
    rows.push_back(disk);
    // Files that name the same clusters, judged by the volume's times.
    Row claims = r;
    claims.name = std::string(v) + "_claims";
    claims.image = fatfixtures::ReuseDir() / (std::string(v) + "-claims.img");
    claims.expect = fatfixtures::ReuseDir() / (std::string(v) + "-claims.img.expect.tsv");
    rows.push_back(claims);
    claims.name += "_complete";
    claims.complete = true;
    rows.push_back(claims);
  }
  return rows;
}

CONFORMANCE_ROWS(FatReuse, ReuseRows());

// FAT32 cards filled as a camera fills one, shots written into the holes of
// deleted ones, one card's allocator wrapping at its end: no deleted shot
// comes back as recovered with another's bytes where another entry names
// its clusters, and at most three that are whole are reported failed.
std::vector<Row> CameraRows() {
  std::vector<Row> rows;
  for (const char* card : {"f32-camera-holes", "f32-camera-wrap"}) {
    Row r;
    r.name = std::string(card) + "_quick";
    std::replace(r.name.begin(), r.name.end(), '-', '_');
    r.image = fatfixtures::CameraDir() / (std::string(card) + ".img");
    r.expect = fatfixtures::CameraDir() / (std::string(card) + ".img.expect.tsv");
    r.prepare = fatfixtures::CameraReady;
    r.mayFail = true;
    r.identicalMayFail = 3;
#ifdef CLIPMENDER_FAT_LOOP_ROWS
    r.through = Through::kLoop;
#endif
    rows.push_back(r);
  }
  return rows;
}

CONFORMANCE_ROWS(FatCamera, CameraRows());

}  // namespace
