// The shared HFS+ sample images (../shared/fixtures/hfsplus), unpacked once
// into the build tree, opened as volumes and walked through their catalogs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "StorageDevice.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusVolume.h"

namespace hfstest {

struct SampleImage {
  const char* name;     // file name without ".img.gz"
  int64_t startSector;  // the HFS+ volume's first 512-byte sector
};
// Every sample, with where SOURCES.md says its volume starts.
const std::vector<SampleImage>& Samples();
// A sample's name as a test name ('-' becomes '_').
std::string TestName(const char* sample);

// The unpacked image, or empty (with the reason in *why) when the shared
// fixtures are absent.
std::filesystem::path Unpacked(const std::string& name, std::string* why);

// A device on the image (a window when the volume does not start at 0).
struct OpenImage {
  IStorageDevice* disk = nullptr;
  IStorageDevice* volumeDevice = nullptr;
  std::unique_ptr<CHFSPlusVolume> volume;
  ~OpenImage();
};
std::unique_ptr<OpenImage> Open(const std::filesystem::path& image, int64_t startSector);

// Every node the catalog walk hands on, by node ID, with its path.
struct Found {
  CHFSPlusFileNode* node;
  std::string path;  // from the root folder, '/'-separated
};
class Catalog {
 public:
  ~Catalog();
  ResultCode Walk(CHFSPlusVolume* volume);
  std::map<int64_t, Found>& byID() { return byID_; }
  const Found* FindPath(const std::string& path) const;

 private:
  std::vector<CHFSPlusFileNode*> owned_;
  std::map<int64_t, Found> byID_;
  std::map<std::string, int64_t> byPath_;
};

// The node's content: its runs read through the volume, cut to its size.
std::vector<uint8_t> ReadContent(CHFSPlusVolume* volume, CHFSPlusFileNode* node);
// (run start, run length) pairs in allocation blocks.
std::vector<std::pair<int64_t, int64_t>> Runs(CHFSPlusFileNode* node);
std::string Md5(const std::vector<uint8_t>& bytes);

struct ManifestRow {
  std::string path;
  uint64_t size;
  std::string md5;
  std::string state;
  std::string note;
};
std::vector<ManifestRow> ReadManifest(const std::filesystem::path& tsv);

}  // namespace hfstest
