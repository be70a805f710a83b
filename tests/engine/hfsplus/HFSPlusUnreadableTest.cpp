// A quick scan of an HFS+ volume that cannot be read answers the failure,
// so that the application can say so and offer the deep scan: the journaled
// sample with its volume header and the backup header at its end zeroed,
// scanned as the volume it was enumerated as.
#include <gtest/gtest.h>

#include <filesystem>

#include "EngineTypes.h"
#include "HFSPlusQuickScan.h"
#include "QuickScanProbe.h"
#include "ResultCode.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(HFSPlusUnreadable, AQuickScanWithoutEitherHeaderAnswersTheFailure) {
  std::string why;
  const fs::path fixtures = hfsquick::RowFixtures(&why);
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir scratch;
  const fs::path image = scratch / "zeroed.img";
  fs::copy_file(fixtures / "lx-hfsplus-j.img", image);
  const uintmax_t size = fs::file_size(image);
  testsupport::RunCommandOrFail("dd if=/dev/zero of=" + testsupport::ShellQuote(image.string()) +
                                " bs=512 seek=2 count=1 conv=notrunc status=none && dd if=/dev/zero of=" +
                                testsupport::ShellQuote(image.string()) +
                                " bs=512 seek=" + std::to_string(size / 512 - 2) + " count=1 conv=notrunc status=none");

  quickprobe::QuickScan::Options options;
  options.fileSystemType = FILE_SYSTEM_TYPE_HFSPLUS;
  quickprobe::QuickScan scan(image, options);
  ASSERT_TRUE(scan.Run());
  EXPECT_TRUE(result::IsFailure(scan.controllerAnswer())) << std::hex << scan.controllerAnswer();
  EXPECT_EQ(result::Module(scan.controllerAnswer()), result::kModuleHFSPlus);
  EXPECT_EQ(scan.controllerAnswer(), scan.searcherAnswer());
  EXPECT_TRUE(scan.nodes().empty());

  // The intact sample answers 0.
  quickprobe::QuickScan intact(fixtures / "lx-hfsplus-j.img", options);
  ASSERT_TRUE(intact.Run());
  EXPECT_EQ(intact.controllerAnswer(), 0u);
}

}  // namespace
