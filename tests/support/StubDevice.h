// What the in-memory devices of tests and fuzz targets share: opening,
// closing and IOCtl do nothing, and the device owns the record holder it is
// given (released when replaced or when the device goes). Subclasses supply
// the reads, the geometry, the kind and the last error.
#pragma once

#include <cstdint>

#include "DeviceData.h"
#include "StorageDevice.h"

namespace testsupport {

class StubDevice : public IStorageDevice {
 public:
  ~StubDevice() override { StubDevice::SetPrivateData(nullptr); }

  int Open() override { return 1; }
  int Close() override { return 1; }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return data_; }
  void SetPrivateData(IStorageDeviceData* data) override {
    if (data_ != nullptr && data_ != data) data_->Release();
    data_ = data;
  }

 private:
  IStorageDeviceData* data_ = nullptr;
};

}  // namespace testsupport
