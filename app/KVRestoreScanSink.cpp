#include "app/KVRestoreScanSink.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <set>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "app/RestoreFileNode.h"
#include "app/SaveRestoreProgress.h"
#include "app/ScanResultRecords.h"
#include "app/ScanResultReplayOrder.h"
#include "archive/RSData.h"
#include "base/CatchExeception.h"

namespace SaveRestoreResult {

namespace {

using HFSPlusVolumes = std::map<uint16_t, std::shared_ptr<ReopenedHFSPlusVolume>>;

// The volumes reopened on a device by their start sector.
using HFSPlusVolumesByStart = std::map<int64_t, std::shared_ptr<ReopenedHFSPlusVolume>>;

// One volume per partition record of an HFS+ tree (a complete scan finds
// several volumes and keeps them in one tree), each reopened where its
// record places it on `device`, by the record's partition index. Records
// that place theirs at one start share one volume, kept in `byStart` for
// the trees of the whole replay: however many records and trees a file
// holds, each volume on the device is opened (and its journal swept) once.
HFSPlusVolumes ReopenHFSPlusVolumes(IStorageDevice* device,
                                    const std::vector<std::unique_ptr<CSearchedPartitionInfo>>& partitions,
                                    IProgress* progress, HFSPlusVolumesByStart& byStart) {
  HFSPlusVolumes volumes;
  const uint64_t deviceSector = device != nullptr ? device->GetSectorSize() : 0;
  if (deviceSector == 0) return volumes;
  for (const auto& partition : partitions) {
    const uint16_t index = partition->GetPartitionIndex();
    if (volumes.count(index) != 0 || partition->GetStartSector() < 0) continue;
    // Records of volumes whose blocks are smaller than the device's sectors
    // count in 512-byte units.
    const unsigned __int128 bytes =
        static_cast<unsigned __int128>(partition->GetStartSector()) * partition->GetSectorSize();
    if (bytes % deviceSector != 0 || bytes / deviceSector > static_cast<unsigned __int128>(INT64_MAX)) continue;
    const auto start = static_cast<int64_t>(bytes / deviceSector);
    const auto [at, first] = byStart.try_emplace(start);
    if (first) at->second = ReopenedHFSPlusVolume::Open(device, start, progress);
    volumes[index] = at->second;
  }
  return volumes;
}

// The volume a node's records are read through: the one of its partition
// index, or the tree's only one (as copy-out reads a tree of one partition
// whatever index its nodes carry). None when the index names no volume: no
// reader is better than one of another volume.
std::shared_ptr<ReopenedHFSPlusVolume> VolumeOf(const HFSPlusVolumes& volumes, uint16_t index) {
  const auto it = volumes.find(index);
  if (it != volumes.end()) return it->second;
  return volumes.size() == 1 ? volumes.begin()->second : nullptr;
}

// Hands a tree's records to the builder in the order that keeps every
// folder's children as saved. A node the builder refuses stays ours and goes
// (the tree's "Other lost files" folder, saved among its nodes, is one).
void AddInSavedOrder(IDirecotryTreeBuilder* builder, _tagSearcherType type, int64_t rootID,
                     std::vector<std::unique_ptr<RestoreFileNode>>& nodes, std::vector<SavedRecordKey>& keys,
                     const std::function<void()>& step) {
  std::vector<uint32_t> order;
  try {
    if (keys.size() == nodes.size()) order = ReplayOrder(keys, rootID);
  } catch (const std::bad_alloc&) {
    // Without the memory to find the order, the file's own still gives the
    // whole tree.
    order.clear();
  }
  if (order.size() != nodes.size()) {
    order.resize(nodes.size());
    for (uint32_t at = 0; at < order.size(); ++at) order[at] = at;
  }
  for (const uint32_t at : order) {
    std::unique_ptr<RestoreFileNode> node = std::move(nodes[at]);
    if (builder->AddNode(node.get(), type) != 0) node.release();
    step();
  }
  nodes.clear();
  keys.clear();
}

}  // namespace

KVRestoreScanSink::KVRestoreScanSink(IRSData* archive, Describer describe, SaveRestoreProgress* progress,
                                     std::function<void()> onDamage)
    : m_archive(archive), m_describe(std::move(describe)), m_progress(progress), m_onDamage(std::move(onDamage)) {}

KVRestoreScanSink::~KVRestoreScanSink() { ClearMapCell(); }

void KVRestoreScanSink::DetachArchive() {
  m_archive = nullptr;
  m_progress = nullptr;
  m_onDamage = nullptr;
  // What they saw of the device list is let go with them.
  m_describe = nullptr;
  m_locate = nullptr;
}

int KVRestoreScanSink::ClearMapCell() {
  for (auto& [type, list] : m_partitions) {
    for (CSearchedPartitionInfo* partition : list) delete partition;
  }
  m_partitions.clear();
  return 0;
}

std::vector<CSearchedPartitionInfo*>& KVRestoreScanSink::GetSearchedPartition(int searcherType) {
  return m_partitions[searcherType];
}

void KVRestoreScanSink::Step() {
  if (m_progress != nullptr) m_progress->IncProgress(false, false);
}

void KVRestoreScanSink::Damaged(const std::string& what) {
  CatchExeception::WriteLog("%s: the saved scan result is damaged (%s)\r\n", "RestoreScanSink", what.c_str());
  if (m_damage.empty()) {
    m_damage = what;
    if (!m_announced && m_onDamage) m_onDamage();
    m_announced = true;
  }
}

void KVRestoreScanSink::Judged(RecordVerdict verdict) {
  if (verdict == RecordVerdict::kSound) return;
  ++(verdict == RecordVerdict::kLeftOut ? m_counts.leftOut : m_counts.cut);
  if (m_announced) return;
  CatchExeception::WriteLog("%s: the saved scan result is damaged (%s)\r\n", "RestoreScanSink",
                            verdict == RecordVerdict::kLeftOut ? "a record left out" : "a record cut");
  m_announced = true;
  if (m_onDamage) m_onDamage();
}

void KVRestoreScanSink::SkipTree(RecordReader& reader, uint64_t index) {
  if (index >= m_sections.size()) throw CRecordDamage{"tree without check value"};
  uint8_t scrap[4096];
  for (uint64_t left = m_sections[index].bytes; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof scrap));
    reader.Read(scrap, n, "tree section");
    left -= n;
  }
  if (!m_skipped.insert(index).second) return;
  m_counts.leftOut += m_sections[index].records;
  CatchExeception::WriteLog("%s: the saved scan result is damaged (tree %llu fails its check)\r\n", "RestoreScanSink",
                            static_cast<unsigned long long>(index));
  if (m_announced) return;
  m_announced = true;
  if (m_onDamage) m_onDamage();
}

void KVRestoreScanSink::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress,
                                                IStorageDevice* device) {
  if (builder == nullptr || progress == nullptr || m_archive == nullptr || !m_describe) return;
  // A file found damaged once is not read again for the next volume.
  if (IsDamaged()) return;
  const DeviceView view = m_describe(device);
  if (!view.replay) return;
  const VolumeSeen seen = m_locate && !view.everyRoot ? m_locate(device) : VolumeSeen{};
  const uint32_t pass = view.everyRoot ? 0 : m_passesByName[{view.volumeName, seen.searcherType}]++;
  try {
    Replay(builder, progress, device, view, seen, pass);
  } catch (const CRecordDamage& damage) {
    Damaged(damage.what);
  } catch (const CRSException& failure) {
    m_frameMissing = failure.GetErrorcode() == RSErrorFrameNotFound;
    Damaged(m_frameMissing ? "no trees frame" : "file ends early");
  } catch (const std::bad_alloc&) {
    Damaged("out of memory");
  }
  try {
    m_archive->CloseFrame();
  } catch (const CRSException&) {
  }
}

void KVRestoreScanSink::Replay(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device,
                               const DeviceView& view, const VolumeSeen& seen, uint32_t pass) {
  m_archive->OpenFrame(_frFileSystemNode);
  // Copy-out objects of earlier replays hold copies of their records.
  ClearMapCell();
  RecordReader reader(m_archive);
  // Damage inside the frame leaves the rest of it unread.
  try {
    ReplayRoots(reader, builder, progress, device, view, seen, pass);
  } catch (...) {
    m_counts.unreadBytes += reader.Left();
    throw;
  }
}

void KVRestoreScanSink::ReplayRoots(RecordReader& reader, IDirecotryTreeBuilder* builder, IProgress* progress,
                                    IStorageDevice* device, const DeviceView& view, const VolumeSeen& seen,
                                    uint32_t pass) {
  const DeviceExtent extent = ExtentOf(device);
  const uint64_t roots = reader.U64("root count");
  if (m_hasPlaces && roots != m_places.size()) throw CRecordDamage{"placement count"};
  Step();
  std::map<std::pair<std::string, int>, uint32_t> occurrences;
  HFSPlusVolumesByStart reopened;
  bool stopped = false;
  uint64_t i = 0;
  for (; i < roots && !stopped && progress->Continued() != 0; ++i) {
    if (m_checked && (i >= m_sound.size() || !m_sound[i])) {
      SkipTree(reader, i);
      continue;
    }
    const uint64_t sectionStart = reader.Left();
    if (reader.U32("section tag") != kSectionTag) throw CRecordDamage{"section tag"};
    std::unique_ptr<RestoreSystemNode> root(RestoreSystemNode::ReadSystemNode(reader));
    const _tagSearcherType type = root->GetSearcheType();
    const std::string volume = root->GetVolumeName();
    const int64_t rootID = root->GetCurrentNodeID();
    const uint32_t occurrence = occurrences[{volume, static_cast<int>(type)}]++;
    bool mine = view.everyRoot;
    if (!mine && m_hasPlaces && m_places[i].start >= 0) {
      mine = m_places[i] == seen.place;
    } else if (!mine) {
      mine = volume == view.volumeName && occurrence == pass &&
             (seen.searcherType < 0 || seen.searcherType == static_cast<int>(type));
    }
    if (mine && root->DroppedATime()) Judged(RecordVerdict::kCut);

    const uint32_t count = reader.U32("partition count");
    if (count > kMaxPartitions || uint64_t{count} * kPartitionEntryBytes > reader.Left()) {
      throw CRecordDamage{"partition count"};
    }
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> partitions;
    std::set<uint16_t> unplaced;  // indexes of partition records that place nothing here
    for (uint32_t p = 0; p < count; ++p) {
      std::unique_ptr<CSearchedPartitionInfo> partition = DecodePartitionEntry(reader);
      if (mine && !PartitionFits(*partition, extent)) {
        unplaced.insert(partition->GetPartitionIndex());
        Judged(RecordVerdict::kLeftOut);
        continue;
      }
      partitions.push_back(std::move(partition));
    }

    // Where each node's runs count from: the tree's record of its partition
    // index, else the tree's first one; none for the index of a record left
    // out. Each node keeps its copy, and copy-out reads it through that one
    // (another tree of the searcher may have a record of the same index):
    // the records themselves go to the partition lists below.
    std::vector<std::shared_ptr<const CSearchedPartitionInfo>> judgedBy;
    std::map<uint16_t, size_t> byIndex;
    if (mine) {
      judgedBy.reserve(partitions.size());
      for (const auto& partition : partitions) {
        byIndex.try_emplace(partition->GetPartitionIndex(), judgedBy.size());
        judgedBy.push_back(std::make_shared<const CSearchedPartitionInfo>(*partition));
      }
    }
    const auto partitionOf = [&](uint16_t index) -> std::shared_ptr<const CSearchedPartitionInfo> {
      if (unplaced.count(index) != 0 || judgedBy.empty()) return nullptr;
      const auto at = byIndex.find(index);
      return judgedBy[at != byIndex.end() ? at->second : 0];
    };

    HFSPlusVolumes hfs;
    if (mine) {
      builder->AddSearcherInfo(type, rootID);
      ++m_replayedRoots;
      Step();
      // Each HFS+ node reads its compressed files through its own volume,
      // where its partition record says the volume starts on this device.
      if (type == SEARCHER_TYPE_HFSPLUS) hfs = ReopenHFSPlusVolumes(device, partitions, progress, reopened);
      std::vector<CSearchedPartitionInfo*>& list = m_partitions[type];
      for (auto& partition : partitions) {
        list.push_back(partition.get());
        partition.release();
      }
    }
    root.reset();

    // The tree's records are all read before the builder gets them, in the
    // order that gives every folder its children as saved (see
    // ScanResultReplayOrder.h); damage or a stop hands over what was read.
    std::vector<std::unique_ptr<RestoreFileNode>> nodes;
    std::vector<SavedRecordKey> keys;
    const auto build = [&]() {
      if (!mine) return;
      AddInSavedOrder(builder, type, rootID, nodes, keys, [this] { Step(); });
      builder->FlashBuild(type);
    };
    try {
      for (;;) {
        const uint32_t tag = reader.U32("entry tag");
        if (tag == kEndMarker) break;
        if (tag != kFileEntryTag) throw CRecordDamage{"entry tag"};
        if (progress->Continued() == 0) {
          stopped = true;
          break;
        }
        std::unique_ptr<RestoreFileNode> node(RestoreFileNode::ReadFileNode(reader, nullptr));
        if (mine) {
          const RecordVerdict verdict = node->Judge(partitionOf(node->GetBelongedPartition()), extent,
                                                    type == SEARCHER_TYPE_HFSPLUS && node->IsCompressed() != 0);
          Judged(verdict);
          if (verdict == RecordVerdict::kLeftOut) node.reset();
        }
        if (node != nullptr && mine) {
          if (!hfs.empty()) node->SetHFSPlusVolume(VolumeOf(hfs, node->GetBelongedPartition()));
          // An HFS+ file compressed inline has an empty resource fork, which
          // a record cannot tell from none: copy-out takes the compressed
          // way only with a run list, as the scanned file had.
          if (type == SEARCHER_TYPE_HFSPLUS && node->IsCompressed() != 0 && node->GetDataRunList() == nullptr) {
            node->SetDataRunList(new CDataRunList(0));
          }
          // What the order needs is taken while the node is at hand.
          keys.push_back({node->GetCurrentNodeID(), node->GetParentNodeID(), node->GetBelongedPartition(),
                          node->IsDirectory() != 0});
          nodes.push_back(std::move(node));
        }
        Step();
      }
    } catch (...) {
      build();
      throw;
    }
    build();
    // A section that passed its check ends where its saved length says.
    if (m_checked && !stopped && sectionStart - reader.Left() != m_sections[i].bytes) {
      throw CRecordDamage{"tree length"};
    }
  }
  if (i < roots || stopped) m_stopped = true;
  // Bytes past the last tree the count announces: the count is damaged (a
  // count of 0 would otherwise hide every tree without a word).
  if (i == roots && !stopped && reader.Left() != 0) throw CRecordDamage{"bytes after the last tree"};
}

}  // namespace SaveRestoreResult
