// Device records and their holders: ownership, kinds, and fixed text fields
// that always end in a terminator.
#include "DeviceData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(DeviceRecords, StartZeroed) {
  CCollectDiskDeviceInfoStruct disk;
  EXPECT_EQ(disk.state, 0u);
  EXPECT_EQ(disk.sectorSize, 0);
  EXPECT_STREQ(disk.devicePath, "");
  CCollectedVolumeDeviceInfoStruct volume;
  EXPECT_EQ(volume.parentDisk, nullptr);
  EXPECT_STREQ(volume.apmType, "");
  CCollectedPartitionDeviceInfoStruct partition;
  EXPECT_EQ(partition.startSector, 0);
}

TEST(SetRecordText, CutsLongTextsAndAlwaysTerminates) {
  CCollectedVolumeDeviceInfoStruct v;
  std::memset(v.label, 'x', sizeof v.label);
  SetRecordText(v.label, std::string(150, 'L').c_str());
  EXPECT_EQ(std::strlen(v.label), 99u);
  EXPECT_EQ(v.label[99], '\0');

  std::memset(v.apmType, 'x', sizeof v.apmType);
  SetRecordText(v.apmType, "Apple_UNIX_SVR2_and_more_than_thirty_two");
  EXPECT_EQ(std::string(v.apmType), std::string("Apple_UNIX_SVR2_and_more_than_thirty_two").substr(0, 32));

  SetRecordText(v.bsdName, "sdb1");
  EXPECT_STREQ(v.bsdName, "sdb1");
  // The rest of the field is cleared, not left from before.
  EXPECT_EQ(v.bsdName[5], '\0');
  SetRecordText(v.bsdName, nullptr);
  EXPECT_STREQ(v.bsdName, "");
}

TEST(DeviceDataHolders, HandBackTheirRecordAndAreFoundByKind) {
  auto* info = new CCollectDiskDeviceInfoStruct();
  IStorageDeviceData* data = CreateDiskDeviceData(info);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(dynamic_cast<IVolumeDeviceData*>(data), nullptr);
  EXPECT_EQ(dynamic_cast<IPartitionDeviceData*>(data), nullptr);
  auto* disk = dynamic_cast<IDiskDeviceData*>(data);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->GetDiskInfo(), info);
  disk->SetDiskInfo(info);  // the same record again is kept, not freed
  EXPECT_EQ(disk->GetDiskInfo(), info);
  auto* other = new CCollectDiskDeviceInfoStruct();
  disk->SetDiskInfo(other);  // the first is freed (the sanitizer builds check)
  EXPECT_EQ(disk->GetDiskInfo(), other);
  data->Release();

  IVolumeDeviceData* volume = CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct());
  EXPECT_NE(volume->GetVolumeInfo(), nullptr);
  volume->SetVolumeInfo(nullptr);
  EXPECT_EQ(volume->GetVolumeInfo(), nullptr);
  volume->Release();

  IPartitionDeviceData* partition = CreatePartitionDeviceData(nullptr);
  EXPECT_EQ(partition->GetPartitionInfo(), nullptr);
  partition->SetPartitionInfo(new CCollectedPartitionDeviceInfoStruct());
  EXPECT_NE(partition->GetPartitionInfo(), nullptr);
  partition->Release();
}

}  // namespace
