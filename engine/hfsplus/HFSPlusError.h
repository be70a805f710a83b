// Failures of the HFS+ scanner: result codes of module 0x05, each reported
// on standard output once, where it is made.
#pragma once

#include "ResultCode.h"

// Writes "Return Error:0x<code>\tFile:<name>\tLine:<line>\tFuction:<function>"
// to standard output and answers `code` unchanged.
ResultCode FormatError(ResultCode code, const char* sourceFile, long line, const char* function);

// A failure with error number `error` at the current source line, reported.
#define HFSPLUS_ERROR(error) \
  FormatError(RESULT_FAILURE(::result::kModuleHFSPlus, static_cast<uint32_t>(error)), __FILE__, __LINE__, __func__)

namespace hfsplus {
inline constexpr uint32_t kErrDeviceRead = 0x501;
}
