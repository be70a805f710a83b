// Device enumeration: the machine's whole disks, the partitions each disk's
// table lists and the volumes of each disk, as opened, read-only devices that
// carry their records (see DeviceData.h).
//
// Init does all the work, once, on the caller's thread; the Enum operations
// then hand out what Init found. No locks: Init, Uninit and the Enum calls
// are made from one thread at a time, and readers on other threads use the
// devices only between a finished Init and the next Uninit.
//
// Ownership. Every device handed out (disks, partitions and volumes alike)
// belongs to the enumerator and stays valid until the next Uninit or Init
// (which starts with an Uninit). Callers never release them. The volume list
// of a disk, the operating system's volumes followed by a virtual volume for
// every table partition that matches none of them, is built once per disk
// in Init: every EnumVolumeDevice call hands out the same devices, and Uninit
// releases the virtual volumes with the rest.
//
// One unreadable disk never fails the whole enumeration: a disk that cannot
// be opened is left out (and logged when the cause is worth knowing), a disk
// whose table cannot be read has no table partitions, and a disk whose volume
// list cannot be built answers that failure from EnumVolumeDevice only.
#pragma once

#include <list>
#include <map>
#include <memory>

#include "ResultCode.h"
#include "StorageDevice.h"
#include "enumeration/EnumDevice.h"
#include "enumeration/EnumDeviceCodes.h"
#include "enumeration/MediaSource.h"

// Virtual operations in slot order: destructor pair, Init, Uninit,
// EnumDiskDevice, EnumPartitionDevice, EnumVolumeDevice. Results are module
// 0x03 codes (enumeration/EnumDeviceCodes.h).
class IEnumDeviceEx {
 public:
  virtual ~IEnumDeviceEx() = default;
  // Enumerates the media afresh. Fails with error 1 when no disk can be
  // listed: enumcode::kNoDiskPermission when disks exist but the process may
  // not read any of them (a log line says so), enumcode::kNoDisk otherwise.
  virtual ResultCode Init() = 0;
  // Releases every device; error 2 when not initialised.
  virtual ResultCode Uninit() = 0;
  // The disks, ordered by kernel name. A null array sets `count` to their
  // number. With an array: count 0 fills nothing and succeeds; a count below
  // the number is error 9; else the array is filled and count set.
  virtual ResultCode EnumDiskDevice(IStorageDevice** array, int& count) = 0;
  // The table partitions of a disk, ordered by number, under the same array
  // rules; error 7 for a null disk, 5 for a disk this enumerator did not list.
  virtual ResultCode EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) = 0;
  // The volume list of a disk (see Ownership above): a null array sets the
  // count; with an array, a count below the length (count 0 included) is
  // error 9, else the array is filled in list order and count set. Errors 7
  // and 5 as for partitions; a disk whose list could not be built answers the
  // code of that failure.
  virtual ResultCode EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) = 0;
};

// The one process-wide enumerator of the machine (/sys, /dev,
// /proc/self/mountinfo), made on the first call. It is never destroyed: a
// scan may still be reading one of its devices on a worker while the process
// exits, and tearing it down then would release the device under the worker.
IEnumDeviceEx* CreateEnumDeviceEx();

class CEnumDeviceEx final : public IEnumDeviceEx {
 public:
  // An enumerator of the media that `source` lists (the machine's when null).
  explicit CEnumDeviceEx(std::unique_ptr<IMediaSource> source = nullptr);
  ~CEnumDeviceEx() override;
  CEnumDeviceEx(const CEnumDeviceEx&) = delete;
  CEnumDeviceEx& operator=(const CEnumDeviceEx&) = delete;

  ResultCode Init() override;
  ResultCode Uninit() override;
  ResultCode EnumDiskDevice(IStorageDevice** array, int& count) override;
  ResultCode EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) override;
  ResultCode EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) override;

  // Closes the descriptor of every disk and volume Init opened, those no Enum
  // call hands out included (the volumes of a disk whose list could not be
  // built). The devices stay listed with their records; a caller that reads
  // one opens it again first (Open) and closes it when done. While a
  // descriptor is open the kernel keeps the medium: a loop device cannot be
  // detached, a pulled stick's device cannot go.
  void CloseDevices();

 private:
  ResultCode InitOrThrow();

  struct VolumeList {
    ResultCode built = 0;                 // the merge's result
    std::list<IStorageDevice*> devices;   // OS volumes, then virtual volumes
    std::list<IStorageDevice*> virtuals;  // the virtual volumes (owned here)
  };

  std::unique_ptr<IMediaSource> source_;
  uint32_t initialised_ = 0;
  CEnumDevice* worker_ = nullptr;
  std::list<IStorageDevice*> disks_;
  std::map<const IStorageDevice*, std::list<IStorageDevice*>> osVolumes_;
  std::map<const IStorageDevice*, std::list<IStorageDevice*>> partitions_;
  std::map<const IStorageDevice*, VolumeList> volumeLists_;
};
