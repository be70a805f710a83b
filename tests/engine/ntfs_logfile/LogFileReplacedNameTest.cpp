// A deleted file whose name and folder now belong to a newer file: the log
// holds the newer record's image and an old resident-value undo aimed at the
// deleted record's $DATA. Matching images by folder and name, or taking any
// long enough undo whatever its operation, would each give the deleted file
// the newer file's size and clusters; it must come back with nothing.
#include <gtest/gtest.h>

#include "QuickScanProbe.h"
#include "engine/ntfs_logfile/LogFileScenario.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/TestSupport.h"

namespace {

using quickprobe::Node;

TEST(LogFileReplacedName, TheDeletedFileGetsNothingFromTheFileThatTookItsName) {
  REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse to fill the volume");
  testsupport::TempDir dir;
  const auto script = testsupport::SourceDir() / "tests/fixtures/ntfs/logfile/make-replaced-name.py";
  const auto made = testsupport::RunCommand("python3 " + testsupport::ShellQuote(script.string()) + " --out " +
                                            testsupport::ShellQuote(dir.path().string()) + " 2>&1");
  REQUIRE_OR_SKIP(made.exitCode != 77, made.output);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  ntfslogfile::ScenarioManifest m;
  ASSERT_TRUE(m.Load(dir / "manifest.txt"));
  {
    quickprobe::QuickScan scan(dir / "volume.img");
    ASSERT_TRUE(scan.Run());
    ASSERT_EQ(scan.searcherAnswer(), 0u);
    const Node* old = nullptr;
    const Node* now = nullptr;
    for (const Node& node : scan.nodes()) {
      if (node.path != "Docs/report.txt") continue;
      if (node.id == int64_t(m.Number("old_mft"))) old = &node;
      if (node.id == int64_t(m.Number("new_mft"))) now = &node;
    }
    ASSERT_TRUE(old != nullptr && now != nullptr);
    EXPECT_TRUE(old->deleted && !now->deleted);
    const auto* searcher = dynamic_cast<const CNTFSQuickSearch*>(scan.searcher());
    ASSERT_NE(searcher, nullptr);
    EXPECT_GE(searcher->GetCounters().logFileQueries, 1) << "the log was asked about the deleted file";
    EXPECT_EQ(old->size, 0u) << "the newer file's size";
    bool ok = false;
    EXPECT_TRUE(scan.Read(*old, &ok).empty());
    EXPECT_EQ(now->size, m.Number("new_size"));
    const auto copy = dir / "now.txt";
    ASSERT_EQ(scan.CopyOut(*now, copy), 0u);
    EXPECT_EQ(testsupport::Sha256(copy), m.Text("new_sha256"));
  }
  EXPECT_EQ(testsupport::Sha256(dir / "volume.img"), m.Text("image_sha256"));
}

}  // namespace
