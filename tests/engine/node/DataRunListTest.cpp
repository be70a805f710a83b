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

using Runs = std::vector<std::pair<int64_t, int64_t>>;

Runs Contents(IDataRunList& list) {
  Runs out;
  for (DataRun* run = list.GetFirst(); run != nullptr; run = list.GetNext()) out.emplace_back(run->start, run->length);
  return out;
}

void Add(IDataRunList& list, const Runs& runs) {
  for (const auto& [start, length] : runs) {
    const DataRun run{start, length};
    list.AddDataRun(&run);
  }
}

TEST(DataRunList, MergesOnlyRunsThatContinueOnDisk) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const std::pair<Runs, Runs> cases[] = {
      {{{10, 5}, {15, 3}, {30, 1}, {31, 2}, {12, 1}}, {{10, 8}, {30, 3}, {12, 1}}},
      {{{max - 1, 1}, {max, 5}, {0, 1}}, {{max - 1, 6}, {0, 1}}},
      // Sparse runs (any negative start), corrupt lengths and overflowing
      // ends or lengths never merge.
      {{{-1, 4}, {3, 2}, {-1, 2}, {1, 1}, {-7, 1}, {-6, 1}}, {}},
      {{{10, -4}, {6, 2}, {8, -1}}, {}},
      {{{0, max}, {max, 1}}, {}},
  };
  for (const auto& [given, kept] : cases) {
    CDataRunList list;
    Add(list, given);
    list.AddDataRun(nullptr);
    EXPECT_EQ(Contents(list), kept.empty() ? given : kept);
  }
}

TEST(DataRunList, CursorWalksOnceAndRunsOutliveAdditions) {
  EXPECT_EQ(CDataRunList().GetFirst(), nullptr);
  CDataRunList list(1);
  Add(list, {{1, 1}, {-1, 3}});
  DataRun* first = list.GetNext();  // before any GetFirst: the first run
  ASSERT_EQ(list.GetFirst(), first);
  EXPECT_EQ(list.GetNext()->length, 3);
  EXPECT_EQ(list.IsDone(), 0);
  EXPECT_EQ(list.GetNext(), nullptr);
  EXPECT_EQ(list.IsDone(), 1);
  std::unique_ptr<IDataRunList> copy(list.Clone());
  for (int i = 0; i < 1000; ++i) Add(list, {{100 + 2 * i, 1}});
  EXPECT_EQ(first->start, 1);
  EXPECT_EQ(copy->IsResident(), 1);
  EXPECT_EQ(Contents(*copy), (Runs{{1, 1}, {-1, 3}}));
}

// The cluster chain of a fragmented file on a FAT16 image made by mkfs.fat and
// mtools, fed one cluster at a time, gives the fragments mshowfat reports.
TEST(DataRunList, OneClusterAtATimeGivesTheFragmentsOfARealFile) {
  REQUIRE_TOOL("mkfs.fat");
  REQUIRE_TOOL("mshowfat");
  testsupport::TempDir dir;
  const std::string run = "cd " + testsupport::ShellQuote(dir.path().string()) + " && export MTOOLS_SKIP_CHECK=1 && ";
  testsupport::RunCommandOrFail(
      run +
      "mkfs.fat -C -F 16 -S 512 -s 1 img 8192 >/dev/null && for i in 1 2 3 4 5 6 7 8; "
      "do head -c $((i * 1500)) /dev/urandom > f$i && mcopy -i img f$i ::/f$i; done && "
      "mdel -i img ::/f2 ::/f4 ::/f7 && head -c 60000 /dev/urandom > big && mcopy -i img big ::/");
  const std::string before = testsupport::Sha256(dir / "img");
  // mshowfat prints the chain as "::/big <5-10> <20-31> ...".
  const std::string shown = testsupport::RunCommandOrFail(run + "mshowfat -i img ::/big");
  Runs expected;
  const std::regex range("<([0-9]+)(?:-([0-9]+))?>");
  for (auto it = std::sregex_iterator(shown.begin(), shown.end(), range); it != std::sregex_iterator(); ++it) {
    const int64_t first = std::stoll((*it)[1]);
    const int64_t last = (*it)[2].matched ? std::stoll((*it)[2]) : first;
    expected.emplace_back(first - 2, last - first + 1);  // runs count from cluster 2
  }
  ASSERT_GE(expected.size(), 3u) << "the file is not fragmented: " << shown;

  const auto bytes = testsupport::ReadFile(dir / "img");
  const size_t fat = (bytes.at(14) | (bytes.at(15) << 8)) * 512;
  CDataRunList list;
  for (size_t cluster = expected.front().first + 2, guard = 0; cluster >= 2 && cluster < 0xFFF8 && guard < 100000;
       ++guard) {
    Add(list, {{cluster - 2, 1}});
    cluster = bytes.at(fat + 2 * cluster) | (bytes.at(fat + 2 * cluster + 1) << 8);
  }
  EXPECT_EQ(Contents(list), expected);
  EXPECT_EQ(testsupport::Sha256(dir / "img"), before);
}

}  // namespace
