// What every device kind of this library shares: the last error, the sector
// size and count, and the record holder that may set them.
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "ThreadLastError.h"
#include "device/StorageGeometry.h"

// The failure codes of one device family for a missing record holder, a
// holder of another kind and a holder without a record.
struct RecordCodes {
  ResultCode noData;
  ResultCode wrongData;
  ResultCode noInfo;
};

template <class Interface>
class CRecordDevice : public Interface {
 public:
  ~CRecordDevice() override {
    if (data_ != nullptr) data_->Release();
  }
  CRecordDevice(const CRecordDevice&) = delete;
  CRecordDevice& operator=(const CRecordDevice&) = delete;

  uint32_t GetSectorSize() override { return sectorSize_.load(std::memory_order_relaxed); }
  int64_t GetTotalSectors() override { return totalSectors_.load(std::memory_order_relaxed); }
  IStorageDeviceData* GetPrivateData() override { return data_; }
  // The code of this thread's latest call (ThreadLastError.h).
  ResultCode GetLastError() override { return lastError_.Get(); }

  // Keeps `data` (releasing the old holder) and takes the sector size and
  // count from its record when it is of this device's kind; otherwise the
  // geometry stays and the last error says what was missing.
  void SetPrivateData(IStorageDeviceData* data) override {
    SetLastError(0);
    if (data != data_) {
      if (data_ != nullptr) data_->Release();
      data_ = data;
    }
    Geometry g{};
    const ResultCode rc = GetRecordGeometry(data, g);
    if (result::IsFailure(rc)) {
      SetLastError(rc);
      return;
    }
    if (geometry::IsUsableRecordSectorSize(g.sectorSize)) SetSectorSize(static_cast<uint32_t>(g.sectorSize));
    if (g.totalSectors >= 0) totalSectors_.store(g.totalSectors, std::memory_order_relaxed);
  }

 protected:
  explicit CRecordDevice(int64_t totalSectors = 0) : totalSectors_(totalSectors) {}

  struct Geometry {
    int64_t sectorSize;
    int64_t totalSectors;
  };
  // The geometry in this kind's record, or the failure code when there is no
  // holder, it is of another kind or holds no record.
  virtual ResultCode GetRecordGeometry(IStorageDeviceData* data, Geometry& out) = 0;

  // GetRecordGeometry for records kept by holders of type Holder, whose
  // sector count is the member `count`.
  template <class Holder, class Record>
  static ResultCode ReadRecordGeometry(IStorageDeviceData* data, Record* (Holder::*get)(), int64_t Record::*count,
                                       const RecordCodes& codes, Geometry& out) {
    if (data == nullptr) return codes.noData;
    auto* holder = dynamic_cast<Holder*>(data);
    if (holder == nullptr) return codes.wrongData;
    const Record* info = (holder->*get)();
    if (info == nullptr) return codes.noInfo;
    out = {info->sectorSize, info->*count};
    return 0;
  }

  void SetLastError(ResultCode code) { lastError_.Set(code); }
  void SetSectorSize(uint32_t size) { sectorSize_.store(size, std::memory_order_relaxed); }
  void SetTotalSectors(int64_t total) { totalSectors_.store(total, std::memory_order_relaxed); }

 private:
  CThreadLastError lastError_;
  std::atomic<uint32_t> sectorSize_{512};
  std::atomic<int64_t> totalSectors_;
  IStorageDeviceData* data_ = nullptr;
};
