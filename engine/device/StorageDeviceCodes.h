// The fixed result codes of the storage devices (module 0x0E). Callers and
// logs compare them as numbers, so each keeps its own line field.
#pragma once

#include "ResultCode.h"

namespace devicecode {

using result::MakeResult;
inline constexpr uint8_t kModule = result::kModuleStorageDevice;

// Disk and volume devices.
inline constexpr ResultCode kOpenFailed = MakeResult(kModule, 0x41, result::kErrIO);
inline constexpr ResultCode kReadBadArgument = MakeResult(kModule, 0x79, result::kErrBadArgument);
inline constexpr ResultCode kReadPositionFailed = MakeResult(kModule, 0x80, result::kErrIO);
inline constexpr ResultCode kReadFailed = MakeResult(kModule, 0x88, result::kErrIO);
// The read went around sectors the medium could not give: they are zeros, the
// rest of the buffer is good, and the device names them (UnreadableSectors.h).
inline constexpr ResultCode kReadBadSectors = MakeResult(kModule, 0x8A, result::kErrUnreadableSectors);
inline constexpr ResultCode kDiskIOCtl = MakeResult(kModule, 0xA2, result::kErrNotSupported);
inline constexpr ResultCode kDiskNoData = MakeResult(kModule, 0xB4, result::kErrMissingData);
inline constexpr ResultCode kDiskWrongData = MakeResult(kModule, 0xB9, result::kErrMissingData);
inline constexpr ResultCode kDiskNoInfo = MakeResult(kModule, 0xBE, result::kErrMissingData);

// Partition windows and virtual volumes.
inline constexpr ResultCode kWindowOpenNoParent = MakeResult(kModule, 0x5A, result::kErrMissingData);
inline constexpr ResultCode kWindowNoParent = MakeResult(kModule, 0x69, result::kErrMissingData);
inline constexpr ResultCode kWindowNullBuffer = MakeResult(kModule, 0x70, result::kErrBadArgument);
inline constexpr ResultCode kWindowBadFirst = MakeResult(kModule, 0x96, result::kErrBadArgument);
inline constexpr ResultCode kWindowBadCount = MakeResult(kModule, 0x9C, result::kErrBadArgument);
inline constexpr ResultCode kWindowSectorSizeMismatch = MakeResult(kModule, 0xA0, result::kErrBadArgument);
inline constexpr ResultCode kWindowIOCtl = MakeResult(kModule, 0xAC, result::kErrNotSupported);
inline constexpr ResultCode kWindowNoData = MakeResult(kModule, 0xC4, result::kErrMissingData);
inline constexpr ResultCode kWindowWrongData = MakeResult(kModule, 0xC9, result::kErrMissingData);
inline constexpr ResultCode kWindowNoInfo = MakeResult(kModule, 0xCE, result::kErrMissingData);

}  // namespace devicecode
