// A saved result loaded only from the volume it was read from
// (tests/fixtures/twins): a 96 MiB card (MBR or GPT, one FAT32 partition,
// six pictures) is scanned whole and saved by rsf_roundtrip, then its twin
// (same file name in another folder, same size, table and disk identifiers,
// its volume formatted again with another serial and other pictures) is
// attached in its place: the load is refused with its own code and nothing
// is copied out. The card itself attached again on another loop number
// loads, and every file copies out with the bytes copied out straight after
// the scan, every picture among them. With and without the kernel's
// partition nodes; the images are unchanged.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "RoundTripOutput.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ShellQuote;

struct Case {
  const char* table;    // mbr, gpt
  bool partitionNodes;  // losetup -P
  bool twin;            // the twin attached for the load, else the card on another loop number
};

std::string Label(const Case& c) {
  return std::string(c.table) + (c.twin ? "Twin" : "SameCardElsewhere") +
         (c.partitionNodes ? "WithNodes" : "WithoutNodes");
}
std::string Name(const testing::TestParamInfo<Case>& info) { return Label(info.param); }
void PrintTo(const Case& c, std::ostream* out) { *out << Label(c); }

using roundtrip::FileLines;

// The pictures' SHA-256 (IMG.files.tsv).
std::set<std::string> Pictures(const fs::path& image) {
  std::set<std::string> out;
  std::ifstream in(image.string() + ".files.tsv");
  for (std::string sha, path; in >> sha >> path;) out.insert(sha);
  return out;
}

// Attaches `image` as the test asked, its table read by the kernel or not.
std::unique_ptr<devicetest::LoopDevice> Attach(const fs::path& image, bool partitionNodes) {
  auto loop = std::make_unique<devicetest::LoopDevice>(image, 0, partitionNodes, true);
  if (!loop->attached()) return loop;
  testsupport::RunCommand("udevadm settle 2>/dev/null");
  if (partitionNodes && !fs::exists(loop->Partition(1))) loop->Announce();
  return loop;
}

class Twins : public testing::TestWithParam<Case> {};

TEST_P(Twins, AResultLoadsOnlyFromTheVolumeItWasReadFrom) {
  const Case& c = GetParam();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const fs::path dir =
      conformance::FixtureDir("CLIPMENDER_TWINS_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "twins");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/twins/make-twins-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);

  testsupport::TempDir work;
  // Copies of their own under one name, a name no other case uses: the
  // device list tells disks apart by their backing file's name.
  const std::string name = Label(c) + ".img";
  const fs::path card = work.path() / "card" / name, twin = work.path() / "twin" / name;
  fs::create_directories(card.parent_path());
  fs::create_directories(twin.parent_path());
  const fs::path source = dir / c.table / "card.img";
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote(source.string()) + " " + ShellQuote(card.string()));
  testsupport::RunCommandOrFail("cp --sparse=always " +
                                ShellQuote((dir / (std::string(c.table) + "-other") / "card.img").string()) + " " +
                                ShellQuote(twin.string()));
  devicetest::ImageGuard cardGuard(card), twinGuard(twin);

  const std::string tool = CLIPMENDER_RSF_ROUNDTRIP;
  const fs::path fresh = work.path() / "fresh", loaded = work.path() / "loaded", rsf = work.path() / "r.rsf";
  std::string scannedOn;
  std::vector<std::string> before;
  {
    auto loop = Attach(card, c.partitionNodes);
    ASSERT_TRUE(loop->attached());
    ASSERT_EQ(fs::exists(loop->Partition(1)), c.partitionNodes) << "partition nodes as losetup was asked";
    scannedOn = loop->path();
    const auto scanned = testsupport::RunCommand(ShellQuote(tool) + " scan --recover-to " + ShellQuote(fresh.string()) +
                                                 " " + ShellQuote(scannedOn) + " " + ShellQuote(rsf.string()));
    ASSERT_EQ(scanned.exitCode, 0) << scanned.output;
    before = FileLines(scanned.output);
  }
  ASSERT_EQ(before.size(), 6u) << "the six pictures";
  const auto freshHashes = conformance::HashAll(fresh);
  std::set<std::string> copied;
  for (const auto& [path, sha] : freshHashes) copied.insert(sha);
  EXPECT_EQ(copied, Pictures(source)) << "the scan copies out the card's pictures";

  if (c.twin) {
    auto loop = Attach(twin, c.partitionNodes);
    ASSERT_TRUE(loop->attached());
    const auto recovered = testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                                   ShellQuote(loaded.string()));
    EXPECT_NE(recovered.exitCode, 0);
    EXPECT_NE(recovered.output.find("load error 11"), std::string::npos) << recovered.output;
    EXPECT_TRUE(FileLines(recovered.output).empty()) << recovered.output;
    EXPECT_TRUE(!fs::exists(loaded) || fs::is_empty(loaded)) << "nothing is copied out of the twin";
    return;
  }

  // The card's old number held by another image, asked for by name: other
  // tests attach and detach loop devices all the time, and the kernel may let
  // the detached one go a little later, so a free number may come and go.
  const fs::path filler = work.path() / "filler.img";
  devicetest::MakeSparseImage(filler, 1 << 20);
  bool held = false;
  for (int i = 0; i < 150 && !held; ++i) {
    held = testsupport::RunCommand("losetup -r " + ShellQuote(scannedOn) + " " + ShellQuote(filler.string()) +
                                   " 2>/dev/null")
               .exitCode == 0;
    if (!held) testsupport::RunCommand("sleep 0.2");
  }
  ASSERT_TRUE(held) << scannedOn << " stayed taken for 30 s";
  struct Release {
    std::string device;
    ~Release() { testsupport::RunCommand("losetup -d " + ShellQuote(device) + " 2>/dev/null"); }
  } release{scannedOn};
  auto loop = Attach(card, c.partitionNodes);
  ASSERT_TRUE(loop->attached());
  ASSERT_NE(loop->path(), scannedOn);
  const auto recovered = testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                                 ShellQuote(loaded.string()));
  EXPECT_EQ(recovered.exitCode, 0) << recovered.output;
  EXPECT_EQ(FileLines(recovered.output), before);
  EXPECT_EQ(conformance::HashAll(loaded), freshHashes);
}

std::vector<Case> Cases() {
  std::vector<Case> out;
  for (const char* table : {"mbr", "gpt"}) {
    for (const bool nodes : {false, true}) {
      for (const bool twin : {true, false}) out.push_back({table, nodes, twin});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Cards, Twins, testing::ValuesIn(Cases()), Name);

}  // namespace
