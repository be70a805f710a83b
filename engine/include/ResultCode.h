// Result codes of engine operations.
//
// A code is a u64: bits 56-63 carry the failure flag (0x01), bits 48-55 the
// module, bits 32-47 the source line that failed and bits 0-31 the error
// number. Any value whose top byte is 0 is a success, whatever its low bits.
//
// Codes are part of what callers compare and log, so modules that answer
// fixed codes build them with an explicit line number (MakeResult) instead of
// __LINE__ of our own sources.
#pragma once

#include <cstdint>

using ResultCode = uint64_t;

namespace result {

// Modules (bits 48-55).
inline constexpr uint8_t kModuleAppController = 0x02;
inline constexpr uint8_t kModuleEnumDevice = 0x03;
inline constexpr uint8_t kModuleScanDriver = 0x04;
inline constexpr uint8_t kModuleHFSPlus = 0x05;
inline constexpr uint8_t kModuleFATSearch = 0x0A;
inline constexpr uint8_t kModuleCopyOut = 0x0D;
inline constexpr uint8_t kModuleStorageDevice = 0x0E;
inline constexpr uint8_t kModulePartitionTable = 0x10;
inline constexpr uint8_t kModuleNTFSQuickScan = 0x12;

// Error numbers (bits 0-31).
inline constexpr uint32_t kErrIO = 1;  // a system call or read failed
inline constexpr uint32_t kErrNotInitialized = 2;
inline constexpr uint32_t kErrNotSupported = 3;
inline constexpr uint32_t kErrCreateFailed = 4;  // an object could not be made
inline constexpr uint32_t kErrBadArgument = 5;   // bad argument or range
inline constexpr uint32_t kErrBadData = 6;       // bad on-disk data
inline constexpr uint32_t kErrMissingData = 7;   // no device record, no parent
inline constexpr uint32_t kErrBufferTooSmall = 8;
inline constexpr uint32_t kErrArrayTooSmall = 9;  // the caller's array is too small
inline constexpr uint32_t kErrUnsupportedFS = 0xC;
inline constexpr uint32_t kErrCancelled = 0xD;
inline constexpr uint32_t kErrShortRead = 0xE;
// Some sectors of a read could not be read from the medium: they are zeros in
// the caller's buffer, and every other sector holds what the medium gave
// (see UnreadableSectors.h).
inline constexpr uint32_t kErrUnreadableSectors = 0x10;
// Scan drivers.
inline constexpr uint32_t kErrNoSearcherForFS = 0x401;
inline constexpr uint32_t kErrSearcherNotMade = 0x402;
inline constexpr uint32_t kErrScanBadRange = 0x403;
inline constexpr uint32_t kErrDeviceKindRefused = 0x404;
// Copy-out.
inline constexpr uint32_t kErrNoFileSystem = 0xD01;
inline constexpr uint32_t kErrNoReader = 0xD02;
inline constexpr uint32_t kErrShortWrite = 0xD03;  // destination full: pause and retry
// The copy holds only part of the file: what could be read or decoded was
// written, the rest is missing (a damaged compressed stream, reads that
// stopped making progress). The destination file stays.
inline constexpr uint32_t kErrIncomplete = 0xD04;
// The destination's file system takes no file this large (FAT32 above
// 4 GiB, ext4 above 16 TiB, a process file-size limit): that file fails
// alone; waiting for space would not help.
inline constexpr uint32_t kErrTooLarge = 0xD05;
inline constexpr uint32_t kErrDestinationNotOpened = 0xF;

inline constexpr uint8_t kFailureFlag = 0x01;

constexpr ResultCode MakeResult(uint8_t module, uint16_t line, uint32_t error) {
  return (ResultCode{kFailureFlag} << 56) | (ResultCode{module} << 48) | (ResultCode{line} << 32) | ResultCode{error};
}

constexpr bool IsSuccess(ResultCode code) { return (code >> 56) == 0; }
constexpr bool IsFailure(ResultCode code) { return !IsSuccess(code); }
constexpr uint8_t Module(ResultCode code) { return static_cast<uint8_t>(code >> 48); }
constexpr uint16_t Line(ResultCode code) { return static_cast<uint16_t>(code >> 32); }
constexpr uint32_t Error(ResultCode code) { return static_cast<uint32_t>(code); }

}  // namespace result

// A failure of `module` at the current source line; for modules whose codes
// are not fixed by callers.
#define RESULT_FAILURE(module, error) (::result::MakeResult((module), static_cast<uint16_t>(__LINE__), (error)))
