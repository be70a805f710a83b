// Device records: fixed text fields that always end in a terminator, and
// holders that own their record and are found by kind.
#include "DeviceData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(SetRecordText, CutsLongTextsClearsTheRestAndAlwaysTerminates) {
  CCollectedVolumeDeviceInfoStruct v;
  for (const auto& [text, want] : {std::pair<const char*, std::string>{"sdb1", "sdb1"},
                                   {"Apple_UNIX_SVR2_and_more_than_thirty_two", "Apple_UNIX_SVR2_and_more_than_th"},
                                   {nullptr, ""}}) {
    std::memset(v.apmType, 'x', sizeof v.apmType);
    SetRecordText(v.apmType, text);
    EXPECT_EQ(v.apmType, want);
    EXPECT_EQ(std::string(v.apmType, sizeof v.apmType), want + std::string(sizeof v.apmType - want.size(), '\0'));
  }
}

TEST(DeviceDataHolders, OwnTheirRecordAndAreFoundByKind) {
  auto* info = new CCollectDiskDeviceInfoStruct();
  IStorageDeviceData* data = CreateDiskDeviceData(info);
  EXPECT_EQ(dynamic_cast<IVolumeDeviceData*>(data), nullptr);
  EXPECT_EQ(dynamic_cast<IPartitionDeviceData*>(data), nullptr);
  auto* disk = dynamic_cast<IDiskDeviceData*>(data);
  ASSERT_NE(disk, nullptr);
  disk->SetDiskInfo(info);  // the same record again is kept, not freed
  EXPECT_EQ(disk->GetDiskInfo(), info);
  auto* other = new CCollectDiskDeviceInfoStruct();
  disk->SetDiskInfo(other);  // the first is freed (the sanitizer build checks)
  EXPECT_EQ(disk->GetDiskInfo(), other);
  data->Release();

  IPartitionDeviceData* partition = CreatePartitionDeviceData(nullptr);
  EXPECT_EQ(partition->GetPartitionInfo(), nullptr);
  partition->SetPartitionInfo(new CCollectedPartitionDeviceInfoStruct());
  EXPECT_NE(partition->GetPartitionInfo(), nullptr);
  partition->Release();
}

}  // namespace
