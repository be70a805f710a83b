#include "device/DeviceDataHolders.h"

#include <new>

#include "StorageDevice.h"

namespace {

template <typename Holder, typename Record>
Record* RecordOf(IStorageDevice* device, Record* (Holder::*get)()) {
  auto* holder = device != nullptr ? dynamic_cast<Holder*>(device->GetPrivateData()) : nullptr;
  return holder != nullptr ? (holder->*get)() : nullptr;
}

}  // namespace

IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info) {
  return new (std::nothrow) CDiskDeviceData(info);
}

IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info) {
  return new (std::nothrow) CVolumeDeviceData(info);
}

IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info) {
  return new (std::nothrow) CPartitionDeviceData(info);
}

CCollectDiskDeviceInfoStruct* DiskRecordOf(IStorageDevice* device) {
  return RecordOf(device, &IDiskDeviceData::GetDiskInfo);
}

CCollectedVolumeDeviceInfoStruct* VolumeRecordOf(IStorageDevice* device) {
  return RecordOf(device, &IVolumeDeviceData::GetVolumeInfo);
}

CCollectedPartitionDeviceInfoStruct* PartitionRecordOf(IStorageDevice* device) {
  return RecordOf(device, &IPartitionDeviceData::GetPartitionInfo);
}
