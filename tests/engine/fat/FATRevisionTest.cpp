// The settings file and the revision of first clusters on a 300 MiB FAT32
// volume whose deleted files lie past cluster 65536, one of them with the
// high word of its first cluster wiped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include <unistd.h>

#include "FatFixtures.h"
#include "QuickScanProbe.h"
#include "base/Utility.h"
#include "engine/device/DeviceTestSupport.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATQuickSearcher.h"
#include "fat/FATRevision.h"
#include "fat/IniFile.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/ScratchWorkDir.h"

namespace {

namespace fs = std::filesystem;

// The working folder (its settings file), fixed before anything asks for it.
const fs::path& kWorkDir = testsupport::ScratchWorkDir();

void WriteSettings(const std::string& text) {
  if (text.empty()) {
    fs::remove(kWorkDir / "UIConfig.ini");
    return;
  }
  std::ofstream(kWorkDir / "UIConfig.ini", std::ios::binary) << text;
}

TEST(IniFile, LineEndsBlanksAndSyntaxErrors) {
  std::string v;
  CIniFile crlf;
  EXPECT_EQ(crlf.LoadText("; comment\r\n[UserExperience]\r\nbRevise = 0\r\nother=x [y]"), 0);
  EXPECT_EQ(crlf.ReadItem("UserExperience", "bRevise", v), 0);
  EXPECT_EQ(v, "0");
  // A bracket inside a value does not make the line a header.
  EXPECT_EQ(crlf.ReadItem("UserExperience", "other", v), 0);
  EXPECT_EQ(v, "x [y]");
  EXPECT_EQ(crlf.ReadItem("UserExperience", "absent", v), -1);
  EXPECT_EQ(crlf.ReadItem("y", "other", v), -1);

  CIniFile lastLine;
  EXPECT_EQ(lastLine.LoadText("[A]\nk=\n[B]\nk=7"), 0);
  EXPECT_EQ(lastLine.ReadItem("A", "k", v), -1);
  EXPECT_EQ(lastLine.ReadItem("B", "k", v), 0);
  EXPECT_EQ(v, "7");

  CIniFile early;
  EXPECT_EQ(early.LoadText("k=1\n[A]\n"), -1);
  CIniFile open;
  EXPECT_EQ(open.LoadText("[A]\nk=1\n[B\nk=2\n"), -1);
  EXPECT_EQ(open.ReadItem("A", "k", v), 0);  // what came before the fault stays
  EXPECT_EQ(CIniFile().Init((kWorkDir / "none.ini").string()), -1);
}

TEST(FatRevision, SettingsTurnTheRevisionOffOnlyForAValueOfZero) {
  WriteSettings("");
  EXPECT_TRUE(IsFAT32RevisionOn());
  for (const char* on : {"[UserExperience]\nbRevise=1\n", "[UserExperience]\nbRevise=00", "[Other]\nbRevise=0\n"}) {
    WriteSettings(on);
    EXPECT_TRUE(IsFAT32RevisionOn()) << on;
  }
  for (const char* off : {"[UserExperience]\nbRevise=0\n", "[UserExperience]\r\nbRevise=0"}) {
    WriteSettings(off);
    EXPECT_FALSE(IsFAT32RevisionOn()) << off;
  }
  WriteSettings("");
}

TEST(FatRevision, ExecutableImageTestStaysInsideTheSector) {
  std::vector<uint8_t> sector(512, 0);
  sector[0] = 0x4D;
  sector[1] = 0x5A;
  sector[60] = 0x80;
  sector[0x80] = 0x50;
  sector[0x81] = 0x45;
  EXPECT_TRUE(bExecutableImageFile(sector.data(), sector.size()));
  EXPECT_TRUE(SectorStartsKnownFile(sector.data(), 512));
  // Header offsets at the sector's end and far past it (no 32-bit wrap).
  for (uint32_t h : {511u, 0xFFFFFFFFu}) {
    sector[60] = h & 0xFF;
    sector[61] = (h >> 8) & 0xFF;
    sector[62] = (h >> 16) & 0xFF;
    sector[63] = h >> 24;
    EXPECT_FALSE(bExecutableImageFile(sector.data(), sector.size())) << h;
  }
  std::vector<uint8_t> text(512, 'a');
  EXPECT_FALSE(SectorStartsKnownFile(text.data(), 512));
}

CFATFileNode* DeletedFile(const char* name83, uint32_t cluster) {
  uint8_t e[32] = {};
  std::copy(name83, name83 + 11, e);
  e[0] = 0xE5;
  e[11] = 0x20;
  e[20] = cluster >> 16 & 0xFF;
  e[21] = cluster >> 24;
  e[26] = cluster & 0xFF;
  e[27] = cluster >> 8 & 0xFF;
  e[28] = 0x00;
  e[29] = 0x10;  // 4096 bytes
  auto* p = CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(e, 32);
  p->SetFirstClusterNum(cluster);
  auto* node = new CFATFileNode();
  node->SetFileProperties(p);
  return node;
}

TEST(FatRevision, HeldFilesSharingAFirstClusterAreBothHandedOver) {
  testsupport::RecordingBuilder builder;
  FATGeometry g;
  g.type = 2;
  g.sectorsPerCluster = 1;
  g.clusterCount = 200000;
  CFATFirstCluReviser reviser(&builder, nullptr, nullptr, g, nullptr, [](uint8_t*, uint32_t) { return false; });
  std::vector<CFATFileNode*> folders;
  // Each node made says what it is when node traces are on (and only then).
  SetNodeTrace(true);
  ::testing::internal::CaptureStdout();
  std::vector<CFATFileNode*> files = {DeletedFile("AFILE   TXT", 1200), DeletedFile("BFILE   TXT", 1200),
                                      DeletedFile("CFILE   TXT", 300000)};
  SetNodeTrace(false);
  std::string made = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(made.find("=====#FILE.TXT====== Current:4b0 Parent:0\n"), std::string::npos) << made;
  EXPECT_NE(made.find("====== Current:493e0 Parent:0\n"), std::string::npos) << made;
  ::testing::internal::CaptureStdout();
  reviser.ReviseFAT32FileFirstClu(folders, files);
  // The second claim on cluster 1200 is told on standard output.
  const std::string told = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(told, "\r\n ############firstCluNum=1200,fileName=#FILE.TXT\r\n######") << told;
  EXPECT_TRUE(files.empty());
  ASSERT_EQ(builder.added.size(), 3u);
  std::multiset<int64_t> ids;
  for (const auto& a : builder.added) ids.insert(a.id);
  // Unreadable recorded clusters (no device) are kept where they are.
  EXPECT_EQ(ids, (std::multiset<int64_t>{1200, 1200, 300000}));
}

class FatReviseScan : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    const std::string why = fatfixtures::ReviseReady();
    REQUIRE_OR_SKIP(why.empty(), why);
    image_ = fatfixtures::Dir() / "revise" / "f32-revise.img";
    // name without its first letter, real cluster, recorded cluster
    std::ifstream in(image_.string() + ".clusters");
    std::string name;
    int64_t real = 0, recorded = 0;
    while (in >> name >> real >> recorded) clusters_[name] = {real, recorded};
  }
  void TearDown() override { WriteSettings(""); }
  // The node IDs (first clusters) the scan gives, by name.
  std::map<std::string, int64_t> Scan() {
    devicetest::ImageGuard guard(image_);
    testsupport::RecordingBuilder builder;
    testsupport::RecordingProgress sink;
    IStorageDevice* device = fatfixtures::OpenVolume(image_, FILE_SYSTEM_TYPE_FAT32);
    CFATQuickSearcher searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(device, &sink), 0u);
    device->Release();
    std::map<std::string, int64_t> ids;
    for (const auto& a : builder.added) ids[a.name] = a.id;
    return ids;
  }
  fs::path image_;
  std::map<std::string, std::pair<int64_t, int64_t>> clusters_;
};

TEST_F(FatReviseScan, WipedHighWordIsRestoredUnlessTurnedOff) {
  const auto moved = clusters_.at("OVED.BIN");
  const auto photo = clusters_.at("HOTO.JPG");
  ASSERT_NE(moved.first, moved.second);
  for (const char* on : {"", "[UserExperience]\r\nbRevise=1\r\n", "[UserExperience]\nbRevise=1"}) {
    WriteSettings(on);
    auto ids = Scan();
    EXPECT_EQ(ids["#oved.bin"], moved.first) << on;
    EXPECT_EQ(ids["#hoto.jpg"], photo.first) << on;  // a JPEG header keeps it
    EXPECT_EQ(ids["#nchor.bin"], clusters_.at("NCHOR.BIN").first) << on;
  }
  for (const char* off : {"[UserExperience]\nbRevise=0\n", "[UserExperience]\r\nbRevise=0"}) {
    WriteSettings(off);
    auto ids = Scan();
    EXPECT_EQ(ids["#oved.bin"], moved.second) << off;
    EXPECT_EQ(ids["#hoto.jpg"], photo.first) << off;
  }
}

// The complete scan revises as the quick one does (a row cannot hold it: it
// also carves the JPEG).
TEST_F(FatReviseScan, TheCompleteScanMovesTheFileToo) {
  WriteSettings("");
  devicetest::ImageGuard guard(image_);
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(image_, options);
  ASSERT_TRUE(scan.Run());
  const quickprobe::Node* moved = scan.Find("#oved.bin");
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->id, clusters_.at("OVED.BIN").first);
  testsupport::TempDir scratch;
  ASSERT_EQ(scan.CopyOut(*moved, scratch / "moved.bin"), 0u);
  EXPECT_EQ(testsupport::Sha256(scratch / "moved.bin"),
            testsupport::Sha256(fatfixtures::Dir() / "revise" / "originals" / "moved.bin"));
}

// With revision on (no settings file), every file copies out identical to
// its original, the moved one included.
std::vector<conformance::Row> Rows() {
  conformance::Row r;
  r.name = "f32_revise";
  r.image = fatfixtures::Dir() / "revise" / "f32-revise.img";
  r.expect = fatfixtures::Dir() / "revise" / "f32-revise.img.expect.tsv";
  r.prepare = [] {
    WriteSettings("");
    return fatfixtures::ReviseReady();
  };
  return {r};
}

CONFORMANCE_ROWS(FatRevise, Rows());

}  // namespace

// A folder the complete scan finds without its entry (the root zeroed, or
// its first cluster random): its files that are not erased kept their first
// clusters, and the erased one below cluster 65536 lies where its entry says
// (free in the table): the revision moves none of them, and each copies out
// identical to its original.
TEST(FatLostFolderRevision, FilesOfAFolderFoundWithoutItsEntryStayWhereTheirEntriesSay) {
  setenv("TZ", "UTC", 1);
  WriteSettings("");
  const std::string why = fatfixtures::ReuseReady();
  REQUIRE_OR_SKIP(why.empty(), why);
  std::map<std::string, std::string> lost;  // name: live or deleted
  {
    std::ifstream in(fatfixtures::ReuseDir() / "f32-lostrevise.img.lost");
    for (std::string line; std::getline(in, line);) {
      const auto tab = line.find('\t');
      lost[line.substr(0, tab)] = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
    }
  }
  ASSERT_EQ(lost.size(), 6u);
  for (const char* how : {"zero", "random"}) {
    const fs::path image = fatfixtures::ReuseDir() / (std::string("f32-lostrevise-root") + how + ".img");
    devicetest::ImageGuard guard(image);
    quickprobe::QuickScan::Options options;
    options.complete = true;
    quickprobe::QuickScan scan(image, options);
    ASSERT_TRUE(scan.Run()) << how;
    testsupport::TempDir scratch;
    std::map<std::string, int> copied;
    for (const quickprobe::Node& n : scan.nodes()) {
      const std::string name = fs::path(n.path).filename().string();
      if (n.folder || lost.count(name) == 0) continue;
      EXPECT_EQ(n.deleted, true) << how << ": " << n.path << " is shown in a folder the volume still names";
      const fs::path to = scratch / std::to_string(copied.size());
      EXPECT_EQ(scan.CopyOut(n, to), 0u) << how << ": " << n.path << " (" << lost[name] << ")";
      EXPECT_EQ(testsupport::Sha256(to), testsupport::Sha256(fatfixtures::ReuseDir() / "originals" / "Lost" / name))
          << how << ": " << n.path << " (" << lost[name] << ")";
      ++copied[name];
    }
    for (const auto& [name, state] : lost) EXPECT_EQ(copied[name], 1) << how << ": " << name;
  }
}
