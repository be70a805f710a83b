// Where a saved scan result belongs on this machine: which disk or volume
// of the device list it was made on, whether that device is still laid out
// as when it was scanned, whether the volume at each tree's place is the
// one the tree was read from, and where the volumes a replay is handed lie.
//
// It looks at the device list once, when it is made, and answers every
// question from that look: a refresh of the list meanwhile changes none of
// its answers, and takes none of its devices away (they stay alive, their
// media closed, for as long as it or an answer it gave lives). A medium is
// opened only while its volumes' identities are read.
//
// The save asks it the same questions the other way round: where the
// scanned device and each tree's volume lie, which the file keeps
// (ScanResultRecords.h, _frVolumePlace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/KVRestoreScanSink.h"
#include "app/ScanResultChecks.h"
#include "app/ScanResultRecords.h"

class IStorageDevice;
class KVUIDeviceData;

namespace SaveRestoreResult {

// The record of a device of the list; false for a device the list does not
// show.
bool DescribeDevice(IStorageDevice* device, KVUIDeviceData& devices, DeviceRecord& out);

class LoadedResultPlace {
 public:
  // The list `scanned` belongs to (a save: the list of the scan, even when
  // a newer one has been made since); without it the current list, which
  // is enumerated first when it is not ready (a load).
  explicit LoadedResultPlace(KVUIDeviceData& devices, IStorageDevice* scanned = nullptr);

  // What a load found.
  struct Found {
    IStorageDevice* device = nullptr;
    // 0, or why nothing was found: kLoadDeviceNotFound (no device of the
    // saved name, file system and capacity), kLoadDeviceChanged (none laid
    // out as it was scanned), kLoadOtherVolume (laid out so, but holding
    // other volumes where the trees were read).
    uint64_t failure = 0;
    // The saved identities the device's volumes still show; 0 when the file
    // keeps none, or no tree's volume could be told by one.
    size_t verified = 0;
  };
  // The device a result was made on. The candidates are the device at the
  // saved place of the list, the devices of the saved name, file system
  // and capacity, in list order, and the volumes of that capacity and file
  // system at the saved start of a disk of the saved name and capacity (a
  // partition the system gives no name). With the trees' places, the first
  // candidate still laid out as scanned whose volumes are the ones the trees
  // were read from (when the file keeps their identities) is the one:
  // another disk of the same make before it in the list is passed over.
  // Without places (a file made before they were kept) the first candidate
  // is taken.
  Found Find(const DeviceRecord& record, const PlaceRecord* place, const IdentityRecord* identity,
             const ScanKindRecord& kind) const;

  // Where `device` lies on `on`, in `on`'s sectors, with its sector count:
  // start 0 for the device itself, -1 when it does not lie on it.
  VolumePlace PlaceOn(IStorageDevice* device, IStorageDevice* on) const;
  // Where `device` begins on its disk (0 for the disk, -1 when unknown),
  // and the disk's capacity in bytes and name.
  int64_t StartOnDisk(IStorageDevice* device, uint64_t& diskCapacity, std::string& diskName) const;

  // How the replay sees the devices of the list: a volume by the name its
  // trees were given (the builder names an unnamed volume's trees "Disk"),
  // a disk as the owner of every tree.
  KVRestoreScanSink::Describer Describer() const;
  // A volume's place is where it lies on `loaded`, the device the result was
  // loaded on; a quick scan's volume also gives its searcher.
  KVRestoreScanSink::Locator Locator(IStorageDevice* loaded, bool quick) const;

 private:
  struct Listed;
  bool StillInPlace(IStorageDevice* storage, const PlaceRecord& place, const ScanKindRecord& kind) const;
  // The saved identities that `storage`'s volumes still show (`same`), or
  // false when one of them shows another.
  bool SameVolumes(IStorageDevice* storage, const PlaceRecord& place, const IdentityRecord& identity,
                   size_t& same) const;

  KVUIDeviceData& m_devices;  // for the holds that open a medium
  std::shared_ptr<const Listed> m_listed;
};

}  // namespace SaveRestoreResult
