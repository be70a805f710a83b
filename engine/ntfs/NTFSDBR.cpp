#include "ntfs/NTFSDBR.h"

#include <cstring>

#include "OnDiskBytes.h"
#include "ntfs/NTFSBytes.h"

using ondisk::Le16;
using ondisk::Le64;

namespace {
constexpr char kOemId[] = "NTFS    ";
}

CNTFSDBR::CNTFSDBR() { std::memset(dbr_, 0, sizeof dbr_); }

bool CNTFSDBR::InitFromBuffer(const uint8_t* sector) {
  if (!IsFullValidDBR(sector)) return false;
  std::memcpy(dbr_, sector, sizeof dbr_);
  return true;
}

bool CNTFSDBR::IsValidDBR(const uint8_t* sector) {
  return sector != nullptr && std::memcmp(sector + 3, kOemId, 8) == 0;
}

bool CNTFSDBR::IsFullValidDBR(const uint8_t* sector) {
  if (!IsValidDBR(sector)) return false;
  const uint16_t bytesPerSector = Le16(sector + 0x0B);
  if (bytesPerSector == 0 || bytesPerSector % 512 != 0) return false;
  if (Le16(sector + 0x0E) != 0) return false;
  switch (sector[0x0D]) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 32:
    case 64:
    case 128:
      break;
    default:
      return false;
  }
  // Fields that NTFS keeps zero where FAT has its counts; 0x15 (the media
  // descriptor) varies between formatters and is left out.
  static constexpr int kZeroBytes[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23};
  for (int offset : kZeroBytes) {
    if (sector[offset] != 0) return false;
  }
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

int64_t CNTFSDBR::GetMFTStartCluster() const { return static_cast<int64_t>(Le64(dbr_ + 0x30)); }
int64_t CNTFSDBR::GetMFTMirrorStartCluster() const { return static_cast<int64_t>(Le64(dbr_ + 0x38)); }
uint8_t CNTFSDBR::GetSectorsperCluster() const { return dbr_[0x0D]; }
int64_t CNTFSDBR::GetTotalSectors() const { return static_cast<int64_t>(Le64(dbr_ + 0x28)); }
uint64_t CNTFSDBR::GetSerialNumber() const { return Le64(dbr_ + 0x48); }
uint16_t CNTFSDBR::GetBytesPerSector() const { return Le16(dbr_ + 0x0B); }
int8_t CNTFSDBR::GetClustersPerFileRecord() const { return static_cast<int8_t>(dbr_[0x40]); }

uint32_t CNTFSDBR::GetFileRecordSizeByByte() const {
  const int value = GetClustersPerFileRecord();
  if (value < 0) {
    const int shift = -value;
    return shift < 32 ? (uint32_t{1} << shift) : 0;
  }
  if (value == 0) return 1024;
  // At most 127 x 65535 x 255: fits in 32 bits.
  return static_cast<uint32_t>(value) * GetBytesPerSector() * GetSectorsperCluster();
}

uint32_t CNTFSDBR::GetClusterSizeByByte() const { return uint32_t{GetBytesPerSector()} * GetSectorsperCluster(); }

bool CNTFSDBR::GetFileSystemID(char* out) const {
  if (out == nullptr || !IsValidDBR(dbr_)) return false;
  std::memcpy(out, dbr_ + 3, 8);
  return true;
}

bool CNTFSGeometry::Init(const CNTFSDBR& dbr, uint32_t deviceSectorSize) {
  *this = CNTFSGeometry();
  if (!CNTFSDBR::IsFullValidDBR(dbr.GetBuffer())) return false;
  if (deviceSectorSize == 0 || deviceSectorSize % 512 != 0) return false;
  const uint32_t clusterBytes = dbr.GetClusterSizeByByte();
  if (clusterBytes == 0 || clusterBytes % deviceSectorSize != 0) return false;
  const uint32_t recordBytes = dbr.GetFileRecordSizeByByte();
  if (recordBytes != 1024 && recordBytes != 2048 && recordBytes != 4096) return false;
  deviceSectorSize_ = deviceSectorSize;
  bytesPerSector_ = dbr.GetBytesPerSector();
  sectorsPerCluster_ = dbr.GetSectorsperCluster();
  clusterBytes_ = clusterBytes;
  fileRecordBytes_ = recordBytes;
  const int64_t sectors = dbr.GetTotalSectors();
  if (sectors <= 0 ||
      __builtin_mul_overflow(static_cast<uint64_t>(sectors), uint64_t{bytesPerSector_}, &volumeBytes_)) {
    volumeBytes_ = 0;
  }
  return true;
}

int64_t CNTFSGeometry::ClusterToDeviceSector(int64_t lcn, int64_t volumeStartSector) const {
  if (!IsValid() || lcn < 0 || volumeStartSector < 0) return -1;
  int64_t sector;
  if (__builtin_mul_overflow(lcn, static_cast<int64_t>(GetDeviceSectorsPerCluster()), &sector)) return -1;
  if (__builtin_add_overflow(sector, volumeStartSector, &sector)) return -1;
  // The sector must also be addressable in bytes.
  int64_t bytes;
  if (__builtin_mul_overflow(sector, static_cast<int64_t>(deviceSectorSize_), &bytes)) return -1;
  return sector;
}

int64_t CNTFSGeometry::FileRecordByteOffset(int64_t mftStartCluster, int64_t recordNumber,
                                            int64_t volumeStartSector) const {
  if (!IsValid() || recordNumber < 0) return -1;
  const int64_t sector = ClusterToDeviceSector(mftStartCluster, volumeStartSector);
  if (sector < 0) return -1;
  int64_t offset, recordOffset;
  if (__builtin_mul_overflow(sector, static_cast<int64_t>(deviceSectorSize_), &offset)) return -1;
  if (__builtin_mul_overflow(recordNumber, static_cast<int64_t>(fileRecordBytes_), &recordOffset)) return -1;
  if (__builtin_add_overflow(offset, recordOffset, &offset)) return -1;
  return offset;
}
