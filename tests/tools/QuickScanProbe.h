// A quick scan of an image file or block device run the way the application
// runs one: a volume device with the record device enumeration would give it
// (file-system type from the volume analyzers), the deleted-file recovery
// controller, an IDrirectoryTree that keeps every node it is shown, and
// copy-out through the controller's IDataRecovery. Used by the tests and by
// the quickscan_probe program, whose listing people can put beside the
// peers' (fls -r -p).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DirectoryTree.h"
#include "Progress.h"
#include "ResultCode.h"

class IDataRecovery;
class IFileNode;
class IFilesystemNode;
class IQuickFileSystemSearchController;
class IRecoveryController;
class IStorageDevice;

namespace quickprobe {

// The folder the tree builder puts nodes in whose folder was not found.
inline constexpr const char* kLostFolder = "Other lost files";

struct Node {
  IFileNode* node = nullptr;  // owned by the scan's tree builder
  std::string path;           // from the root, "/"-separated (lost nodes under kLostFolder)
  int64_t id = -1;
  int64_t parent = -1;
  bool folder = false;
  bool deleted = false;
  bool lost = false;  // shown in a batch of lost nodes
  uint64_t size = 0;
  uint32_t attribute = 0;
};

// The searcher type of the tree `node` is shown in (its root's), or
// SEARCHER_TYPE_NONE when the node is in no tree.
int TreeSearcherType(IFileNode* node);

// "d|f", "deleted|live", node ID, parent ID, size, attribute (hex), path;
// tab-separated.
std::string Line(const Node& node);

class QuickScan : private IDrirectoryTree, private IProgress {
 public:
  struct Options {
    // The device's sector size; 0 keeps the device's own (512 for images).
    uint32_t sectorSize = 0;
    // Keep the tree builder's pause before a tree's first batch.
    bool pause = false;
    // Make the file-system type unknown instead of asking the analyzers.
    bool skipAnalyzers = false;
    // The file-system type the volume record says, whatever the analyzers
    // find (as enumerated before the volume was damaged); -1 asks them.
    int fileSystemType = -1;
    // Scan the volume that starts this many bytes into the device (a
    // partition window on it, as for a partition of a disk image).
    uint64_t offset = 0;
    // A complete scan (every sector) instead of the quick one.
    bool complete = false;
    // Opens the device in place of the path's (a medium that fails on
    // chosen sectors); the scan owns what it answers.
    std::function<IStorageDevice*()> open;
  };

  explicit QuickScan(std::filesystem::path device, Options options);
  explicit QuickScan(std::filesystem::path device) : QuickScan(std::move(device), Options()) {}
  ~QuickScan() override;
  QuickScan(const QuickScan&) = delete;
  QuickScan& operator=(const QuickScan&) = delete;

  // Opens the device and runs the scan; false when the device cannot be
  // opened or the controller cannot be made.
  bool Run();

  // The file-system type the analyzers gave the volume record.
  int fileSystemType() const { return fileSystemType_; }
  // What StartDataRecovery answered, and what the searcher's QuickSearchFiles
  // answered (kNoAnswer when it was not called).
  static constexpr ResultCode kNoAnswer = ~ResultCode{0};
  ResultCode controllerAnswer() const { return controllerAnswer_; }
  ResultCode searcherAnswer() const { return searcherAnswer_; }
  // The searcher the controller made (owned by the controller), or null.
  IQuickFileSystemSearchController* searcher() const { return searcher_; }
  IStorageDevice* device() const { return device_; }

  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<IFilesystemNode*>& roots() const { return roots_; }
  const std::vector<_PROGRESS_INFO>& progress() const { return progress_; }
  // The node shown at `path`, or null.
  const Node* Find(const std::string& path) const;

  // The copy-out object of the searcher whose tree the node is in (null
  // when nothing was found); owned by the scan.
  IDataRecovery* Recovery(IFileNode* node);
  // Copies a file out through the controller's copy-out object; an empty
  // file is made for files of size 0. Answers RecoverTo's code.
  ResultCode CopyOut(const Node& node, const std::filesystem::path& to);
  // The file's bytes through the reader SetRecoverNode hands out, in reads
  // of `piece` bytes (odd sizes cross sector and cluster ends); `ok` is
  // false when no reader was made or a read failed.
  std::vector<uint8_t> Read(const Node& node, bool* ok, unsigned piece = 1u << 20);

 private:
  class RecordingSearcher;

  int ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) override;
  int ShowFilesystemNode(IFilesystemNode* root) override;
  int UpdateProgress(_PROGRESS_INFO* info) override;
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }

  std::filesystem::path path_;
  Options options_;
  IStorageDevice* disk_ = nullptr;  // the device under a window, or null
  IStorageDevice* device_ = nullptr;
  IRecoveryController* controller_ = nullptr;
  std::map<int, IDataRecovery*> recoveries_;  // one copy-out object per searcher type
  IQuickFileSystemSearchController* searcher_ = nullptr;
  int fileSystemType_ = 9;
  ResultCode controllerAnswer_ = kNoAnswer;
  ResultCode searcherAnswer_ = kNoAnswer;
  std::vector<IFilesystemNode*> roots_;
  std::vector<std::pair<IFileNode*, bool>> shown_;
  std::vector<Node> nodes_;
  std::vector<_PROGRESS_INFO> progress_;
};

}  // namespace quickprobe
