// The recycle-bin volumes of make-recycle-images.sh, scanned the way the
// application scans them: every recycled entry must be shown under the name
// its record gives it, and copy out whole.
#include <cstdlib>
#include <filesystem>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;

std::filesystem::path Dir() {
  if (const char* dir = std::getenv("CLIPMENDER_RECYCLE_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_RECYCLE_FIXTURE_DIR;
}

// The probe registers the restorer, as the application does.
std::string Ready() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/recycle/make-recycle-images.sh", Dir());
}

// The NTFS and exFAT images are made only with root and FUSE.
std::string ReadyMounted(const char* image) {
  std::string why = Ready();
  if (why.empty() && !std::filesystem::exists(Dir() / image)) why = std::string(image) + " needs root and FUSE";
  return why;
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  auto row = [&](const char* name, const char* image, const char* mbrType, bool complete = false) {
    Row r;
    r.name = name;
    r.complete = complete;
    r.image = Dir() / image;
    r.expect = Dir() / (std::string(image) + ".expect.tsv");
    if (std::string(image) == "rb-f32.img") {
      r.prepare = Ready;
    } else {
      r.prepare = [image] { return ReadyMounted(image); };
    }
    if (mbrType != nullptr) {
      r.mbr = true;
      r.mbrType = mbrType;
    }
    rows.push_back(r);
  };
  row("f32", "rb-f32.img", nullptr);
  row("f32_mbr", "rb-f32.img", "c");
  row("ntfs", "rb-ntfs.img", nullptr);
  row("ntfs_mbr", "rb-ntfs.img", "7");
  row("exfat", "rb-exfat.img", nullptr);
  // A deep scan reads each record through the partition of its own file.
  row("f32_complete", "rb-f32.img", nullptr, true);
  row("f32_mbr_complete", "rb-f32.img", "c", true);
  row("ntfs_complete", "rb-ntfs.img", nullptr, true);
  row("exfat_complete", "rb-exfat.img", nullptr, true);
  return rows;
}

CONFORMANCE_ROWS(Recycle, Rows());

}  // namespace
