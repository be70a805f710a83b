// Deep scans of volumes made for 512-byte sectors on a device that shows
// 4096-byte ones, as a disk moved into a USB enclosure does: the FAT16, FAT32,
// exFAT and NTFS volumes of the file-system corpora, bare, through a loop
// device of 4096-byte sectors, and at 1 MiB of a whole disk whose partition
// table (written in 512-byte sectors) now points elsewhere; exFAT with 4 KiB
// clusters and with clusters of 512 bytes, smaller than the device's sector.
// The other way round too: FAT16 and exFAT volumes made for 4096-byte
// sectors in an image read in 512-byte ones. Each volume is found where it
// starts, and its files, deleted ones among them, copy out as the quick scan
// copies them.
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;
using conformance::Through;

struct Corpus {
  const char* env;
  const char* builtIn;
  const char* script;
  std::filesystem::path Dir() const { return conformance::FixtureDir(env, builtIn); }
};

const Corpus kFat{"CLIPMENDER_FAT_FIXTURES", CLIPMENDER_FAT_FIXTURE_DIR, "tests/fixtures/fat/make-fat-images.sh"};
const Corpus kExFat{"CLIPMENDER_EXFAT_FIXTURES", CLIPMENDER_EXFAT_FIXTURE_DIR,
                    "tests/fixtures/exfat/make-exfat-images.sh"};
const Corpus kNtfs{"CLIPMENDER_NTFS_FIXTURES", CLIPMENDER_NTFS_FIXTURE_DIR, "tests/fixtures/ntfs/make-ntfs-images.sh"};

std::vector<Row> Rows() {
  auto row = [](std::string name, const Corpus& corpus, const std::string& image) {
    Row r;
    r.name = std::move(name);
    r.image = corpus.Dir() / (image + ".img");
    r.expect = corpus.Dir() / (image + ".img.expect.tsv");
    r.sectorSize = 4096;
    r.complete = true;
    r.volumeAt = 0;
    r.prepare = [&corpus] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / corpus.script, corpus.Dir());
    };
    return r;
  };
  struct Volume {
    const char* name;
    const Corpus& corpus;
    const char* image;
    const char* mbrType;
  };
  const Volume volumes[] = {{"f16", kFat, "f16", "6"},       {"f32", kFat, "f32", "c"},
                            {"exfat", kExFat, "c4k", "7"},   {"exfat_c512", kExFat, "c512", "7"},
                            {"ntfs", kNtfs, "default", "7"}, {"ntfs_c65536", kNtfs, "c65536", "7"}};
  std::vector<Row> rows;
  for (const Volume& v : volumes) {
    rows.push_back(row(std::string(v.name) + "_4096_complete", v.corpus, v.image));
    Row loop = row(std::string(v.name) + "_4096_loop_complete", v.corpus, v.image);
    loop.through = Through::kLoop;
    rows.push_back(loop);
    Row disk = row(std::string(v.name) + "_4096_disk_complete", v.corpus, v.image);
    disk.mbr = true;
    disk.mbrType = v.mbrType;
    disk.wholeDisk = true;
    disk.volumeAt = 1 << 20;
    rows.push_back(disk);
  }
  // An NTFS volume made for 4096-byte sectors keeps 4096-byte FILE records
  // and index pages: the same tree at either device sector size.
  rows.push_back(row("ntfs_s4096_4096_complete", kNtfs, "s4096"));
  for (Row narrow : {row("f16_s4096_512_complete", kFat, "f16-s4096"), row("exfat_s4096_512_complete", kExFat, "s4096"),
                     row("ntfs_s4096_512_complete", kNtfs, "s4096")}) {
    narrow.sectorSize = 512;
    rows.push_back(narrow);
  }
  return rows;
}

CONFORMANCE_ROWS(WideSectors, Rows());

}  // namespace
