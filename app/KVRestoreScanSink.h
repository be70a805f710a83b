// The replay of a loaded scan result. The load hands it to the recovery
// controller that stands in for the scan; the controller asks it to fill its
// tree builder instead of reading the device, and later for the saved
// partition records whenever it makes a copy-out object.
//
// Which trees a replay gives: all of them on a whole disk; on a volume those
// the file places on that volume (where it starts on the loaded device, and
// its size). Files without places (made before they were kept) match by
// name: a volume takes the trees whose volume name is the volume's, and when
// several volumes of one disk carry the same name (unnamed partitions all
// show as "Disk"), the k-th replay on a volume of that name and searcher
// takes the k-th tree of that name and searcher, so the trees keep the order
// they were scanned in and none is shown twice or on another volume.
//
// A damaged nodes frame ends the replay: the trees replayed before stay
// (each finished with FlashBuild), the damage is remembered (GetDamage) and
// announced at once through the callback, and nothing is thrown. Memory
// follows what the file really holds: nothing is allocated from a count
// before the bytes it counts have been read.
//
// Records that fit their frame are judged as a scan judges the disk, against
// the device the replay runs on: a partition record that places no volume
// there, or a file record with impossible fields, is left out; a file whose
// runs the device cannot hold, or whose size is above what its runs hold, is
// cut to them (RestoreFileNode::Judge). Such records are counted
// (GetLoadDamage), the first one announced through the callback too, and
// the replay goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "RestoreScanSink.h"
#include "app/ScanResultChecks.h"
#include "app/ScanResultRecords.h"

class IRSData;

namespace SaveRestoreResult {

class SaveRestoreProgress;
class ReopenedHFSPlusVolume;

class KVRestoreScanSink final : public RestoreScanSink {
 public:
  // How a replay sees the device it runs on.
  struct DeviceView {
    bool replay = false;     // false: nothing belongs to it
    bool everyRoot = false;  // a whole disk: every tree belongs to it
    std::string volumeName;  // a volume: the name its trees carry
  };
  using Describer = std::function<DeviceView(IStorageDevice*)>;
  // Where a volume lies, for the trees' places.
  struct VolumeSeen {
    VolumePlace place;      // on the loaded device; start -1 when unknown
    int searcherType = -1;  // a quick scan's volume: the searcher of its file system
  };
  using Locator = std::function<VolumeSeen(IStorageDevice*)>;

  // The load's archive (not owned; it must stay open while replays run),
  // how to see devices, the load's progress (steps; may be null) and what
  // to call when damage is found (may be empty).
  KVRestoreScanSink(IRSData* archive, Describer describe, SaveRestoreProgress* progress,
                    std::function<void()> onDamage = {});
  ~KVRestoreScanSink() override;
  KVRestoreScanSink(const KVRestoreScanSink&) = delete;
  KVRestoreScanSink& operator=(const KVRestoreScanSink&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) override;
  // Made empty for a type without records.
  std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) override;
  // The places of the file's trees, one per tree; without them trees match
  // by name.
  void SetPlaces(std::vector<VolumePlace> places) {
    m_places = std::move(places);
    m_hasPlaces = true;
  }
  // What the file's check values vouch for (ScanResultChecks.h): a tree
  // whose section failed its check is passed over by its saved length and
  // its records counted as left out; without them every tree is read.
  void SetChecks(std::vector<bool> sound, std::vector<SectionCheck> sections) {
    m_sound = std::move(sound);
    m_sections = std::move(sections);
    m_checked = true;
  }
  // How to see where a volume lies (without it, nothing is known).
  void SetLocator(Locator locate) { m_locate = std::move(locate); }
  // Releases every partition record; answers 0.
  int ClearMapCell();

  // The load is over (its archive closed, its progress gone, its look at
  // the device list let go): later replays find nothing.
  void DetachArchive();
  // Whether damage ended a replay, and what it was ("" for none).
  bool IsDamaged() const { return !m_damage.empty(); }
  const std::string& GetDamage() const { return m_damage; }
  // What was left out or cut, records judged one by one and what the end of
  // a damaged frame kept from being read.
  const LoadDamage& GetLoadDamage() const { return m_counts; }
  // The frame of the trees was not in the file at all.
  bool IsFrameMissing() const { return m_frameMissing; }
  size_t GetReplayedRoots() const { return m_replayedRoots; }
  // Trees passed over because their sections failed their checks.
  size_t GetSkippedRoots() const { return m_skipped.size(); }
  // Whether a stop ended a replay before its last tree.
  bool WasStopped() const { return m_stopped; }

 private:
  void Replay(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device, const DeviceView& view,
              const VolumeSeen& seen, uint32_t pass);
  void ReplayRoots(RecordReader& reader, IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device,
                   const DeviceView& view, const VolumeSeen& seen, uint32_t pass);
  void Damaged(const std::string& what);
  // A record left out or cut; the first one is announced.
  void Judged(RecordVerdict verdict);
  void Step();
  // Passes over tree `index`, whose section failed its check.
  void SkipTree(RecordReader& reader, uint64_t index);

  IRSData* m_archive;
  Describer m_describe;
  SaveRestoreProgress* m_progress;
  std::function<void()> m_onDamage;
  std::map<int, std::vector<CSearchedPartitionInfo*>> m_partitions;
  std::map<std::pair<std::string, int>, uint32_t> m_passesByName;
  std::vector<VolumePlace> m_places;
  bool m_hasPlaces = false;
  Locator m_locate;
  std::string m_damage;
  LoadDamage m_counts;
  bool m_frameMissing = false;
  bool m_announced = false;
  size_t m_replayedRoots = 0;
  bool m_stopped = false;
  bool m_checked = false;
  std::vector<bool> m_sound;
  std::vector<SectionCheck> m_sections;
  std::set<uint64_t> m_skipped;
};

}  // namespace SaveRestoreResult
