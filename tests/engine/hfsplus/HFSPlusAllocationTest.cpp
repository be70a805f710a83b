// The allocation file held against deleted files: on the sample whose journal
// remembers fillers whose blocks a live file took since, only those are
// content-unsure; an allocation file written over (zeroes, random bytes)
// vouches for nothing, so that nothing is flagged and nothing is lost; runs
// that leave the volume say nothing of blocks it lacks.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>
#include <string>

#include "DataRunList.h"
#include "FileNode.h"
#include "HFSPlusQuickScan.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Judged {
  size_t deleted = 0;
  std::set<std::string> unsure;  // names of the deleted files flagged
};

Judged QuickScan(const Bytes& image) {
  testsupport::BytesDevice device(image.data(), image.size());
  CHFSPlusVolume volume(&device, false);
  EXPECT_TRUE(result::IsSuccess(volume.GetLastError()));
  testsupport::KeepingTreeBuilder builder;
  CHFSPlusQuickFileSystemSearchProgress progress;
  EXPECT_TRUE(result::IsSuccess(volume.QuickSearchFiles(&builder, &progress)));
  Judged judged;
  for (IFileNode* n : builder.nodes) {
    auto* node = dynamic_cast<CFileNode*>(n);
    if (node == nullptr || node->IsDeleted() == 0) continue;
    ++judged.deleted;
    if (node->IsContentUnsure()) judged.unsure.insert(node->GetFileName());
  }
  return judged;
}

class AllocationFile : public ::testing::Test {
 public:
  void SetUp() override {
    std::string why;
    const auto dir = hfsquick::Fixtures(&why);
    REQUIRE_OR_SKIP(!dir.empty(), why);
    std::ifstream in(dir / "lx-hfsplus-jhole.img", std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), {});
    ASSERT_GT(image_.size(), 1u << 20);
  }
  Bytes image_;
};

TEST_F(AllocationFile, WrittenOverItVouchesForNothing) {
  const Judged intact = QuickScan(image_);
  // The three fillers the fixture put back over the fragmented file's blocks
  // (checked there with ifind); every other deleted file's blocks are free.
  EXPECT_EQ(intact.unsure, (std::set<std::string>{"fill-001.dat", "fill-011.dat", "fill-021.dat"}));
  ASSERT_GT(intact.deleted, 10u);

  testsupport::BytesDevice device(image_.data(), image_.size());
  CHFSPlusVolume volume(&device, false);
  ASSERT_TRUE(result::IsSuccess(volume.GetLastError()));
  const HFSPlusVolumeHeader& header = *volume.GetVolumeHeader();
  const uint64_t blockSize = header.blockSize;
  std::mt19937 random(75);
  for (const char* how : {"zeroes", "random"}) {
    SCOPED_TRACE(how);
    Bytes damaged = image_;
    for (const HFSPlusExtentDescriptor& e : header.allocationFile.extents) {
      for (uint64_t at = e.startBlock * blockSize; at < (uint64_t{e.startBlock} + e.blockCount) * blockSize; ++at) {
        ASSERT_LT(at, damaged.size());
        damaged[at] = how[0] == 'z' ? 0 : static_cast<uint8_t>(random());
      }
    }
    const Judged judged = QuickScan(damaged);
    EXPECT_EQ(judged.deleted, intact.deleted);
    EXPECT_TRUE(judged.unsure.empty()) << *judged.unsure.begin();
  }
}

TEST_F(AllocationFile, RunsOutsideTheVolumeSayNothing) {
  testsupport::BytesDevice device(image_.data(), image_.size());
  CHFSPlusVolume volume(&device, false);
  ASSERT_TRUE(result::IsSuccess(volume.GetLastError()));
  const int64_t total = volume.GetVolumeHeader()->totalBlocks;
  auto judge = [&](std::initializer_list<DataRun> runs) {
    IDataRunList* list = CreateDataRunList();
    for (const DataRun& run : runs) list->AddDataRun(&run);
    const int answer = volume.RunsReachBlocksInUse(list);
    list->Release();
    return answer;
  };
  EXPECT_EQ(judge({}), 0);
  EXPECT_EQ(judge({{0, 1}}), 1);  // the volume header's block
  EXPECT_EQ(judge({{total, 1 << 20}, {-5, 3}, {7, 0}}), 0);
  // A run of hostile length from the volume's last block reads no further.
  EXPECT_GE(judge({{total - 1, int64_t{1} << 40}}), 0);
  EXPECT_EQ(volume.RunsReachBlocksInUse(nullptr), -1);
}

}  // namespace
