// Plain enumerations shared by the engine and the application.
#pragma once

#include <cstdint>

// File-system type codes; the names are what the user interface shows.
// No analyzer yields EXT2, EXT3 or RAW.
enum enumFILE_SYSTEM_TYPE : int {
  FILE_SYSTEM_TYPE_FAT12 = 0,
  FILE_SYSTEM_TYPE_FAT16 = 1,
  FILE_SYSTEM_TYPE_FAT32 = 2,
  FILE_SYSTEM_TYPE_NTFS = 3,
  FILE_SYSTEM_TYPE_EXT2 = 4,
  FILE_SYSTEM_TYPE_EXT3 = 5,
  FILE_SYSTEM_TYPE_RAW = 6,
  FILE_SYSTEM_TYPE_EXFAT = 7,
  FILE_SYSTEM_TYPE_HFSPLUS = 8,
  FILE_SYSTEM_TYPE_UNKNOWN = 9,
};

// "FAT12", "FAT16", ... "HFS+", "Unknown"; any code outside 0-8 is "Unknown".
const char* FileSystemTypeName(int type);

// The bus a disk hangs on.
enum DiskBusType : int {
  DiskBusOther = 0,
  DiskBusATA = 1,
  DiskBusSATA = 2,
  DiskBusSCSI = 3,
  DiskBusUSB = 4,
  DiskBusVirtual = 5,
};

// "" for other, then "ATA", "SATA", "SCSI", "USB", "Virtual Interface".
const char* DiskBusTypeName(int bus);

// Which searcher found a node; 36 means none.
enum _tagSearcherType : int {
  SEARCHER_TYPE_HFSPLUS = 31,
  SEARCHER_TYPE_FAT = 32,
  SEARCHER_TYPE_EXFAT = 33,
  SEARCHER_TYPE_RAW = 34,
  SEARCHER_TYPE_NTFS = 35,
  SEARCHER_TYPE_NONE = 36,
};
