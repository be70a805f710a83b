// The fixed result codes of device enumeration (module 0x03). Callers and
// logs compare them as numbers, so each keeps its own line field.
#pragma once

#include "ResultCode.h"

namespace enumcode {

using result::MakeResult;
inline constexpr uint8_t kModule = result::kModuleEnumDevice;

// Init found no usable disk.
inline constexpr ResultCode kNoDisk = MakeResult(kModule, 0x3A, 1);
// Init found disks but may open none of them: the process lacks permission
// to read raw devices (it needs root or membership of the "disk" group).
inline constexpr ResultCode kNoDiskPermission = MakeResult(kModule, 0x3B, 1);
// Init could not make what it needed (memory ran out).
inline constexpr ResultCode kInitFailed = MakeResult(kModule, 0x3D, result::kErrCreateFailed);
// The block-device list itself could not be read.
inline constexpr ResultCode kNoMediaList = MakeResult(kModule, 0x3C, result::kErrIO);

// The enumeration operations.
inline constexpr ResultCode kUninitNotInitialized = MakeResult(kModule, 0x5E, result::kErrNotInitialized);
inline constexpr ResultCode kDiskNotInitialized = MakeResult(kModule, 0x72, result::kErrNotInitialized);
inline constexpr ResultCode kDiskArrayTooSmall = MakeResult(kModule, 0x7D, result::kErrArrayTooSmall);
inline constexpr ResultCode kPartNotInitialized = MakeResult(kModule, 0x8E, result::kErrNotInitialized);
inline constexpr ResultCode kPartNullDisk = MakeResult(kModule, 0x93, result::kErrMissingData);
inline constexpr ResultCode kPartUnknownDisk = MakeResult(kModule, 0x9A, result::kErrBadArgument);
inline constexpr ResultCode kPartArrayTooSmall = MakeResult(kModule, 0xA6, result::kErrArrayTooSmall);
inline constexpr ResultCode kVolNotInitialized = MakeResult(kModule, 0xB5, result::kErrNotInitialized);
inline constexpr ResultCode kVolNullDisk = MakeResult(kModule, 0xBA, result::kErrMissingData);
inline constexpr ResultCode kVolUnknownDisk = MakeResult(kModule, 0xC1, result::kErrBadArgument);
inline constexpr ResultCode kVolArrayTooSmall = MakeResult(kModule, 0xCD, result::kErrArrayTooSmall);

// Partitions of one disk.
inline constexpr ResultCode kPartNoDiskRecord = MakeResult(kModule, 0xE4, result::kErrMissingData);
inline constexpr ResultCode kPartNotMade = MakeResult(kModule, 0xEC, result::kErrNotInitialized);
inline constexpr ResultCode kPartRecordNotWrapped = MakeResult(kModule, 0xF8, result::kErrNotInitialized);

// Converting a partition into a volume.
inline constexpr ResultCode kConvertNotPartition = MakeResult(kModule, 0x117, result::kErrBadArgument);
inline constexpr ResultCode kConvertNoRecord = MakeResult(kModule, 0x11E, result::kErrMissingData);
inline constexpr ResultCode kConvertNotMade = MakeResult(kModule, 0x125, result::kErrNotInitialized);
inline constexpr ResultCode kConvertRecordNotWrapped = MakeResult(kModule, 0x134, result::kErrNotInitialized);
inline constexpr ResultCode kConvertRecordInUse = MakeResult(kModule, 0x14B, result::kErrNotSupported);
inline constexpr ResultCode kConvertNullArgument = MakeResult(kModule, 0x150, result::kErrBadArgument);

}  // namespace enumcode
