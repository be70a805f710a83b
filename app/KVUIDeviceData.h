// The application's view of the machine's disks and volumes: disks numbered
// 0, 1, 2 in the enumerator's order, each with its volumes in order, and the
// look-ups the rest of the application makes between devices and their
// (disk index, volume index) pairs.
//
// Every enumeration is a generation of its own: a new enumerator lists the
// machine and the model swaps the finished maps in under its lock. A device
// handed out stays valid until the second refresh after it was handed out
// (Clear counts as one), and for as long after as someone keeps it
// (KeepDevices) or holds it (HoldDevices, HoldStorageByDiskVolumeIndex), so a
// refresh while a scan or a copy reads one never releases it under the
// reader. Look-ups by index answer from the current list; look-ups by device
// (what a disk holds, whether a device is a disk) answer from whichever
// list, current or still kept, the device belongs to, so a scan that
// outlives a refresh still sees the disk it was given. Every operation may be
// called from any thread.
//
// Media are open only while in use. The enumeration closes every device
// once it has read what the list shows; a hold opens the medium of the
// device it holds (its disk and the disk's volumes) and the last hold of a
// medium closes it again. Whatever reads a device of the list holds it for
// as long as it reads: a scan, the scan's controller with its copy-out
// objects, previews and recoveries through them. A medium nobody holds has
// no descriptor open in the process, so the kernel can let it go (a loop
// device detached, a stick pulled out) and the media watcher reports it. A
// medium that cannot be opened again, or whose device now holds another
// medium (a loop device detached and attached to another image), stays
// closed: reads of it fail instead of reading the wrong medium.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "ResultCode.h"

class IEnumDeviceEx;
class IStorageDevice;

// One disk or volume row of the device list, copied by value; it owns its
// texts, so it outlives any refresh.
struct _DiskVolumeData {
  std::string name;         // a disk's registry name, a volume's name
  std::string description;  // a disk's device path; empty for volumes
  uint64_t size = 0;        // bytes: sector size x total sectors
  uint64_t used = 0;        // always 0
  int32_t diskIndex = -1;
  int32_t volumeIndex = -1;  // -1 for a disk
  int32_t fileSystem = -1;   // enumFILE_SYSTEM_TYPE of a volume; -1 for a disk
  int32_t isDmg = 0;         // a disk on the virtual bus (an attached image)
  int32_t isUsb = 0;
  std::vector<_DiskVolumeData> children;  // a disk's scannable volumes
};

enum KVDeviceInitState : uint32_t {
  KVDeviceNeverEnumerated = 0,
  KVDeviceEnumerating = 1,
  KVDeviceReady = 2,
  // The last enumeration failed (GetInitResult says why); the lists are
  // empty and InitDeviceInfo may be called again.
  KVDeviceEnumerationFailed = 3,
};

class KVUIDeviceData {
 public:
  using EnumeratorFactory = std::function<std::unique_ptr<IEnumDeviceEx>()>;

  // The model of the machine; never destroyed, like the engine's enumerator,
  // so a worker still reading a device at exit keeps it.
  static KVUIDeviceData& instance();

  // A model over the enumerators `factory` makes, one per enumeration (the
  // machine's when empty).
  explicit KVUIDeviceData(EnumeratorFactory factory = {});
  virtual ~KVUIDeviceData();
  KVUIDeviceData(const KVUIDeviceData&) = delete;
  KVUIDeviceData& operator=(const KVUIDeviceData&) = delete;

  // Enumerates afresh. Concurrent calls run one after the other; readers see
  // the old lists until the new ones are complete.
  void InitDeviceInfo();
  uint32_t GetInitState();
  // For whoever is about to queue an enumeration: answers the init state and,
  // when it is never enumerated or failed, makes it "enumerating" at once, so
  // a second request before the queued enumeration runs does not queue
  // another.
  uint32_t ClaimEnumeration();
  // The enumerator's Init result of the last enumeration (0 before any).
  ResultCode GetInitResult();
  // Forgets the lists; their devices go at the next refresh once nobody
  // holds them. The init state stays as it was.
  void Clear();
  // Keeps `device` (and the devices listed with it) alive, with their
  // records, while the answer lives; the medium stays closed. Null when the
  // device is in no list that is still alive.
  std::shared_ptr<const void> KeepDevices(IStorageDevice* device);
  // Keeps `device` alive as KeepDevices does and its medium open for
  // reading while the answer lives.
  std::shared_ptr<const void> HoldDevices(IStorageDevice* device);
  // The storage of GetStorageByDiskVolumeIndex, held as HoldDevices holds
  // it, in one step: a refresh in between cannot take it away.
  std::shared_ptr<IStorageDevice> HoldStorageByDiskVolumeIndex(int disk, int volume);

  void GetAllDeviceInfo(std::list<_DiskVolumeData>& out);
  // One look at the list, for whoever must ask it many questions whose
  // answers have to agree: every disk GetAllDeviceInfo shows with its row,
  // and its volumes with theirs, each with its device. The list `member`
  // belongs to (current, or older and still alive), else the current one.
  // The devices stay alive (their media closed) while the answer lives.
  struct ListedVolume {
    IStorageDevice* device = nullptr;
    _DiskVolumeData row;
  };
  struct ListedDisk {
    IStorageDevice* device = nullptr;
    _DiskVolumeData row;
    std::vector<ListedVolume> volumes;
  };
  struct ListedDevices {
    std::shared_ptr<const void> kept;
    std::vector<ListedDisk> disks;
  };
  ListedDevices ListDevices(IStorageDevice* member = nullptr);
  int GetDiskDataByStorage(IStorageDevice* disk, _DiskVolumeData& out);
  int GetVolumeDataByStorage(IStorageDevice* volume, _DiskVolumeData& out);
  void GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out);

  // disk -1: null; volume -1: the disk itself; null when out of range.
  IStorageDevice* GetStorageByDiskVolumeIndex(int disk, int volume);
  IStorageDevice* GetDiskStorageByIndex(int disk);
  IStorageDevice* GetVolumeStorageByIndex(IStorageDevice* disk, int volume);
  bool GetDiskVolumeIndexByStorage(IStorageDevice* device, int& disk, int& volume);
  uint32_t GetDiskIndexByStorage(IStorageDevice* disk);  // 0xFFFFFFFF when unknown
  IStorageDevice* GetDiskStorageByVolumeStorage(IStorageDevice* volume);
  uint32_t GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume);  // 0xFFFFFFFF when absent
  bool IsDiskStorage(IStorageDevice* device);
  bool GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out);
  // Null for null, a disk, or a device without a volume record.
  CCollectedVolumeDeviceInfoStruct* GetVolumeInfo(IStorageDevice* device);
  bool IsVolumeStorageSupported(IStorageDevice* volume);
  // False only for the table entries that hold no user files: the EFI system
  // and boot-helper partitions of a GPT disk, the map and free entries of an
  // APM disk.
  static bool IsSupportVolume(CCollectedVolumeDeviceInfoStruct* info);

 private:
  struct Generation;
  std::shared_ptr<Generation> Current();
  // A hold of the medium `device` belongs to in `generation`, which it keeps
  // alive.
  static std::shared_ptr<const void> HoldMedium(const std::shared_ptr<Generation>& generation, IStorageDevice* device);
  // The list `device` belongs to: the current one, the previous one, or one
  // someone still holds; null when none.
  std::shared_ptr<Generation> Listing(IStorageDevice* device);
  // Disk record of `disk` with its index in `generation`; false when none.
  static bool DiskData(const Generation& generation, IStorageDevice* disk, _DiskVolumeData& out);
  static bool VolumeData(const Generation& generation, IStorageDevice* volume, _DiskVolumeData& out);

  EnumeratorFactory m_factory;
  std::mutex m_initLock;  // one enumeration at a time
  std::mutex m_lock;      // the fields below
  std::shared_ptr<Generation> m_current;
  std::shared_ptr<Generation> m_previous;         // what callers may still be using
  std::vector<std::weak_ptr<Generation>> m_held;  // older lists, alive while held
  uint32_t m_state = KVDeviceNeverEnumerated;
  ResultCode m_initResult = 0;
};
