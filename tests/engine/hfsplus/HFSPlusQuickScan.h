// Running the HFS+ quick searcher in tests: its nodes by path, copy-out
// through the copy-out object, and the expectation files that
// tests/fixtures/hfsplus/make-hfsplus-images.sh writes into the build tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileSystemSearchController.h"
#include "StorageDevice.h"
#include "support/KeepingTreeBuilder.h"

class CFileNode;

namespace hfsquick {

// The fixture folder (made once per version of the script), or empty with
// the reason.
std::filesystem::path Fixtures(std::string* why);
std::string Nfc(const std::string& utf8);

struct Expected {
  bool folder = false;
  bool deleted = false;
  int64_t size = -1;
  std::string sha256;
  std::string path;
};
std::vector<Expected> ReadExpect(const std::filesystem::path& tsv);

// The fixture folder the conformance rows read (CLIPMENDER_HFSPLUS_FIXTURES,
// else the build tree's), made when needed; `why` says why it is not ready.
std::filesystem::path RowFixtures(std::string* why);

// Writes to `out` the lines of `expect` and, from the peer's listing `fls`
// (fls -r -p), one line for each file of the hidden private-data folder
// (the targets of hard links), which the tree shows under its lost-file
// folder.
void WriteExpectWithHiddenFiles(const std::filesystem::path& expect, const std::filesystem::path& fls,
                                const std::filesystem::path& out);

struct Shown {
  CFileNode* node;
  std::string path;  // NFC, '/'-separated, from the root folder
};

struct Scan {
  explicit Scan(IStorageDevice* device);
  ~Scan();
  const Shown* Find(const std::string& path, bool deleted) const;
  // Copies the node out to `to` through copy-out and answers its bytes (none
  // when copy-out fails).
  std::optional<std::vector<uint8_t>> CopyOut(CFileNode* node, const std::filesystem::path& to);

  IStorageDevice* device;
  std::unique_ptr<IQuickFileSystemSearchController> searcher;
  testsupport::KeepingTreeBuilder builder;
  ResultCode result = 0;
  std::multimap<std::string, Shown> live;
  std::multimap<std::string, Shown> deleted;
};

}  // namespace hfsquick
