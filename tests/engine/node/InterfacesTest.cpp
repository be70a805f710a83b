// The engine's interface headers stand on their own, the progress record has
// its fixed layout, and the searcher factories answer null until their
// scanners exist.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "DirectoryTree.h"
#include "FileProperties.h"
#include "FileSystemSearchController.h"
#include "PrivateData.h"
#include "Progress.h"
#include "RestoreScanSink.h"
#include "SearchedPartitionInfo.h"

namespace {

TEST(ProgressRecord, IsZeroWhenMade) {
  static_assert(sizeof(_PROGRESS_INFO) == 4128);
  _PROGRESS_INFO info;
  std::vector<uint8_t> bytes(sizeof info);
  std::memcpy(bytes.data(), &info, sizeof info);
  EXPECT_EQ(std::vector<uint8_t>(sizeof info, 0), bytes);
}

TEST(SearcherFactories, AnswerNullUntilTheirScannersExist) {
  // The NTFS quick scanner exists.
  std::unique_ptr<IQuickFileSystemSearchController> ntfsQuick(CreateNTFSQuickSearcher());
  EXPECT_NE(ntfsQuick, nullptr);
  EXPECT_EQ(CreateNTFSSearcher(), nullptr);
  EXPECT_EQ(CreateFATQuickSearcher(), nullptr);
  EXPECT_EQ(CreateFATSearcher(), nullptr);
  EXPECT_EQ(CreateEXFatQuickSearcher(), nullptr);
  EXPECT_EQ(CreateEXFatSearcher(), nullptr);
  EXPECT_EQ(CreateHFSPlusQuickSearcher(), nullptr);
  EXPECT_EQ(CreateHFSPlusSearcher(), nullptr);
  EXPECT_EQ(CreateRAWSearcher(), nullptr);
}

// A complete searcher needs only what it examines; the end and progress
// hooks have defaults.
class MinimalSearcher : public ICompleteFileSystemSearchController {
 public:
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
    if (capacity < 1) return 1;
    array[0] = new CSearchedPartitionInfo(512);
    return 1;
  }
  void SetDevice(IStorageDevice* device) override { m_device = device; }
  void SetBlockSize(int sectors) override { m_block = sectors; }
  void PreparetoSearch() override {}
  ResultCode AnalyzeBlock(int64_t, int64_t) override { return 0; }

  IDirecotryTreeBuilder* m_builder = nullptr;
  IStorageDevice* m_device = nullptr;
  int m_block = 0;
};

TEST(SearcherInterfaces, DefaultsLetASearcherImplementOnlyWhatItUses) {
  ICompleteFileSystemSearchController* searcher = new MinimalSearcher();
  searcher->SetIProgressSink(nullptr);
  searcher->SetBlockSize(8192);
  searcher->EndSearch(1);
  CSearchedPartitionInfo* found[1] = {};
  EXPECT_EQ(searcher->GetSearchedPartitionInfo(found, 1), 1);
  ASSERT_NE(found[0], nullptr);
  delete found[0];
  delete searcher;  // through the interface's virtual destructor
}

}  // namespace
