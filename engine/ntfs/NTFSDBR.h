// The NTFS boot sector: the test that decides whether a sector starts an NTFS
// volume, its fields, and the volume geometry derived from them.
#pragma once

#include <cstdint>

class CNTFSDBR {
 public:
  static constexpr int kSize = 512;

  CNTFSDBR();  // zero-filled

  // Runs IsFullValidDBR on the kSize bytes at `sector`; on success keeps a
  // copy, else leaves the object unchanged and answers false.
  bool InitFromBuffer(const uint8_t* sector);

  // The full boot-sector test over the kSize bytes at `sector` (null: false).
  static bool IsFullValidDBR(const uint8_t* sector);
  // The OEM identifier test alone ("NTFS    " at offset 3).
  static bool IsValidDBR(const uint8_t* sector);

  // Fields as stored, unconverted.
  int64_t GetMFTStartCluster() const;
  int64_t GetMFTMirrorStartCluster() const;
  uint8_t GetSectorsperCluster() const;
  int64_t GetTotalSectors() const;  // in the boot sector's own sectors
  uint64_t GetSerialNumber() const;
  uint16_t GetBytesPerSector() const;
  int8_t GetClustersPerFileRecord() const;  // the signed byte at 0x40

  // Bytes of one FILE record: a negative byte n gives 2^-n, 0 gives 1024 and
  // a positive one that many clusters. 0 when the value cannot be a size
  // (2^-n does not fit in 32 bits).
  uint32_t GetFileRecordSizeByByte() const;
  // Bytes per sector x sectors per cluster.
  uint32_t GetClusterSizeByByte() const;

  // Copies the 8-byte OEM identifier (no terminator) and answers true; when
  // the object holds no NTFS boot sector it copies nothing and answers false.
  bool GetFileSystemID(char* out) const;

  const uint8_t* GetBuffer() const { return dbr_; }

 private:
  uint8_t dbr_[kSize];
};

// Where things are on a volume in terms of the device that holds it. The boot
// sector counts in its own sectors, which need not be the device's (a volume
// made for 4 KiB sectors inside a 512-byte-sector image, or the reverse), so
// clusters are converted through bytes and a geometry that does not divide
// into whole device sectors is refused.
class CNTFSGeometry {
 public:
  // Takes the geometry of a boot sector that passed the full test, for a
  // device of `deviceSectorSize` bytes per sector (a non-zero multiple of 512).
  // Answers false, leaving the object empty, when the cluster is not a whole
  // number of device sectors, or the record size is not 1024, 2048 or 4096.
  bool Init(const CNTFSDBR& dbr, uint32_t deviceSectorSize);

  bool IsValid() const { return clusterBytes_ != 0; }
  uint32_t GetDeviceSectorSize() const { return deviceSectorSize_; }
  uint32_t GetBytesPerSector() const { return bytesPerSector_; }
  uint32_t GetSectorsPerCluster() const { return sectorsPerCluster_; }
  uint32_t GetClusterBytes() const { return clusterBytes_; }
  uint32_t GetFileRecordBytes() const { return fileRecordBytes_; }
  // The volume's size as its boot sector gives it (0 when it does not fit
  // 64 bits): no file's clusters lie past it.
  uint64_t GetVolumeBytes() const { return volumeBytes_; }
  uint32_t GetDeviceSectorsPerCluster() const { return IsValid() ? clusterBytes_ / deviceSectorSize_ : 0; }

  // The device sector of cluster `lcn` on a volume whose first sector is
  // `volumeStartSector`; -1 for a negative cluster (sparse) or when the sector
  // or its byte offset does not fit in 64 bits.
  int64_t ClusterToDeviceSector(int64_t lcn, int64_t volumeStartSector) const;
  // The byte offset on the device of FILE record `recordNumber` within an
  // MFT extent that starts at cluster `mftStartCluster`; -1 on overflow.
  int64_t FileRecordByteOffset(int64_t mftStartCluster, int64_t recordNumber, int64_t volumeStartSector) const;

 private:
  uint32_t deviceSectorSize_ = 0;
  uint32_t bytesPerSector_ = 0;
  uint32_t sectorsPerCluster_ = 0;
  uint32_t clusterBytes_ = 0;
  uint32_t fileRecordBytes_ = 0;
  uint64_t volumeBytes_ = 0;
};
