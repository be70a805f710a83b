#include "DataRunList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <regex>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

using Runs = std::vector<std::pair<int64_t, int64_t>>;

Runs Contents(IDataRunList& list) {
  Runs out;
  for (DataRun* run = list.GetFirst(); run != nullptr; run = list.GetNext()) out.emplace_back(run->start, run->length);
  return out;
}

void Add(IDataRunList& list, int64_t start, int64_t length) {
  DataRun run{start, length};
  list.AddDataRun(&run);
}

TEST(DataRunList, ContinuingRunsMerge) {
  CDataRunList list;
  Add(list, 10, 5);
  Add(list, 15, 3);
  EXPECT_EQ(Contents(list), (Runs{{10, 8}}));
  Add(list, 30, 1);  // a gap
  Add(list, 31, 2);
  EXPECT_EQ(Contents(list), (Runs{{10, 8}, {30, 3}}));
  Add(list, 12, 1);  // going back is a new run
  EXPECT_EQ(Contents(list), (Runs{{10, 8}, {30, 3}, {12, 1}}));
}

TEST(DataRunList, SparseRunsNeverMerge) {
  CDataRunList a;
  Add(a, -1, 4);
  Add(a, 3, 2);
  EXPECT_EQ(Contents(a), (Runs{{-1, 4}, {3, 2}}));

  CDataRunList b;
  Add(b, 10, 5);
  Add(b, -1, 2);
  Add(b, 1, 1);
  EXPECT_EQ(Contents(b), (Runs{{10, 5}, {-1, 2}, {1, 1}}));

  CDataRunList c;
  Add(c, -1, 2);
  Add(c, -1, 2);
  Add(c, -7, 1);  // any negative start is sparse
  Add(c, -6, 1);
  EXPECT_EQ(Contents(c), (Runs{{-1, 2}, {-1, 2}, {-7, 1}, {-6, 1}}));
  EXPECT_TRUE(c.GetFirst()->IsSparse());
}

TEST(DataRunList, CorruptLengthsAndOverflowDoNotMerge) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  CDataRunList list;
  Add(list, max - 1, 1);
  Add(list, max, 5);  // continues exactly
  EXPECT_EQ(Contents(list), (Runs{{max - 1, 6}}));
  Add(list, 0, 1);  // the end of the last run is past the i64 range
  EXPECT_EQ(list.GetDataRunCount(), 2u);

  CDataRunList negative;
  Add(negative, 10, -4);
  Add(negative, 6, 2);
  Add(negative, 8, -1);
  EXPECT_EQ(Contents(negative), (Runs{{10, -4}, {6, 2}, {8, -1}}));

  CDataRunList longRun;
  Add(longRun, 0, max);
  Add(longRun, max, 1);  // lengths would overflow
  EXPECT_EQ(longRun.GetDataRunCount(), 2u);
}

TEST(DataRunList, NullIsIgnored) {
  CDataRunList list;
  list.AddDataRun(nullptr);
  EXPECT_EQ(list.GetDataRunCount(), 0u);
}

TEST(DataRunList, CursorWalksOnceAndStops) {
  CDataRunList empty;
  EXPECT_EQ(empty.GetFirst(), nullptr);
  EXPECT_EQ(empty.GetNext(), nullptr);
  EXPECT_EQ(empty.IsDone(), 1);

  CDataRunList list;
  Add(list, 1, 1);
  Add(list, 5, 1);
  EXPECT_EQ(list.IsDone(), 0);
  DataRun* first = list.GetNext();  // before any GetFirst: the first run
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->start, 1);
  EXPECT_EQ(list.GetFirst(), first);
  EXPECT_EQ(list.IsDone(), 0);
  DataRun* second = list.GetNext();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->start, 5);
  EXPECT_EQ(list.IsDone(), 0);
  EXPECT_EQ(list.GetNext(), nullptr);
  EXPECT_EQ(list.IsDone(), 1);
  EXPECT_EQ(list.GetNext(), nullptr);
  // Pointers handed out survive later additions.
  for (int i = 0; i < 1000; ++i) Add(list, 100 + 2 * i, 1);
  EXPECT_EQ(first->start, 1);
  EXPECT_EQ(second->start, 5);
  EXPECT_EQ(list.GetFirst(), first);
}

TEST(DataRunList, CloneIsIndependentAndKeepsTheResidentFlag) {
  CDataRunList list(1);
  Add(list, 7, 2);
  Add(list, -1, 3);
  IDataRunList* copy = list.Clone();
  EXPECT_EQ(copy->IsResident(), 1);
  EXPECT_EQ(copy->GetDataRunListType(), 5);
  EXPECT_EQ(Contents(*copy), Contents(list));
  Add(*copy, 50, 1);
  EXPECT_EQ(Contents(list), (Runs{{7, 2}, {-1, 3}}));
  copy->Release();

  IDataRunList* made = CreateDataRunList();
  EXPECT_EQ(made->IsResident(), 0);
  EXPECT_EQ(made->GetOffset(), 0);
  EXPECT_EQ(made->GetDataRunListType(), CDataRunList::kType);
  EXPECT_EQ(made->GetFirst(), nullptr);
  made->Release();

  CDataRunList plain;
  plain.SetResident(1);
  EXPECT_EQ(plain.IsResident(), 1);
}

// The cluster chain of a fragmented file on a FAT16 image made by mkfs.fat and
// filled by mtools: fed one cluster at a time, the list must end up with the
// fragments mshowfat reports.
TEST(DataRunList, OneClusterAtATimeGivesTheFragmentsOfARealFile) {
  REQUIRE_TOOL("mkfs.fat");
  REQUIRE_TOOL("mcopy");
  REQUIRE_TOOL("mshowfat");
  testsupport::TempDir dir;
  const std::string img = (dir / "fat16.img").string();
  const std::string q = ShellQuote(img);
  const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
  RunCommandOrFail("mkfs.fat -C -F 16 -S 512 -s 1 " + q + " 8192 >/dev/null");
  for (int i = 1; i <= 8; ++i) {
    const std::string file = (dir / ("f" + std::to_string(i))).string();
    RunCommandOrFail("head -c " + std::to_string(i * 1500) + " /dev/urandom > " + ShellQuote(file));
    RunCommandOrFail(mt + "mcopy -i " + q + " " + ShellQuote(file) + " ::/f" + std::to_string(i));
  }
  RunCommandOrFail(mt + "mdel -i " + q + " ::/f2 ::/f4 ::/f7");
  const std::string big = (dir / "big").string();
  RunCommandOrFail("head -c 60000 /dev/urandom > " + ShellQuote(big));
  RunCommandOrFail(mt + "mcopy -i " + q + " " + ShellQuote(big) + " ::/big");
  const std::string before = testsupport::Sha256(img);

  // mshowfat prints the chain as "::/big <5-10> <20-31> ...".
  const std::string shown = RunCommandOrFail(mt + "mshowfat -i " + q + " ::/big");
  Runs expected;
  const std::regex range("<([0-9]+)(?:-([0-9]+))?>");
  for (auto it = std::sregex_iterator(shown.begin(), shown.end(), range); it != std::sregex_iterator(); ++it) {
    const int64_t first = std::stoll((*it)[1]);
    const int64_t last = (*it)[2].matched ? std::stoll((*it)[2]) : first;
    expected.emplace_back(first - 2, last - first + 1);  // runs count from cluster 2
  }
  ASSERT_GE(expected.size(), 3u) << "the file is not fragmented: " << shown;

  // Follow the chain through the first FAT of the image ourselves.
  const auto bytes = testsupport::ReadFile(img);
  ASSERT_GT(bytes.size(), 512u);
  const size_t reserved = bytes[14] | (bytes[15] << 8);
  const size_t fat = reserved * 512;
  CDataRunList list;
  uint32_t cluster = static_cast<uint32_t>(expected.front().first + 2);
  for (int guard = 0; cluster >= 2 && cluster < 0xFFF8 && guard < 100000; ++guard) {
    Add(list, cluster - 2, 1);
    ASSERT_LT(fat + 2 * cluster + 1, bytes.size());
    cluster = bytes[fat + 2 * cluster] | (bytes[fat + 2 * cluster + 1] << 8);
  }
  EXPECT_EQ(Contents(list), expected);
  EXPECT_EQ(testsupport::Sha256(img), before);
}

}  // namespace
