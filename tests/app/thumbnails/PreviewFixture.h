// The previews fixture (tests/fixtures/previews/make-previews-images.sh), an
// MBR disk whose FAT32 volume at 1 MiB holds only deleted files, made once
// per build tree (or in CLIPMENDER_PREVIEWS_FIXTURES), what the peers
// measured of each file's picture, and the volume quick-scanned by the
// engine with the image checked unchanged afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileNode.h"
#include "QuickScanProbe.h"
#include "app/thumbnails/KVPrivateTempFile.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"

namespace previewtest {

namespace fs = std::filesystem;

inline fs::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_PREVIEWS_FIXTURES", CLIPMENDER_PREVIEWS_FIXTURE_DIR);
}
inline fs::path Disk() { return Dir() / "previews.img"; }
inline fs::path Original(const std::string& name) { return Dir() / "originals" / name; }

// The script's run, once per program.
inline const testsupport::CommandResult& Made() {
  static const testsupport::CommandResult made = testsupport::RunCommand(
      "CLIPMENDER_SHARED_FIXTURES=" + testsupport::ShellQuote(testsupport::SharedFixturesDir().string()) + " bash " +
      testsupport::ShellQuote((testsupport::SourceDir() / "tests/fixtures/previews/make-previews-images.sh").string()) +
      " " + testsupport::ShellQuote(Dir().string()) + " 2>&1");
  return made;
}
#define REQUIRE_PREVIEW_FIXTURE()                                                      \
  REQUIRE_OR_SKIP(::previewtest::Made().exitCode != 77, ::previewtest::Made().output); \
  ASSERT_EQ(::previewtest::Made().exitCode, 0) << ::previewtest::Made().output

// Name, and the size of the picture a preview shows (0 x 0: none may).
struct Expected {
  std::string name;
  int width = 0, height = 0;
};
inline std::vector<Expected> ReadExpected() {
  std::vector<Expected> rows;
  std::ifstream in(Dir() / "previews.expect.tsv");
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string piece; std::getline(fields, piece, '\t');) f.push_back(piece);
    if (f.size() != 6 || line[0] == '#') continue;
    rows.push_back({f[0], f[3] == "-" ? 0 : std::stoi(f[3]), f[4] == "-" ? 0 : std::stoi(f[4])});
  }
  return rows;
}
inline Expected Row(const std::string& name) {
  for (const Expected& row : ReadExpected()) {
    if (row.name == name) return row;
  }
  return {name};
}

// The proportions of `want`, give or take the pixel lost in rounding a
// side down to fit a bounding square.
inline testing::AssertionResult SameAspect(int width, int height, const Expected& want) {
  const long cross = long{width} * want.height - long{height} * want.width;
  if (width > 0 && height > 0 && std::labs(cross) <= std::max(want.width, want.height)) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << width << "x" << height << " is not shaped like " << want.width << "x"
                                     << want.height;
}

// What is left in a folder.
inline std::vector<fs::path> Leftovers(const fs::path& root) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) found.push_back(entry.path());
  return found;
}

// The volume quick-scanned by the engine, a lock that stands for the one the
// copy-out object's users share, and a temporary root of the test's own.
class ScannedPreviews : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PREVIEW_FIXTURE();
    guard_ = std::make_unique<devicetest::ImageGuard>(Disk());
    quickprobe::QuickScan::Options options;
    options.offset = 1 << 20;
    scan_ = std::make_unique<quickprobe::QuickScan>(Disk(), options);
    ASSERT_TRUE(scan_->Run());
    KVPrivateTempFile::SetRoot(temp_.path().string());
  }
  void TearDown() override {
    KVPrivateTempFile::SetRoot("");
    EXPECT_TRUE(Leftovers(temp_.path()).empty());
  }
  IFileNode* Node(const std::string& name) {
    const quickprobe::Node* found = scan_->Find(name);
    EXPECT_TRUE(found != nullptr && found->deleted) << name << " is not found deleted";
    return found != nullptr ? found->node : nullptr;
  }

  std::mutex lock_;
  testsupport::TempDir temp_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  std::unique_ptr<quickprobe::QuickScan> scan_;
};

}  // namespace previewtest
