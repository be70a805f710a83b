// A saved result loaded only from the volume it was read from
// (tests/fixtures/twins): a 96 MiB card (MBR or GPT, one FAT32 partition,
// six pictures) is scanned whole and saved by rsf_roundtrip, then loaded:
// - its twin (same file name in another folder, same size, table and disk
//   identifiers, its volume formatted again with another serial and other
//   pictures) attached in its place: refused with its own code, nothing is
//   copied out;
// - the card itself attached again on another loop number: loaded;
// - the card and its twin attached together, the twin listed first, then
//   the card first: the card is found wherever it stands and loaded;
// and on the twin, the file cut just before its identity frame: refused as
// damaged; the file as a build before identities wrote it (no promised,
// identity or check frames): loaded with the warning that its volumes
// cannot be verified, on the twin, on a twin formatted again whose free
// clusters hold other pictures where the card's lay (written and deleted
// there), on the card formatted again and shot a month later (pictures of
// the same names and sizes in the same clusters, other bytes and times:
// every picture failed), and on the card itself, which still copies out
// every picture "ok". Whatever loads copies out no file "ok" whose bytes are
// not those copied out straight after the scan, every picture among them.
// With and without the kernel's partition nodes; the images are unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "RoundTripOutput.h"
#include "ScanResultFiles.h"
#include "app/ScanResultChecks.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace srr = SaveRestoreResult;
using testsupport::ShellQuote;

enum class Load {
  kTwin,                  // the twin alone
  kCardElsewhere,         // the card alone, on another loop number
  kTwinListedFirst,       // both, the twin listed before the card
  kCardListedFirst,       // both, the card listed before the twin
  kCutBeforeIdentity,     // the twin alone, the file cut just before its identity frame
  kWithoutIdentity,       // the twin alone, the file without identities (an older build's)
  kFreedWithoutIdentity,  // the freed twin alone, the file without identities
  kCardWithoutIdentity,   // the card alone, the file without identities
  kMonthWithoutIdentity,  // the card shot again a month later, the file without identities
};

struct Case {
  const char* table;    // mbr, gpt
  bool partitionNodes;  // losetup -P
  Load load;
};

std::string Label(const Case& c) {
  static const char* const kLoads[] = {"Twin",
                                       "SameCardElsewhere",
                                       "TwinListedFirst",
                                       "CardListedFirst",
                                       "CutBeforeIdentity",
                                       "WithoutIdentity",
                                       "FreedTwinWithoutIdentity",
                                       "CardWithoutIdentity",
                                       "MonthLaterTwinWithoutIdentity"};
  return std::string(c.table) + kLoads[static_cast<int>(c.load)] + (c.partitionNodes ? "WithNodes" : "WithoutNodes");
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

// Attaches `image` on the first of `nodes` that takes it (any free node when
// there are none), its table read by the kernel or not.
std::unique_ptr<devicetest::LoopDevice> Attach(const fs::path& image, bool partitionNodes,
                                               const std::vector<std::string>& nodes = {}) {
  auto loop = nodes.empty() ? std::make_unique<devicetest::LoopDevice>(image, 0, partitionNodes, true)
                            : std::make_unique<devicetest::LoopDevice>(image, nodes, partitionNodes, true);
  if (!loop->attached()) return loop;
  testsupport::RunCommand("udevadm settle 2>/dev/null");
  if (partitionNodes && !fs::exists(loop->Partition(1))) loop->Announce();
  return loop;
}

// The free loop nodes listed after `node`.
std::vector<std::string> FreeNodesAfter(const std::string& node) {
  std::vector<std::string> after;
  for (const std::string& free : devicetest::FreeLoopNodes()) {
    if (free > node) after.push_back(free);
  }
  return after;
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
  const char* const twinSet = c.load == Load::kFreedWithoutIdentity   ? "-freed"
                              : c.load == Load::kMonthWithoutIdentity ? "-month"
                                                                      : "-other";
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote(source.string()) + " " + ShellQuote(card.string()));
  testsupport::RunCommandOrFail("cp --sparse=always " +
                                ShellQuote((dir / (std::string(c.table) + twinSet) / "card.img").string()) + " " +
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
    scannedOn = loop->name();
    const auto scanned = testsupport::RunCommand(ShellQuote(tool) + " scan --recover-to " + ShellQuote(fresh.string()) +
                                                 " " + ShellQuote(loop->path()) + " " + ShellQuote(rsf.string()));
    ASSERT_EQ(scanned.exitCode, 0) << scanned.output;
    before = FileLines(scanned.output);
  }
  ASSERT_EQ(before.size(), 6u) << "the six pictures";
  const auto freshHashes = conformance::HashAll(fresh);
  std::set<std::string> copied;
  for (const auto& [path, sha] : freshHashes) copied.insert(sha);
  EXPECT_EQ(copied, Pictures(source)) << "the scan copies out the card's pictures";

  // The file as the case loads it.
  const rsftest::Bytes saved = testsupport::ReadFile(rsf);
  if (c.load == Load::kCutBeforeIdentity) {
    const auto spans = rsftest::FrameSpans(saved);
    const auto identity = std::find_if(spans.begin(), spans.end(),
                                       [](const rsftest::FrameSpan& s) { return s.id == srr::_frVolumeIdentity; });
    ASSERT_NE(identity, spans.end());
    testsupport::WriteFile(rsf, saved.data(), identity->at);
  } else if (c.load == Load::kWithoutIdentity || c.load == Load::kFreedWithoutIdentity ||
             c.load == Load::kCardWithoutIdentity || c.load == Load::kMonthWithoutIdentity) {
    const rsftest::Bytes older =
        rsftest::WithoutFrames(saved, {srr::_frPromisedFrames, srr::_frVolumeIdentity, srr::_frCheckValues});
    ASSERT_LT(older.size(), saved.size());
    testsupport::WriteFile(rsf, older.data(), older.size());
  }
  const auto recover = [&] {
    return testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                   ShellQuote(loaded.string()));
  };
  // Every file reported recovered holds the bytes the scan copied out.
  const auto expectNoForeignBytes = [&](const testsupport::CommandResult& recovered) {
    const auto loadedHashes = conformance::HashAll(loaded);
    for (const std::string& line : FileLines(recovered.output)) {
      if (line.rfind("ok ", 0) != 0) continue;
      const std::string path = "./" + line.substr(3);
      const auto was = freshHashes.find(path), is = loadedHashes.find(path);
      EXPECT_TRUE(was != freshHashes.end() && is != loadedHashes.end() && was->second == is->second)
          << path << " reported recovered with another volume's bytes";
    }
  };

  switch (c.load) {
    case Load::kTwin:
    case Load::kCutBeforeIdentity:
    case Load::kWithoutIdentity:
    case Load::kFreedWithoutIdentity:
    case Load::kCardWithoutIdentity:
    case Load::kMonthWithoutIdentity: {
      // Where the card was scanned, when that node is still free.
      std::vector<std::string> nodes = devicetest::FreeLoopNodes();
      std::stable_partition(nodes.begin(), nodes.end(), [&](const std::string& n) { return n == scannedOn; });
      auto loop = Attach(c.load == Load::kCardWithoutIdentity ? card : twin, c.partitionNodes, nodes);
      ASSERT_TRUE(loop->attached());
      const auto recovered = recover();
      if (c.load != Load::kTwin && c.load != Load::kCutBeforeIdentity) {
        // Nothing in the file tells the volumes apart: loaded, and said.
        EXPECT_NE(recovered.output.find("load error 0"), std::string::npos) << recovered.output;
        EXPECT_NE(recovered.output.find("load warning: the volumes cannot be verified"), std::string::npos)
            << recovered.output;
        expectNoForeignBytes(recovered);
        // Its entries name every picture where the card's lay, written
        // another day: none is the card's.
        if (c.load == Load::kMonthWithoutIdentity) {
          const std::vector<std::string> lines = FileLines(recovered.output);
          EXPECT_EQ(lines.size(), before.size()) << recovered.output;
          for (const std::string& line : lines) EXPECT_EQ(line.rfind("failed ", 0), 0u) << line;
        }
        // The card still holds every picture where its entries say.
        if (c.load == Load::kCardWithoutIdentity) {
          EXPECT_EQ(FileLines(recovered.output), before);
          EXPECT_EQ(conformance::HashAll(loaded), freshHashes);
        }
        return;
      }
      EXPECT_NE(recovered.exitCode, 0);
      // Another volume; a file that lost the frames it promised is damaged,
      // never taken for an older one.
      const std::string code = c.load == Load::kTwin ? "load error 11" : "load error 5";
      EXPECT_NE(recovered.output.find(code), std::string::npos) << recovered.output;
      EXPECT_TRUE(FileLines(recovered.output).empty()) << recovered.output;
      EXPECT_TRUE(!fs::exists(loaded) || fs::is_empty(loaded)) << "nothing is copied out of the twin";
      return;
    }
    case Load::kTwinListedFirst:
    case Load::kCardListedFirst: {
      // The first where the card was scanned, when that node is still free;
      // the second on a node listed after it.
      const bool twinFirst = c.load == Load::kTwinListedFirst;
      std::vector<std::string> nodes = devicetest::FreeLoopNodes();
      std::stable_partition(nodes.begin(), nodes.end(), [&](const std::string& n) { return n == scannedOn; });
      auto first = Attach(twinFirst ? twin : card, c.partitionNodes, nodes);
      ASSERT_TRUE(first->attached());
      auto second = Attach(twinFirst ? card : twin, c.partitionNodes, FreeNodesAfter(first->name()));
      REQUIRE_OR_SKIP(second->attached(), "no free loop device listed after " + first->name());
      const auto recovered = recover();
      EXPECT_EQ(recovered.exitCode, 0) << recovered.output;
      EXPECT_EQ(FileLines(recovered.output), before);
      EXPECT_EQ(conformance::HashAll(loaded), freshHashes);
      return;
    }
    case Load::kCardElsewhere:
      break;
  }

  // The card's old number held by another image, asked for by name: other
  // tests attach and detach loop devices all the time, and the kernel may let
  // the detached one go a little later, so a free number may come and go.
  const fs::path filler = work.path() / "filler.img";
  devicetest::MakeSparseImage(filler, 1 << 20);
  bool held = false;
  for (int i = 0; i < 150 && !held; ++i) {
    held = testsupport::RunCommand("losetup -r /dev/" + scannedOn + " " + ShellQuote(filler.string()) + " 2>/dev/null")
               .exitCode == 0;
    if (!held) testsupport::RunCommand("sleep 0.2");
  }
  ASSERT_TRUE(held) << scannedOn << " stayed taken for 30 s";
  struct Release {
    std::string device;
    ~Release() { testsupport::RunCommand("losetup -d " + ShellQuote(device) + " 2>/dev/null"); }
  } release{"/dev/" + scannedOn};
  auto loop = Attach(card, c.partitionNodes);
  ASSERT_TRUE(loop->attached());
  ASSERT_NE(loop->name(), scannedOn);
  const auto recovered = recover();
  EXPECT_EQ(recovered.exitCode, 0) << recovered.output;
  EXPECT_EQ(FileLines(recovered.output), before);
  EXPECT_EQ(conformance::HashAll(loaded), freshHashes);
}

std::vector<Case> Cases() {
  std::vector<Case> out;
  for (const char* table : {"mbr", "gpt"}) {
    for (const bool nodes : {false, true}) {
      for (const Load load :
           {Load::kTwin, Load::kCardElsewhere, Load::kTwinListedFirst, Load::kCardListedFirst, Load::kCutBeforeIdentity,
            Load::kWithoutIdentity, Load::kFreedWithoutIdentity, Load::kCardWithoutIdentity}) {
        out.push_back({table, nodes, load});
      }
      if (std::string(table) == "mbr") out.push_back({table, nodes, Load::kMonthWithoutIdentity});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Cards, Twins, testing::ValuesIn(Cases()), Name);

}  // namespace
