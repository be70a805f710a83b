// A complete carve of a fixture image against what its script laid in
// (IMG.carve.tsv) and what the peers brought back from it (IMG.peers.tsv).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"

namespace rawcheck {

namespace fs = std::filesystem;

struct Expected {
  uint64_t offset, length, firstPiece;
  std::string folder, prefix, type;
};

inline std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string piece;
  while (std::getline(in, piece, '\t')) out.push_back(piece);
  return out;
}

// The image's carve.tsv.
inline std::vector<Expected> ReadCarve(const fs::path& image) {
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

inline void CarveImage(const fs::path& image, Carved& out) {
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

// Every laid-in file comes back under its type's folder and name (with the
// original as its first bytes when `prefixes`), and per type byte for byte
// at least as often as each peer brings it back.
inline void CheckAgainstPeers(const fs::path& image, bool prefixes) {
  const std::string label = image.filename().string();
  const std::vector<Expected> expected = ReadCarve(image);
  Carved carved;
  CarveImage(image, carved);
  std::map<std::string, int> identical;
  for (const Expected& e : expected) {
    SCOPED_TRACE(label + " at " + std::to_string(e.offset) + " " + e.type);
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
    // a carved file of its length is the original, and a longer one holds it
    // as its first bytes.
    if (prefixes) {
      EXPECT_GE(node->GetFileSize(), e.length) << name;
    }
    identical[e.type] += node->GetFileSize() == e.length && e.firstPiece == e.length ? 1 : 0;
  }
  std::ifstream peers(image.string() + ".peers.tsv");
  for (std::string line; std::getline(peers, line);) {
    const auto f = Split(line);
    ASSERT_EQ(f.size(), 4u) << line;
    std::printf("%-10s %-7s %-9s identical %s | ours %d\n", label.c_str(), f[0].c_str(), f[1].c_str(), f[2].c_str(),
                identical[f[0]]);
    EXPECT_GE(identical[f[0]], std::stoi(f[2])) << f[0] << " against " << f[1];
  }
}

}  // namespace rawcheck
