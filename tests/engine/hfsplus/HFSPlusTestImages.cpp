#include "HFSPlusTestImages.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "support/KeepingTreeBuilder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace hfstest {

const std::vector<SampleImage>& Samples() {
  static const std::vector<SampleImage> samples = {
      {"lx-hfsplus", 0},        {"lx-hfsplus-j", 0},  {"lx-hfsx-j", 0},    {"lx-gpt-hfsx", 2048},
      {"hdi-hfsp", 40},         {"hdi-hfsp-j", 40},   {"hdi-hfsp-c", 40},  {"hdi-hfsp-j-c", 40},
      {"keramics-hfsplus", 40}, {"dfvfs-hfsplus", 0}, {"nps-hfsjtest1", 0}};
  return samples;
}

std::string TestName(const char* sample) {
  std::string name = sample;
  for (auto& ch : name) ch = ch == '-' ? '_' : ch;
  return name;
}

fs::path Unpacked(const std::string& name, std::string* why) {
  const fs::path shared = testsupport::SharedFixturesDir();
  if (shared.empty()) {
    if (why) *why = "shared fixtures (../shared/fixtures beside the checkout) are absent";
    return {};
  }
  const fs::path gz = shared / "hfsplus" / (name + ".img.gz");
  if (!fs::exists(gz)) {
    if (why) *why = "sample missing: " + gz.string();
    return {};
  }
  const fs::path dir = fs::path(CLIPMENDER_HFSPLUS_WORK_DIR);
  fs::create_directories(dir);
  const fs::path image = dir / (name + ".img");
  if (!fs::exists(image)) {
    const fs::path part = dir / (name + ".img.part" + std::to_string(::getpid()));
    testsupport::RunCommandOrFail("gzip -dc " + testsupport::ShellQuote(gz.string()) + " > " +
                                  testsupport::ShellQuote(part.string()));
    fs::rename(part, image);
  }
  return image;
}

OpenImage::~OpenImage() {
  volume.reset();
  if (volumeDevice != nullptr && volumeDevice != disk) volumeDevice->Release();
  if (disk != nullptr) {
    disk->Close();
    disk->Release();
  }
}

std::unique_ptr<OpenImage> Open(const fs::path& image, int64_t startSector) {
  auto out = std::make_unique<OpenImage>();
  out->disk = CreateDiskDevice(image.c_str());
  if (out->disk == nullptr || out->disk->Open() == 0) return out;
  out->volumeDevice = out->disk;
  if (startSector != 0) {
    out->volumeDevice = CreatePartitionDevice(out->disk, startSector, out->disk->GetTotalSectors() - startSector);
    if (out->volumeDevice == nullptr || out->volumeDevice->Open() == 0) return out;
  }
  out->volume = std::make_unique<CHFSPlusVolume>(out->volumeDevice, false);
  return out;
}

Catalog::~Catalog() {
  for (auto* node : owned_) node->Release();
}

ResultCode Catalog::Walk(CHFSPlusVolume* volume) {
  testsupport::KeepingTreeBuilder builder;
  CHFSPlusQuickFileSystemSearchProgress progress;
  const ResultCode code = volume->Traverse(hfsplus::kCatalogFileID, &builder, &progress);
  for (IFileNode* node : builder.nodes) owned_.push_back(static_cast<CHFSPlusFileNode*>(node));
  builder.nodes.clear();
  for (auto* node : owned_) byID_[node->GetCurrentNodeID()] = Found{node, {}};
  for (auto& [id, found] : byID_) {
    if (id == hfsplus::kRootFolderID) continue;
    std::string path = found.node->GetFileName();
    int64_t parent = found.node->GetParentNodeID();
    for (int depth = 0; parent != hfsplus::kRootFolderID; ++depth) {
      auto it = byID_.find(parent);
      if (it == byID_.end() || depth > 64) {
        path = "?/" + path;
        break;
      }
      path = std::string(it->second.node->GetFileName()) + "/" + path;
      parent = it->second.node->GetParentNodeID();
    }
    found.path = path;
    byPath_[path] = id;
  }
  return code;
}

const Found* Catalog::FindPath(const std::string& path) const {
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : &byID_.at(it->second);
}

std::vector<std::pair<int64_t, int64_t>> Runs(CHFSPlusFileNode* node) {
  std::vector<std::pair<int64_t, int64_t>> out;
  IDataRunList* list = node->GetDataRunList();
  if (list == nullptr) return out;
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
    out.emplace_back(run->start, run->length);
  return out;
}

std::vector<uint8_t> ReadContent(CHFSPlusVolume* volume, CHFSPlusFileNode* node) {
  std::vector<uint8_t> out;
  const uint64_t blockSize = volume->GetBlockSize();
  for (const auto& [start, length] : Runs(node)) {
    const size_t at = out.size();
    out.resize(at + length * blockSize);
    if (volume->Read(start * blockSize, out.data() + at, length * blockSize) != length * blockSize) break;
    if (out.size() >= node->GetFileSize()) break;
  }
  if (out.size() > node->GetFileSize()) out.resize(node->GetFileSize());
  return out;
}

std::string Md5(const std::vector<uint8_t>& bytes) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "content", bytes.data(), bytes.size());
  const std::string out =
      testsupport::RunCommand("md5sum " + testsupport::ShellQuote((dir / "content").string())).output;
  return out.substr(0, out.find(' '));
}

std::vector<ManifestRow> ReadManifest(const fs::path& tsv) {
  std::vector<ManifestRow> rows;
  std::ifstream in(tsv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 4) continue;
    rows.push_back({cols[0], std::stoull(cols[1]), cols[2], cols[3], cols.size() > 4 ? cols[4] : ""});
  }
  return rows;
}

}  // namespace hfstest
