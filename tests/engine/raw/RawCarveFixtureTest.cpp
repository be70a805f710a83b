// Pictures, sound and films made by real tools, laid into images by a script
// and by file systems (tests/fixtures/raw/make-raw-images.sh): each comes
// back under its folder and name, per type byte for byte at least as often as
// PhotoRec and foremost bring it back, and the JPEG cut in two by foreign
// bytes ends within its first piece.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "DataRunList.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "RawFixtures.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"

namespace {

namespace fs = std::filesystem;

struct Expected {
  uint64_t offset, length, firstPiece;
  std::string folder, prefix, type;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string piece;
  while (std::getline(in, piece, '\t')) out.push_back(piece);
  return out;
}

// The image's carve.tsv.
std::vector<Expected> ReadCarve(const fs::path& image) {
  std::vector<Expected> expected;
  std::ifstream tsv(image.string() + ".carve.tsv");
  for (std::string line; std::getline(tsv, line);) {
    const auto f = Split(line);
    EXPECT_EQ(f.size(), 8u) << line;
    if (f.size() != 8) continue;
    expected.push_back({std::stoull(f[0]), std::stoull(f[1]), std::stoull(f[7]), f[4], f[5], f[6]});
  }
  EXPECT_FALSE(expected.empty()) << image;
  return expected;
}

// What the searcher alone carves from an image: folder names by ID and
// files by the byte where their run starts.
struct Carved {
  testsupport::RecordingBuilder builder;
  std::map<int64_t, std::string> folders;
  std::map<uint64_t, IFileNode*> byOffset;
};

void CarveImage(const fs::path& image, Carved& out) {
  devicetest::ImageGuard guard(image);
  IStorageDevice* device = CreateDiskDevice(image.c_str());
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->Open(), 1);
  testsupport::RecordingProgress sink;
  ICompleteFileSystemSearchController* raw = CreateRAWSearcher();
  raw->SetIProgressSink(&sink);
  raw->SetDevice(device);
  raw->SetBlockSize(8192);
  raw->SetDirecotryTreeBuilder(&out.builder);
  raw->PreparetoSearch();
  const int64_t total = device->GetTotalSectors();
  for (int64_t first = 0; first < total; first += 8192)
    raw->AnalyzeBlock(first, std::min<int64_t>(8192, total - first));
  raw->EndSearch(1);
  delete raw;
  device->Close();
  device->Release();
  for (const auto& a : out.builder.added) {
    if (a.folder) out.folders[a.id] = a.name;
  }
  for (IFileNode* node : out.builder.owned) {
    auto* file = dynamic_cast<CFileNode*>(node);
    if (file == nullptr || node->IsDirectory() || file->GetDataRunList() == nullptr) continue;
    const DataRun* run = file->GetDataRunList()->GetFirst();
    if (run != nullptr) out.byOffset[static_cast<uint64_t>(run->start) * 512] = node;
  }
}

class CarveFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(CarveFixture, EveryTypeComesBackIdenticalAtLeastAsOftenAsThePeers) {
  const std::string why = rawfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = rawfixtures::Dir() / GetParam();
  const std::vector<Expected> expected = ReadCarve(image);
  Carved carved;
  CarveImage(image, carved);
  std::map<std::string, int> identical;
  for (const Expected& e : expected) {
    SCOPED_TRACE(std::string(GetParam()) + " at " + std::to_string(e.offset) + " " + e.type);
    const auto found = carved.byOffset.find(e.offset);
    if (found == carved.byOffset.end()) {
      ADD_FAILURE() << "not carved";
      continue;
    }
    IFileNode* node = found->second;
    const std::string name = node->GetFileName();
    EXPECT_EQ(carved.folders[node->GetParentNodeID()], e.folder);
    const std::string prefix = std::regex_replace(e.prefix, std::regex(R"([\^$.|?*+()\[\]{}\\])"), R"(\$&)");
    EXPECT_TRUE(std::regex_match(name, std::regex(prefix + "[0-9]{3,}\\." + e.type))) << name;
    // The image holds the original at its offset (the fixture checks it), so
    // a carved file of its length is the original.
    identical[e.type] += node->GetFileSize() == e.length && e.firstPiece == e.length ? 1 : 0;
  }
  std::ifstream peers(image.string() + ".peers.tsv");
  for (std::string line; std::getline(peers, line);) {
    const auto f = Split(line);
    ASSERT_EQ(f.size(), 4u) << line;
    std::printf("%-10s %-4s %-9s identical %s | ours %d\n", GetParam(), f[0].c_str(), f[1].c_str(), f[2].c_str(),
                identical[f[0]]);
    EXPECT_GE(identical[f[0]], std::stoi(f[2])) << f[0] << " against " << f[1];
  }
}

INSTANTIATE_TEST_SUITE_P(Images, CarveFixture, ::testing::Values("zeros.img", "random.img", "fat.img", "ntfs.img"),
                         [](const auto& info) {
                           return std::string(info.param).substr(0, std::strlen(info.param) - 4);
                         });

// Behind the first piece lie foreign bytes, then the rest of the picture:
// the carved file keeps none of them and loses none of the first piece's
// last sector but where no byte of it shows it to be the picture's.
TEST(CarveFixtureCut, TheCutJpegEndsWithinItsFirstPiece) {
  const std::string why = rawfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  for (const char* name : {"zeros.img", "random.img"}) {
    SCOPED_TRACE(name);
    const fs::path image = rawfixtures::Dir() / name;
    int cut = 0;
    Carved carved;
    CarveImage(image, carved);
    for (const Expected& e : ReadCarve(image)) {
      if (e.firstPiece == e.length) continue;
      ++cut;
      const auto found = carved.byOffset.find(e.offset);
      ASSERT_NE(found, carved.byOffset.end());
      const uint64_t size = found->second->GetFileSize();
      std::printf("%s: cut JPEG of %llu bytes, first piece %llu, carved %llu\n", name,
                  static_cast<unsigned long long>(e.length), static_cast<unsigned long long>(e.firstPiece),
                  static_cast<unsigned long long>(size));
      EXPECT_LE(size, e.firstPiece);
      EXPECT_GT(size, e.firstPiece - 4096);
    }
    EXPECT_EQ(cut, 1);
  }
}

}  // namespace
