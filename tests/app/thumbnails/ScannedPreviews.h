// The previews fixture's volume quick-scanned by the engine: its deleted
// files by name and the copy-out object they are read through, a lock that
// stands for the one the copy-out object's users share, a temporary root of
// the test's own for the previews' private files, and the image checked
// unchanged afterwards.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "FileNode.h"
#include "QuickScanProbe.h"
#include "app/thumbnails/KVPrivateTempFile.h"
#include "app/thumbnails/PreviewFixture.h"
#include "engine/device/DeviceTestSupport.h"

namespace previewtest {

class ScannedPreviews : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PREVIEW_FIXTURE();
    guard_ = std::make_unique<devicetest::ImageGuard>(Disk());
    quickprobe::QuickScan::Options options;
    options.offset = kVolumeOffset;
    scan_ = std::make_unique<quickprobe::QuickScan>(Disk(), options);
    ASSERT_TRUE(scan_->Run());
    KVPrivateTempFile::SetRoot(temp_.path().string());
  }
  void TearDown() override {
    KVPrivateTempFile::SetRoot("");
    scan_.reset();
    guard_.reset();
  }

  // The deleted file of that name (a failure when the scan did not find it
  // deleted).
  IFileNode* Node(const std::string& name) {
    const quickprobe::Node* found = scan_ ? scan_->Find(name) : nullptr;
    EXPECT_TRUE(found != nullptr && found->deleted) << name << " is not found as a deleted file";
    return found != nullptr ? found->node : nullptr;
  }
  IDataRecovery* CopyOut(IFileNode* node) { return scan_->Recovery(node); }

  std::mutex lock_;
  testsupport::TempDir temp_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  std::unique_ptr<quickprobe::QuickScan> scan_;
};

// The width and height a JPEG's frame header gives; 0 x 0 when there is none.
inline std::pair<int, int> JpegSize(const std::vector<uint8_t>& b) {
  size_t at = 2;
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return {0, 0};
  while (at + 9 < b.size() && b[at] == 0xFF) {
    const uint8_t marker = b[at + 1];
    if (marker >= 0xC0 && marker <= 0xC3) return {b[at + 7] << 8 | b[at + 8], b[at + 5] << 8 | b[at + 6]};
    at += 2 + size_t(b[at + 2] << 8 | b[at + 3]);
  }
  return {0, 0};
}

}  // namespace previewtest
