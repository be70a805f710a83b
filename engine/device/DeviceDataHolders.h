// The holders of device records (see DeviceData.h). Each owns its record and
// deletes it with itself or when a new one is set.
#pragma once

#include "DeviceData.h"

class CDiskDeviceData final : public IDiskDeviceData {
 public:
  explicit CDiskDeviceData(CCollectDiskDeviceInfoStruct* info) : info_(info) {}
  ~CDiskDeviceData() override;
  CDiskDeviceData(const CDiskDeviceData&) = delete;
  CDiskDeviceData& operator=(const CDiskDeviceData&) = delete;

  CCollectDiskDeviceInfoStruct* GetDiskInfo() override { return info_; }
  void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) override;

 private:
  CCollectDiskDeviceInfoStruct* info_;
};

class CVolumeDeviceData final : public IVolumeDeviceData {
 public:
  explicit CVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info) : info_(info) {}
  ~CVolumeDeviceData() override;
  CVolumeDeviceData(const CVolumeDeviceData&) = delete;
  CVolumeDeviceData& operator=(const CVolumeDeviceData&) = delete;

  CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() override { return info_; }
  void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) override;

 private:
  CCollectedVolumeDeviceInfoStruct* info_;
};

class CPartitionDeviceData final : public IPartitionDeviceData {
 public:
  explicit CPartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info) : info_(info) {}
  ~CPartitionDeviceData() override;
  CPartitionDeviceData(const CPartitionDeviceData&) = delete;
  CPartitionDeviceData& operator=(const CPartitionDeviceData&) = delete;

  CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() override { return info_; }
  void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) override;

 private:
  CCollectedPartitionDeviceInfoStruct* info_;
};
