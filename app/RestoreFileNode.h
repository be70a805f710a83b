// The nodes of a loaded scan result: every file and folder record of the
// file (ScanResultRecords.h) comes back as a RestoreFileNode, an ordinary
// found-file node for the rest of the application (shown, ticked, previewed
// and copied out like the nodes a scan finds), and the root of each tree as
// a RestoreSystemNode, which only the replay looks at.
//
// Compressed files: an NTFS one gets the engine's NTFS reader; an HFS+ one
// reads through the HFS+ volume that the replay reopened for its own volume
// (its partition record) on the device the result was loaded on. The nodes
// of a volume share it and keep it open for as long as any of them lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FileNode.h"
#include "copyout/CDataRecovery.h"

class CSearchedPartitionInfo;

class CHFSPlusVolume;
class IProgress;
class IRSData;
class IStorageDevice;

namespace SaveRestoreResult {

class RecordReader;
struct DeviceExtent;
enum class RecordVerdict;

// An HFS+ volume reopened for the compressed files of one restored tree.
class ReopenedHFSPlusVolume {
 public:
  // The volume starting at `startSector` of `device` (read through a window
  // when that is not 0), opened without its catalog, with the records of
  // deleted files its journal keeps; null when there is none. `stop` (may be
  // null) ends the journal's sweep early.
  static std::shared_ptr<ReopenedHFSPlusVolume> Open(IStorageDevice* device, int64_t startSector,
                                                     IProgress* stop = nullptr);
  ~ReopenedHFSPlusVolume();
  ReopenedHFSPlusVolume(const ReopenedHFSPlusVolume&) = delete;
  ReopenedHFSPlusVolume& operator=(const ReopenedHFSPlusVolume&) = delete;

  CHFSPlusVolume* Volume() const { return m_volume.get(); }
  // Where the volume starts, in the device's sectors.
  int64_t StartSector() const { return m_start; }

 private:
  ReopenedHFSPlusVolume() = default;
  int64_t m_start = 0;
  IStorageDevice* m_window = nullptr;  // owned; null when the volume starts at sector 0
  std::unique_ptr<CHFSPlusVolume> m_volume;
};

// Copy-out reads a node through the partition record it was judged against
// (IJudgedPartitionNode), which it keeps.
class RestoreFileNode : public CFileNode, public IJudgedPartitionNode {
 public:
  // Node and parent IDs 0, no run list, no name.
  RestoreFileNode();
  ~RestoreFileNode() override;
  RestoreFileNode& operator=(const RestoreFileNode&) = delete;

  const char* GetFileName() override;
  uint64_t GetFileSize() override;
  uint32_t GetAttribute() override;
  uint64_t GetCreationTime() override;
  uint64_t GetModificationTime() override;
  uint64_t GetLastAccessTime() override;
  int IsDirectory() override;
  int IsDeleted() override;
  // The same properties, state and HFS+ volume, with a copy of the runs.
  IFileNode* Clone() override;
  void MarkDeleted() override;
  // Null for a node outside any tree. Otherwise by the searcher of its tree:
  // the HFS+ reader over the tree's reopened volume (opened; null when the
  // file cannot be decoded), a new NTFS reader (opened by copy-out), or null.
  IFileReader* CreateCompressFileReader(void* privateData) override;
  // Names stay as they were saved.
  void FilterFileNameByDot() override;

  // Reads one file record into `node`, or into a new node when it is null
  // (the caller owns it). Every node comes back shown: a name search that
  // hid some when the result was saved is not part of the result. Throws
  // CRecordDamage (a new node is released first) or the archive's
  // CRSException.
  // A record whose flags are out of their range (a kind that is neither
  // file nor folder, a deleted or resident flag of 7) comes back all the
  // same, whole, with HasImpossibleFields: the records after it are still
  // in their places.
  static RestoreFileNode* ReadFileNode(RecordReader& reader, RestoreFileNode* node);
  bool HasImpossibleFields() const { return m_impossible; }
  // A time no clock shows was read (and dropped: the time is 0).
  bool DroppedATime() const { return m_timeDropped; }

  // Judges the record against the device it was loaded on, through
  // `partition` (where its runs count their clusters from, in the record's
  // sectors, and the record sector of a resident list counts in the same
  // sectors from the device's start; null when its tree has none), which
  // the node keeps to be read through: impossible fields, or runs or a
  // resident list that nothing places, leave it out; runs the device cannot
  // hold are left out from the first such one on, a size above what the
  // runs hold is cut to it (the node is then marked size-damaged), and so is
  // a time no clock shows. Folders are not judged by size. `decodedSize`:
  // the size is that of decompressed data, which its runs do not bound; it
  // is bounded by the device.
  RecordVerdict Judge(std::shared_ptr<const CSearchedPartitionInfo> partition, const DeviceExtent& device,
                      bool decodedSize);
  // The record of the last Judge (null before one).
  const CSearchedPartitionInfo* GetJudgedPartition() const override { return m_judgedBy.get(); }
  // Write one file record of `node`, or the system record of a tree's root,
  // into the archive's open frame; 1, or 0 when the archive did not take it
  // (its own failures throw CRSException).
  static int WriteFileNode(CFileNode* node, IRSData* archive);
  static int WriteSystemNode(IFilesystemNode* root, IRSData* archive);

  void SetHFSPlusVolume(std::shared_ptr<ReopenedHFSPlusVolume> volume) { m_hfsVolume = std::move(volume); }
  const std::shared_ptr<ReopenedHFSPlusVolume>& GetHFSPlusVolume() const { return m_hfsVolume; }

 protected:
  RestoreFileNode(const RestoreFileNode& other);

 private:
  std::string m_name;
  uint64_t m_size = 0;
  uint16_t m_attribute = 0;
  uint64_t m_creationTime = 0;
  uint64_t m_modificationTime = 0;
  uint64_t m_lastAccessTime = 0;
  uint32_t m_directory = 0;
  uint32_t m_deleted = 0;
  bool m_impossible = false;
  bool m_timeDropped = false;
  std::shared_ptr<ReopenedHFSPlusVolume> m_hfsVolume;
  std::shared_ptr<const CSearchedPartitionInfo> m_judgedBy;
};

// The root record of one saved tree.
class RestoreSystemNode : public RestoreFileNode {
 public:
  RestoreSystemNode() = default;

  _tagSearcherType GetSearcheType() const override;
  const char* GetVolumeName() const override;

  // Reads one system record into a new node (the caller owns it). Throws as
  // ReadFileNode does; a searcher type outside 31 to 35 is damage.
  static RestoreSystemNode* ReadSystemNode(RecordReader& reader);

 private:
  _tagSearcherType m_searcherType = SEARCHER_TYPE_NONE;
  std::string m_volumeName;
};

}  // namespace SaveRestoreResult
