#include "device/DeviceDataHolders.h"

#include <new>

namespace {

// Setting the record a holder already has must not free it.
template <typename Record>
void Replace(Record*& held, Record* info) {
  if (held == info) return;
  delete held;
  held = info;
}

}  // namespace

CDiskDeviceData::~CDiskDeviceData() { delete info_; }
void CDiskDeviceData::SetDiskInfo(CCollectDiskDeviceInfoStruct* info) { Replace(info_, info); }

CVolumeDeviceData::~CVolumeDeviceData() { delete info_; }
void CVolumeDeviceData::SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) { Replace(info_, info); }

CPartitionDeviceData::~CPartitionDeviceData() { delete info_; }
void CPartitionDeviceData::SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) { Replace(info_, info); }

IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info) {
  return new (std::nothrow) CDiskDeviceData(info);
}

IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info) {
  return new (std::nothrow) CVolumeDeviceData(info);
}

IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info) {
  return new (std::nothrow) CPartitionDeviceData(info);
}
