// One comparator for every file system: a scan of an image, run the way the
// application runs it (tests/tools/QuickScanProbe.h), against the image's
// expectation file, which its fixture script wrote from the original files
// and the peers' outputs. A scanner joins with a fixture script and rows:
//
//   std::vector<conformance::Row> Rows() { ... }
//   CONFORMANCE_ROWS(FatRows, Rows());
//
// For each row: every expected entry is shown once with its kind and deleted
// state and nothing else is; every file with a checksum copies out identical
// (through the copy-out object and through reads in unaligned pieces), like
// the original where there is one, else like the peer's copy; sizes and
// times agree; a second scan shows the same; the image is unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace conformance {

// One line of IMG.expect.tsv.
struct Expected {
  bool folder = false;
  bool deleted = false;
  int64_t size = -1;   // -1: not known
  int64_t mtime = -1;  // Unix seconds UTC; -1: not known
  // "unknown" in the time column: the entry's time cannot be read (an
  // impossible one), and the scan must show none (0).
  bool timeUnknown = false;
  std::string sha256;  // of the original; empty when none
  std::string peerSha256;
  std::string path;  // as the application shows it
  // "fail" in both checksum columns: the copy must answer that it is
  // incomplete (its bytes are not the file's, e.g. another file took them).
  bool mustFail = false;
};
// Lines starting with '#' are comments; a malformed line fails the test.
std::vector<Expected> ReadExpectations(const std::filesystem::path& file);

enum class Through { kFile, kLoop };  // the image file, or a loop device on it

struct Row {
  std::string name;  // the test's name: letters, digits and '_'
  std::filesystem::path image;
  // The device's sector size; 0 keeps its own (512 for a file).
  uint32_t sectorSize = 0;
  Through through = Through::kFile;
  // Scanned inside an MBR disk, as its one partition at 1 MiB; mbrType is
  // the partition type sfdisk writes.
  bool mbr = false;
  std::string mbrType = "7";
  // With mbr, the whole disk is scanned instead of a window on its
  // partition (complete scans: a disk whose partition table no longer says
  // where its volumes are, as when its sectors now read larger).
  bool wholeDisk = false;
  // Otherwise, the volume starts this many bytes into the image (a
  // partition of a disk image, read through a window on it).
  uint64_t offset = 0;
  // Truncated to this fraction: what is shown must still be expected, and
  // nothing may crash; all of it need not be shown.
  double keep = 1.0;
  // Empty: the scan must show nothing.
  std::filesystem::path expect;
  // A complete scan instead of the quick one (for complete searchers).
  bool complete = false;
  // Complete scans: the files the carver must bring back, one line each:
  // the SHA-256 of the original, a tab, its extension. Carved files are
  // then set apart from the listing (their names are the carver's own):
  // every one must copy out, and every line must be one of the copies.
  std::filesystem::path carved;
  // Complete scans: where the volume holding the expected files must be
  // found, in bytes from the start of the device scanned; -1 checks nothing.
  int64_t volumeAt = -1;
  // The scan must answer a failure (a damaged volume the complete scan is
  // for) and still show what is expected (with no expectation: nothing).
  bool failure = false;
  // Damaged metadata: a file's copy may instead answer that it is
  // incomplete (the scanner could not vouch for its bytes); one copied
  // without a failure must still be identical.
  bool mayFail = false;
  // With mayFail: at most this many of the copies that answer incomplete may
  // hold their originals byte for byte (files the scan could have vouched
  // for); -1: any number.
  int identicalMayFail = -1;
  // Sizes cut to the runs (damaged size fields): such copies answer that
  // they are incomplete, and must still hold the bytes expected.
  bool cutSizes = false;
  // Makes the fixtures: empty when ready, else why not (the row is skipped,
  // or fails under CI).
  std::function<std::string()> prepare;
};

void Check(const Row& row);
std::string RowName(const testing::TestParamInfo<Row>& info);
inline void PrintTo(const Row& row, std::ostream* out) { *out << row.image; }

// The folder the environment variable `env` names, else `builtIn` (the
// build tree's).
std::filesystem::path FixtureDir(const char* env, const std::filesystem::path& builtIn);

// The SHA-256 of every file under `dir`, by its path from there ("./a/b").
std::map<std::string, std::string> HashAll(const std::filesystem::path& dir);

// Runs `bash script outDir` once per process (the script stamps and locks
// its folder itself): empty when the images are ready, else why not.
std::string EnsureFixtures(const std::filesystem::path& script, const std::filesystem::path& outDir);

}  // namespace conformance

#define CONFORMANCE_ROWS(Suite, rows)                                  \
  class Suite : public testing::TestWithParam<::conformance::Row> {};  \
  TEST_P(Suite, MatchesThePeers) { ::conformance::Check(GetParam()); } \
  INSTANTIATE_TEST_SUITE_P(Rows, Suite, testing::ValuesIn(rows), ::conformance::RowName)
