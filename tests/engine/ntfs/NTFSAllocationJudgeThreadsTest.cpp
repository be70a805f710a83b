// The files of a scanned NTFS volume (tests/fixtures/ntfs-reuse, reuse.img)
// judged against the same volume written to since (reuse-later2.img: live
// files deleted, newcomers over them) on several threads at once, each
// worker with a part of the files and the one $Bitmap they share: every
// answer is the one a single thread gives, and the files The Sleuth Kit finds
// given to newcomers (the fixture's expect.fail, from istat), but those the
// scan already fails, are among those taken. The same where a file must be
// described by its own record.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "AllocationJudge.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "SearchedPartitionInfo.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "ntfs/NTFSAllocationJudge.h"

namespace {

namespace fs = std::filesystem;

TEST(NtfsJudgeThreads, WorkersAnswerAsOneThreadDoes) {
  const std::string why = ntfsfixtures::EnsureReuseFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path dir = ntfsfixtures::ReuseFixtureDir();
  const fs::path scanned = dir / "reuse.img", later = dir / "reuse-later2.img";
  devicetest::ImageGuard scannedGuard(scanned), laterGuard(later);

  quickprobe::QuickScan scan(scanned);
  ASSERT_TRUE(scan.Run());
  CSearchedPartitionInfo* record = nullptr;
  ASSERT_EQ(scan.searcher()->GetSearchedPartitionInfo(&record, 1), 1);
  const std::unique_ptr<CSearchedPartitionInfo> partition(record);
  std::vector<JudgedFile> files;
  std::vector<std::string> paths;
  for (const quickprobe::Node& node : scan.nodes()) {
    auto* file = dynamic_cast<CFileNode*>(node.node);
    if (node.folder || file == nullptr) continue;
    files.push_back({file->GetMetadataStartPosition(), file});
    paths.push_back(node.path);
  }
  ASSERT_GT(files.size(), 20u);

  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> device(CreateVolumeDevice(later.c_str()),
                                                                    [](IStorageDevice* d) { d->Release(); });
  ASSERT_TRUE(device != nullptr && device->Open() != 0);
  std::set<std::string> expected;
  std::ifstream fail(later.string() + ".expect.fail");
  for (std::string line; std::getline(fail, line);) {
    if (!line.empty()) expected.insert(line);
  }
  ASSERT_FALSE(expected.empty());

  for (const bool ownEntry : {false, true}) {
    SCOPED_TRACE(ownEntry ? "own record required" : "free clusters vouch");
    std::unique_ptr<IAllocationJudge> single = CreateNTFSAllocationJudge(device.get(), *partition);
    std::unique_ptr<IAllocationJudge> shared = CreateNTFSAllocationJudge(device.get(), *partition);
    ASSERT_TRUE(single != nullptr && shared != nullptr);
    single->SetOwnEntryRequired(ownEntry);
    shared->SetOwnEntryRequired(ownEntry);
    std::vector<uint8_t> alone(files.size());
    for (size_t i = 0; i < files.size(); ++i) alone[i] = single->IsTaken(*files[i].file) ? 1 : 0;
    // More workers than the volume would get, for parts of a few files.
    for (const unsigned threads : {2u, 5u, 16u}) {
      EXPECT_EQ(JudgeFiles(*shared, files, threads), alone) << threads << " threads";
    }
    std::set<std::string> taken;
    for (size_t i = 0; i < files.size(); ++i) {
      if (alone[i] != 0) taken.insert(paths[i]);
    }
    size_t checked = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      const bool failedAlready = files[i].file->IsContentUnsure() || files[i].file->IsSizeDamaged();
      if (expected.count(paths[i]) != 0 && !failedAlready) {
        EXPECT_EQ(alone[i], 1) << paths[i] << " not taken";
        ++checked;
      }
    }
    EXPECT_GT(checked, 0u) << "no file changed hands since the scan";
    EXPECT_LT(taken.size(), files.size()) << "files still their own are kept";
  }
}

}  // namespace
