// What the conformance rows do not cover: the refusals with their codes, a
// folder chain closed into a loop, and the volume analyzer against fsstat.
#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

#include "FatFixtures.h"
#include "VolumeAnalyze.h"
#include "engine/device/DeviceTestSupport.h"
#include "fat/FATQuickSearcher.h"
#include "support/PeerOutput.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"

namespace {

namespace fs = std::filesystem;

class FatQuick : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    const std::string why = fatfixtures::Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
  }
  // Scans `image` recorded as `type`; answers the searcher's code.
  static ResultCode Scan(const fs::path& image, int type, testsupport::RecordingBuilder& builder,
                         testsupport::RecordingProgress& sink) {
    devicetest::ImageGuard guard(image);
    IStorageDevice* device = fatfixtures::OpenVolume(image, type);
    CFATQuickSearcher searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    const ResultCode code = searcher.QuickSearchFiles(device, &sink);
    device->Release();
    return code;
  }
};

TEST_F(FatQuick, Fat12AndAWipedFat16BootSectorAreRefusedWithTheirCodes) {
  testsupport::RecordingBuilder builder;
  testsupport::RecordingProgress sink;
  EXPECT_EQ(Scan(fatfixtures::Dir() / "f12.img", FILE_SYSTEM_TYPE_FAT12, builder, sink),
            CFATQuickSearcher::kUnsupportedType);
  EXPECT_TRUE(builder.added.empty());
  ASSERT_FALSE(sink.Records().empty());
  EXPECT_EQ(sink.Records().back().status, PROGRESS_STATUS_FINISHED);

  // FAT16 keeps no boot-sector copy.
  const fs::path wiped = fs::path(::testing::TempDir()) / ("f16-wiped-" + std::to_string(getpid()) + ".img");
  fs::copy_file(fatfixtures::Dir() / "f16.img", wiped, fs::copy_options::overwrite_existing);
  {
    std::fstream f(wiped, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    f.write(zeros.data(), 512);
  }
  testsupport::RecordingBuilder again;
  EXPECT_EQ(Scan(wiped, FILE_SYSTEM_TYPE_FAT16, again, sink), CFATQuickSearcher::kNoBootSector);
  EXPECT_EQ(again.events, (std::vector<std::string>{"partition", "flash:32"}));
  fs::remove(wiped);
}

TEST_F(FatQuick, AFolderChainClosedIntoALoopEndsTheScan) {
  // Both tables carry the loop: the folder's walk ends where its chain comes
  // back round, with everything it holds handed over, and the tree is
  // finished.
  testsupport::RecordingBuilder builder;
  testsupport::RecordingProgress sink;
  EXPECT_EQ(Scan(fatfixtures::Dir() / "f32-loop.img", FILE_SYSTEM_TYPE_FAT32, builder, sink), 0u);
  bool readme = false;
  for (const auto& a : builder.added) readme = readme || a.name == "readme.txt";
  EXPECT_TRUE(readme);
  EXPECT_EQ(builder.events.back(), "flash:32");
}

TEST_F(FatQuick, AnalyzerTakesTheVolumeAsFsstatDoes) {
  for (const char* name : {"f16", "f32"}) {
    const fs::path image = fatfixtures::Dir() / (std::string(name) + ".img");
    const peers::Fsstat fsstat = peers::ParseFsstat(peers::ReadText(image.string() + ".fsstat.txt"));
    const std::string range = fsstat.fields.at("Total Range");  // "0 - N"
    std::string label = fsstat.fields.at("Volume Label (Boot Sector)");
    while (!label.empty() && label.back() == ' ') label.pop_back();
    IStorageDevice* device = CreateVolumeDevice(image.c_str());
    ASSERT_EQ(device->Open(), 1);
    IVolumeAnalyze* analyzer = CreateFatVolumeAnalyze(device, 0);
    EXPECT_EQ(analyzer->GetFileSystemType(),
              std::string(name) == "f16" ? FILE_SYSTEM_TYPE_FAT16 : FILE_SYSTEM_TYPE_FAT32);
    EXPECT_EQ(analyzer->GetTotalSector(), std::stoull(range.substr(range.find('-') + 1)) + 1) << name;
    char text[100];
    analyzer->GetLabel(text, sizeof text);
    EXPECT_EQ(std::string(text), label) << name;
    analyzer->Release();
    device->Release();
  }
  IStorageDevice* device = CreateVolumeDevice((fatfixtures::Dir() / "f12.img").c_str());
  ASSERT_EQ(device->Open(), 1);
  IVolumeAnalyze* analyzer = CreateFatVolumeAnalyze(device, 0);
  EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  analyzer->Release();
  device->Release();
}

}  // namespace
