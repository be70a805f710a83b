// Complete scans, run as the application runs them, of the images of
// make-archives-images.sh: the archive, drawing, font and database images,
// and the two images that hold one file of every carved type (pictures,
// sound, films and documents too). Every file whose analyser is built is
// found where it lies, under its type, with the original as the start of
// the carved file; per type, the table beside PhotoRec and foremost is
// printed, and on the archive images ours come back identical at least as
// often as the peers'.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ArchiveFixtures.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "QuickScanProbe.h"
#include "engine/device/DeviceTestSupport.h"
#include "raw/RawFileAnalyserList.h"

namespace {

namespace fs = std::filesystem;

struct Laid {
  uint64_t offset = 0, length = 0;
  std::string type;
  int64_t analyser = -1;  // the type of the analyser that carves it, when the list says
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) out.push_back(field);
  return out;
}

struct Count {
  int laid = 0, found = 0, identical = 0;
};

struct PeerCount {
  int identical = 0, prefix = 0;
};

void CheckImage(const std::string& name, bool againstPeers) {
  const std::string why = archivefixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = archivefixtures::Dir() / (name + ".img");
  std::vector<Laid> laid;
  std::ifstream list(image.string() + ".carve.tsv");
  for (std::string line; std::getline(list, line);) {
    const auto f = Fields(line);
    ASSERT_GE(f.size(), 4u) << line;
    laid.push_back({std::stoull(f[0]), std::stoull(f[1]), f[3], f.size() > 4 ? std::stoll(f[4]) : -1});
  }
  ASSERT_FALSE(laid.empty());
  std::set<int64_t> built;
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) built.insert(entry.type);

  devicetest::ImageGuard guard(image);
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(image, options);
  ASSERT_TRUE(scan.Run());
  std::map<uint64_t, const quickprobe::Node*> carved;
  for (const quickprobe::Node& node : scan.nodes()) {
    auto* file = dynamic_cast<CFileNode*>(node.node);
    if (node.folder || file == nullptr || quickprobe::TreeSearcherType(node.node) != SEARCHER_TYPE_RAW) continue;
    IDataRunList* runs = file->GetDataRunList();
    if (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr) {
      carved[static_cast<uint64_t>(run->start) * scan.device()->GetSectorSize()] = &node;
    }
  }

  std::map<std::string, Count> ours;
  std::set<std::string> pending;
  for (const Laid& file : laid) {
    if (file.analyser >= 0 && built.count(file.analyser) == 0) {
      pending.insert(file.type);
      continue;
    }
    SCOPED_TRACE(name + ": the " + file.type + " at " + std::to_string(file.offset));
    Count& count = ours[file.type];
    ++count.laid;
    const auto at = carved.find(file.offset);
    if (at == carved.end()) {
      ADD_FAILURE() << "not carved";
      continue;
    }
    const quickprobe::Node& node = *at->second;
    const std::string shown = node.path.substr(node.path.rfind('/') + 1);
    EXPECT_EQ(shown.substr(shown.rfind('.') + 1), file.type) << node.path;
    // The image holds the original there: a carved file at least as long
    // begins with it.
    EXPECT_GE(node.size, file.length) << node.path;
    count.found += node.size >= file.length;
    count.identical += node.size == file.length;
  }

  std::map<std::string, std::map<std::string, PeerCount>> peers;
  std::ifstream peerList(image.string() + ".peers.tsv");
  for (std::string line; std::getline(peerList, line);) {
    const auto f = Fields(line);
    ASSERT_EQ(f.size(), 4u) << line;
    peers[f[0]][f[1]] = {std::stoi(f[2]), std::stoi(f[3])};
  }
  std::printf("%s: type, files, then found (identical) for us, PhotoRec, foremost\n", name.c_str());
  for (const auto& [type, count] : ours) {
    const PeerCount photorec = peers[type]["photorec"], foremost = peers[type]["foremost"];
    std::printf("  %-9s %2d   %2d (%2d)   %2d (%2d)   %2d (%2d)\n", type.c_str(), count.laid, count.found,
                count.identical, photorec.prefix, photorec.identical, foremost.prefix, foremost.identical);
    for (const PeerCount& peer : {photorec, foremost}) {
      EXPECT_GE(count.found, peer.prefix) << type;
      if (againstPeers) {
        EXPECT_GE(count.identical, peer.identical) << type;
      }
    }
  }
  for (const std::string& type : pending) std::printf("  %-9s its analyser is not built yet\n", type.c_str());
}

TEST(RawEveryType, ArchivesInZeros) { CheckImage("zeros", true); }
TEST(RawEveryType, ArchivesInRandomBytes) { CheckImage("random", true); }
TEST(RawEveryType, OneOfEveryTypeInZeros) { CheckImage("every-zeros", false); }
TEST(RawEveryType, OneOfEveryTypeInRandomBytes) { CheckImage("every-random", false); }

}  // namespace
