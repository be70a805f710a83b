// Tells a file system's own boot sector from a partition table. Both end in
// 55 AA, but in a boot sector the bytes where a table would be are boot code,
// and reading them as partition entries offers garbage for scanning.
#pragma once

#include <cstddef>
#include <cstdint>

namespace partition {

// True when the 512 bytes at `sector` are the boot sector of a FAT, exFAT or
// NTFS file system.
bool IsFileSystemBootSector(const uint8_t* sector);

// True when sector 0 is such a boot sector and does not also hold a plausible
// table (a valid boot indicator in every entry and at least one entry that
// describes a partition inside a disk of `totalSectors` sectors).
bool IsWholeDiskFileSystem(const uint8_t* sector, int64_t totalSectors);

}  // namespace partition
