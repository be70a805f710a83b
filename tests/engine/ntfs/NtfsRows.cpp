// The NTFS images of make-ntfs-images.sh through the conformance harness:
// every cluster size, 4096-byte sectors, a loop device, inside an MBR disk,
// cut short, with $MFT's first record zeroed (read through $MFTMirr), with a
// file whose stream is larger than the volume, with records that lost their
// data attribute, and the file spread over
// thousands of runs in extension records; deleted files whose clusters newer
// files took, and a live file whose run runs past the volume's end; deleted
// files whose runs overlap.
#include "NtfsFixtures.h"

namespace {

using conformance::Row;
using conformance::Through;

std::vector<Row> Rows() {
  const auto dir = ntfsfixtures::FixtureDir();
  auto row = [&](std::string name, const std::string& image, const std::string& expect) {
    Row r;
    r.name = std::move(name);
    r.image = dir / (image + ".img");
    if (!expect.empty()) r.expect = dir / (expect + ".img.expect.tsv");
    r.prepare = ntfsfixtures::EnsureFixtures;
    return r;
  };
  std::vector<Row> rows;
  for (const char* v : {"default", "c512", "c65536", "s4096", "attrlist_live", "attrlist_deleted", "attrlist_reused"}) {
    std::string image = v;
    std::replace(image.begin(), image.end(), '_', '-');
    rows.push_back(row(v, image, image));
  }
  rows.push_back(row("mirror", "mirror", "default"));
  // A record whose stream is larger than the volume: listed, empty.
  rows.push_back(row("hugesparse", "hugesparse", "hugesparse"));
  Row loop = row("default_loop", "default", "default");
  loop.through = Through::kLoop;
  rows.push_back(loop);
  // Volumes made for 512-byte sectors seen through 4096-byte ones (as many USB
  // enclosures show disks): their 1024-byte records share device sectors,
  // four to one, and still list and read back every file. Clusters smaller
  // than the device's sector cannot be addressed: refused.
  for (Through through : {Through::kFile, Through::kLoop}) {
    const std::string how = through == Through::kLoop ? "_loop" : "";
    std::vector<std::string> wideOnes = {"default", "s4096"};
    if (through == Through::kFile) wideOnes.insert(wideOnes.end(), {"c65536", "attrlist_deleted"});
    for (const std::string& v : wideOnes) {
      std::string image = v;
      std::replace(image.begin(), image.end(), '_', '-');
      Row wide = row(v + "_4096" + how, image, image);
      wide.sectorSize = 4096;
      wide.through = through;
      rows.push_back(wide);
    }
    Row mbr = row("default_mbr" + how, "default", "default");
    mbr.mbr = true;
    mbr.through = through;
    rows.push_back(mbr);
  }
  Row tiny = row("c512_4096", "c512", "");
  tiny.sectorSize = 4096;
  rows.push_back(tiny);
  for (const char* v : {"default", "c512"}) {
    Row cut = row(std::string(v) + "_cut", v, v);
    cut.keep = 0.4;
    rows.push_back(cut);
  }
  // The complete scan judges the stream larger than the volume as the quick
  // scan does: listed, empty.
  Row huge = row("hugesparse_complete", "hugesparse", "hugesparse");
  huge.complete = true;
  rows.push_back(huge);
  // Records that lost their data attribute: listed at the size they give,
  // and no empty file; their copies answer that they are incomplete.
  rows.push_back(row("datalost", "datalost", "datalost"));
  Row lost = row("datalost_complete", "datalost", "datalost");
  lost.complete = true;
  rows.push_back(lost);

  // Deleted files whose clusters newer files took copy out but are reported
  // failed; those whose clusters stayed free come back whole. Also from the
  // disk whose table is gone, and with a live file whose run runs past the
  // volume's end.
  const auto reuse = ntfsfixtures::ReuseFixtureDir();
  auto reuseRow = [&](std::string name, const std::string& image, bool complete) {
    Row r;
    r.name = std::move(name);
    r.image = reuse / (image + ".img");
    r.expect = reuse / (image + ".img.expect.tsv");
    r.complete = complete;
    r.prepare = ntfsfixtures::EnsureReuseFixtures;
    return r;
  };
  rows.push_back(reuseRow("reuse", "reuse", false));
  Row reuseWide = reuseRow("reuse_4096_loop", "reuse", false);
  reuseWide.sectorSize = 4096;
  reuseWide.through = Through::kLoop;
  rows.push_back(reuseWide);
  rows.push_back(reuseRow("reuse_complete", "reuse", true));
  Row disk = reuseRow("reuse_disk_complete", "reuse-disk", true);
  disk.volumeAt = 2048 * 512;
  rows.push_back(disk);
  // The same disk in an enclosure that shows 4096-byte sectors.
  disk.name = "reuse_disk_complete_4096";
  disk.sectorSize = 4096;
  rows.push_back(disk);
  rows.push_back(reuseRow("runpast", "runpast", false));
  rows.push_back(reuseRow("runpast_complete", "runpast", true));
  // Deleted files whose runs overlap: the newer comes back, and where a
  // stopped clock left every time the same, none is vouched for.
  for (const char* image : {"claims", "claims-tie"}) {
    std::string name = image;
    std::replace(name.begin(), name.end(), '-', '_');
    rows.push_back(reuseRow(name, image, false));
    rows.push_back(reuseRow(name + "_complete", image, true));
  }
  return rows;
}

CONFORMANCE_ROWS(Ntfs, Rows());

}  // namespace
