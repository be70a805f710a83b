// The fixed result codes of the scan drivers (module 0x04). Callers and logs
// compare them as numbers, so each keeps its own line field.
#pragma once

#include "ResultCode.h"

namespace scancode {

using result::MakeResult;
inline constexpr uint8_t kModule = result::kModuleScanDriver;

// Quick scan.
inline constexpr ResultCode kQuickNullArgument = MakeResult(kModule, 0x38, result::kErrIO);
inline constexpr ResultCode kQuickWholeDisk = MakeResult(kModule, 0x43, result::kErrDeviceKindRefused);
inline constexpr ResultCode kQuickBuilderNotMade = MakeResult(kModule, 0x48, result::kErrCreateFailed);
inline constexpr ResultCode kQuickBuilderNotInitialized = MakeResult(kModule, 0x4B, result::kErrIO);
inline constexpr ResultCode kQuickNoSearcher = MakeResult(kModule, 0x57, result::kErrNoSearcherForFS);

// Complete scan.
inline constexpr ResultCode kCompleteNullArgument = MakeResult(kModule, 0x3C, result::kErrScanBadRange);
inline constexpr ResultCode kCompleteBuilderNotMade = MakeResult(kModule, 0x46, result::kErrCreateFailed);
inline constexpr ResultCode kCompleteBuilderNotInitialized = MakeResult(kModule, 0x49, result::kErrIO);
inline constexpr ResultCode kCompleteNoSearcher = MakeResult(kModule, 0x6A, result::kErrSearcherNotMade);

// Block pass.
inline constexpr ResultCode kPassNoSinkOrCache = MakeResult(kModule, 0xC8, result::kErrBadArgument);
inline constexpr ResultCode kPassBadRange = MakeResult(kModule, 0xCB, result::kErrScanBadRange);

}  // namespace scancode
