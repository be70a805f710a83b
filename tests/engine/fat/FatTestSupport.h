// FAT test support: the images of tests/fixtures/fat (built once into the
// build tree), their expect.tsv lines, a volume device over a window of an
// image file, and a quick scan run the way the deleted-file driver runs it,
// with copy-out through the engine's copy-out object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DirectoryTree.h"
#include "Progress.h"
#include "ResultCode.h"

class CDataRecovery;
class CDirectoryTreeBuilder;
class IFileNode;
class IRecoveryFilter;
class IStorageDevice;
class IQuickFileSystemSearchController;

namespace fattest {

std::filesystem::path FixtureDir();
// Empty when the images are there, else why not (tests skip on it).
std::string EnsureFixtures();

struct Expected {
  bool folder = false;
  bool deleted = false;
  int64_t size = -1;   // -1 for folders
  int64_t mtime = -1;  // Unix seconds, -1 unknown
  std::string sha256;  // of the original, "-" none
  std::string peerSha256;
  std::string path;
};
std::vector<Expected> ReadExpect(const std::filesystem::path& tsv);

// A read-only volume over `count` sectors from `start` of an image file,
// carrying a volume record of `fileSystemType`.
IStorageDevice* OpenVolume(const std::filesystem::path& image, int64_t start, int64_t count, int fileSystemType);

struct Found {
  IFileNode* node = nullptr;
  std::string path;
  bool folder = false;
  bool deleted = false;
  uint64_t size = 0;
  int64_t mtime = 0;
};

class QuickScan : private IDrirectoryTree, private IProgress {
 public:
  // Scans `device` (owned from here on) with the FAT quick searcher.
  explicit QuickScan(IStorageDevice* device);
  ~QuickScan() override;

  ResultCode answer() const { return answer_; }
  const std::vector<Found>& found() const { return found_; }
  const std::vector<_PROGRESS_INFO>& progress() const { return progress_; }
  const Found* Find(const std::string& path) const;
  // The file's sha256 through copy-out; "" when it could not be copied.
  std::string CopySha256(const Found& node, const std::filesystem::path& scratch);

 private:
  int ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) override;
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  int UpdateProgress(_PROGRESS_INFO* info) override;
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }

  IStorageDevice* device_;
  IRecoveryFilter* filter_ = nullptr;
  CDirectoryTreeBuilder* builder_ = nullptr;
  IQuickFileSystemSearchController* searcher_ = nullptr;
  std::unique_ptr<CDataRecovery> recovery_;
  ResultCode answer_ = 0;
  std::vector<IFileNode*> shown_;
  std::vector<Found> found_;
  std::vector<_PROGRESS_INFO> progress_;
};

}  // namespace fattest
