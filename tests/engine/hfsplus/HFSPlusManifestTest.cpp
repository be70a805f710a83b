// The Linux-written samples against their manifests: every live file is
// found through the catalog walk with its path, size, extents and content.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "HFSPlusTestImages.h"
#include "engine/device/DeviceTestSupport.h"
#include "hfsplus/CHFSPlusVolumeAnalyze.h"
#include "support/TestSupport.h"

namespace {

using hfstest::Catalog;

struct ManifestCase {
  const char* name;
  int64_t startSector;
  bool hfsx;
};

void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.name; }

class ManifestTest : public ::testing::TestWithParam<ManifestCase> {};

// Counts the extents a note word "frag=N" names.
int FragExtents(const std::string& note) {
  const auto at = note.find("frag=");
  return at == std::string::npos ? 0 : std::stoi(note.substr(at + 5));
}

TEST_P(ManifestTest, LiveFilesReadBackThroughTheCatalog) {
  const ManifestCase& c = GetParam();
  std::string why;
  const auto image = hfstest::Unpacked(c.name, &why);
  REQUIRE_OR_SKIP(!image.empty(), why);
  devicetest::ImageGuard guard(image);
  auto open = hfstest::Open(image, c.startSector);
  ASSERT_TRUE(open->volume);
  ASSERT_TRUE(result::IsSuccess(open->volume->GetLastError()));
  EXPECT_EQ(open->volume->IsHFSX(), c.hfsx);
  EXPECT_EQ(open->volume->GetKeyCompareType(), c.hfsx ? hfsplus::kBinaryCompare : hfsplus::kCaseFoldingCompare);

  Catalog catalog;
  EXPECT_TRUE(result::IsSuccess(catalog.Walk(open->volume.get())));
  const auto rows =
      hfstest::ReadManifest(testsupport::SharedFixturesDir() / "hfsplus" / (std::string(c.name) + ".manifest.tsv"));
  ASSERT_GT(rows.size(), 200u);
  size_t live = 0;
  size_t overflowed = 0;
  // Every live name is a file of its own (HFSX case-only variants among
  // them), except the names of one hard-link group.
  std::map<std::string, std::set<int64_t>> idsByGroup;
  for (const auto& row : rows) {
    if (row.state != "live") continue;
    ++live;
    SCOPED_TRACE(row.path);
    const hfstest::Found* found = catalog.FindPath(row.path);
    ASSERT_NE(found, nullptr) << "not found through the catalog";
    EXPECT_FALSE(found->node->IsDirectory());
    EXPECT_EQ(found->node->GetFileSize(), row.size);
    const auto runs = hfstest::Runs(found->node);
    if (const int frag = FragExtents(row.note); frag != 0) {
      EXPECT_EQ(static_cast<int>(runs.size()), frag);
      if (frag > 8) ++overflowed;
    }
    const auto link = row.note.find("hardlink=");
    EXPECT_EQ(link != std::string::npos, found->node->IsHardLink());
    idsByGroup[link != std::string::npos ? row.note.substr(link, 10) : row.path].insert(
        found->node->GetContentFileID());
    EXPECT_EQ(hfstest::Md5(hfstest::ReadContent(open->volume.get(), found->node)), row.md5);
  }
  EXPECT_GT(live, 200u);
  for (const auto& [group, ids] : idsByGroup) EXPECT_EQ(ids.size(), 1u) << group;
  std::set<int64_t> distinct;
  for (const auto& [group, ids] : idsByGroup) distinct.insert(*ids.begin());
  EXPECT_EQ(distinct.size(), idsByGroup.size());
  if (c.hfsx) {
    EXPECT_NE(catalog.FindPath("Case/Data"), catalog.FindPath("Case/data"));
  }
  EXPECT_GE(overflowed, 1u) << "a file with overflow extents";
}

INSTANTIATE_TEST_SUITE_P(Linux, ManifestTest,
                         ::testing::Values(ManifestCase{"lx-hfsplus", 0, false}, ManifestCase{"lx-hfsplus-j", 0, false},
                                           ManifestCase{"lx-hfsx-j", 0, true}, ManifestCase{"lx-gpt-hfsx", 2048, true}),
                         [](const auto& info) { return hfstest::TestName(info.param.name); });

}  // namespace
