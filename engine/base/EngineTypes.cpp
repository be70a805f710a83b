#include "EngineTypes.h"

const char* FileSystemTypeName(int type) {
  static const char* const kNames[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2",
                                       "EXT3",  "RAW",   "EXFAT", "HFS+", "Unknown"};
  if (type < 0 || type > FILE_SYSTEM_TYPE_UNKNOWN) return kNames[FILE_SYSTEM_TYPE_UNKNOWN];
  return kNames[type];
}

const char* DiskBusTypeName(int bus) {
  static const char* const kNames[] = {"", "ATA", "SATA", "SCSI", "USB", "Virtual Interface"};
  if (bus < 0 || bus > DiskBusVirtual) return kNames[DiskBusOther];
  return kNames[bus];
}
