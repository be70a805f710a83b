// Files that start at 512-byte boundaries which are not 4096-byte ones
// (tests/fixtures/unaligned/make-unaligned-images.sh) through the
// conformance harness: a FAT32 card made at sector 63 whose tables and root
// are zeroed, and files of many types laid at such offsets between random
// bytes. Read in 4096-byte sectors (as a disk behind a USB enclosure reads),
// the complete scan must carve every file as it does in 512-byte ones: the
// same names, sizes and bytes, and runs that hold each file's bytes and no
// more. Built with CLIPMENDER_RAW_LOOP_ROWS, through loop devices instead.
#include "RawFixtures.h"

namespace {

const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_UNALIGNED_FIXTURES", CLIPMENDER_UNALIGNED_FIXTURE_DIR);
  return dir;
}

std::string Ready() {
  static const std::string why = rawfixtures::Build(Dir(), "tests/fixtures/unaligned/make-unaligned-images.sh");
  return why;
}

std::vector<conformance::Row> Rows() {
  using conformance::Row;
  std::vector<Row> rows;
  for (const char* image : {"shifted", "fat32_63"}) {
    std::string file(image);
    if (file == "fat32_63") file = "fat32-63";
    for (const uint32_t sectorSize : {512u, 4096u}) {
      Row r;
      r.name = std::string(image) + "_" + std::to_string(sectorSize);
      r.image = Dir() / (file + ".img");
      r.expect = Dir() / (file + ".img.expect.tsv");
      r.sectorSize = sectorSize;
      r.complete = true;
      r.prepare = Ready;
#ifdef CLIPMENDER_RAW_LOOP_ROWS
      r.name += "_loop";
      r.through = conformance::Through::kLoop;
#endif
      rows.push_back(r);
    }
  }
  return rows;
}

CONFORMANCE_ROWS(UnalignedRows, Rows());

}  // namespace
