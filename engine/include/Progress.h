// Progress reports and the go-on question between the engine and the
// application's long operations.
#pragma once

#include <cstddef>
#include <cstdint>

enum PROGRESS_STATUS : uint32_t {
  PROGRESS_STATUS_BLOCK_SCAN_START = 0,  // first report of a block scan: total set, current 0
  PROGRESS_STATUS_RUNNING = 2,
  PROGRESS_STATUS_FINISHED = 3,
};

// The progress record, 4128 bytes. A default-made record is all zeros;
// writers start from one and set only the fields they report.
struct _PROGRESS_INFO {
  uint32_t status = 0;  // PROGRESS_STATUS
  uint32_t padding = 0;
  uint64_t total = 0;    // units of work in the current phase
  uint64_t current = 0;  // units done
  uint64_t error = 0;    // a ResultCode, 0 for none
  uint8_t reserved[4096] = {};
};
static_assert(sizeof(_PROGRESS_INFO) == 4128);
static_assert(offsetof(_PROGRESS_INFO, status) == 0);
static_assert(offsetof(_PROGRESS_INFO, total) == 8);
static_assert(offsetof(_PROGRESS_INFO, current) == 16);
static_assert(offsetof(_PROGRESS_INFO, error) == 24);
static_assert(offsetof(_PROGRESS_INFO, reserved) == 32);

// Implemented by the application's operations. All calls of one operation
// come from its worker thread. The order of the virtual operations is part
// of the interface.
class IProgress {
 public:
  virtual ~IProgress() = default;
  // The sink copies the record; the caller keeps it. The engine ignores the
  // answer.
  virtual int UpdateProgress(_PROGRESS_INFO* info) = 0;
  // 0 means stop now. Blocks while the user has paused.
  virtual int Continued() = 0;
  // Whether complete searchers build their trees when the scan ends.
  virtual int shouldBuild() = 0;
};

// Sends `sink` a record with these fields, the others zero.
inline void ReportProgress(IProgress* sink, uint32_t status, uint64_t total, uint64_t current, uint64_t error = 0) {
  _PROGRESS_INFO info;
  info.status = status;
  info.total = total;
  info.current = current;
  info.error = error;
  sink->UpdateProgress(&info);
}
