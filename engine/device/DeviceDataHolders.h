// The holders of device records (see DeviceData.h). Each owns its record and
// deletes it with itself or when a new one is set.
#pragma once

#include "DeviceData.h"

template <class Interface, class Record>
class CRecordHolder : public Interface {
 public:
  explicit CRecordHolder(Record* info) : info_(info) {}
  ~CRecordHolder() override { delete info_; }
  CRecordHolder(const CRecordHolder&) = delete;
  CRecordHolder& operator=(const CRecordHolder&) = delete;

 protected:
  Record* Get() const { return info_; }
  // Setting the record the holder already has must not free it.
  void Set(Record* info) {
    if (info == info_) return;
    delete info_;
    info_ = info;
  }

 private:
  Record* info_;
};

class CDiskDeviceData final : public CRecordHolder<IDiskDeviceData, CCollectDiskDeviceInfoStruct> {
 public:
  using CRecordHolder::CRecordHolder;
  CCollectDiskDeviceInfoStruct* GetDiskInfo() override { return Get(); }
  void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) override { Set(info); }
};

class CVolumeDeviceData final : public CRecordHolder<IVolumeDeviceData, CCollectedVolumeDeviceInfoStruct> {
 public:
  using CRecordHolder::CRecordHolder;
  CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() override { return Get(); }
  void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) override { Set(info); }
};

class CPartitionDeviceData final : public CRecordHolder<IPartitionDeviceData, CCollectedPartitionDeviceInfoStruct> {
 public:
  using CRecordHolder::CRecordHolder;
  CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() override { return Get(); }
  void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) override { Set(info); }
};
