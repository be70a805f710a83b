// Readers of one fork of an HFS+ file: the extents of its fork data, then
// the overflow records of the extents tree, read through the volume.
#pragma once

#include <cstdint>
#include <vector>

#include "ResultCode.h"
#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;

class CHFSPlusRawfile {
 public:
  // The extent list of `fork` of file `fileID` (forkType 0x00 data, 0xFF
  // resource); overflow records come from the volume's extents tree, which
  // must exist already (the extents file itself never overflows).
  CHFSPlusRawfile(CHFSPlusVolume* volume, uint32_t fileID, const HFSPlusForkData& fork,
                  uint8_t forkType = hfsplus::kDataForkType);
  virtual ~CHFSPlusRawfile() = default;
  CHFSPlusRawfile(const CHFSPlusRawfile&) = delete;
  CHFSPlusRawfile& operator=(const CHFSPlusRawfile&) = delete;

  // Bytes of the fork from `offset`; answers the bytes delivered (fewer on
  // failure, with the last error set).
  virtual uint64_t Read(uint64_t offset, uint8_t* buffer, uint64_t length);
  // As Read, taking sectors a failing medium could not give as zeros: their
  // bytes [from, to) in the request are appended to `lost`.
  uint64_t Read(uint64_t offset, uint8_t* buffer, uint64_t length, hfsplus::ByteRanges* lost);

  ResultCode GetLastError() const { return m_lastError; }
  uint32_t GetFileID() const { return m_fileID; }
  const std::vector<HFSPlusExtentDescriptor>& GetExtents() const { return m_extents; }
  // Bytes the listed extents cover.
  uint64_t GetMappedBytes() const;

 protected:
  CHFSPlusVolume* m_volume;
  uint32_t m_fileID;
  ResultCode m_lastError = 0;
  std::vector<HFSPlusExtentDescriptor> m_extents;
};

// The catalog file held in memory (up to 256 MiB, and no more than what is
// left of the memory all held catalogs share, hfsplus::CatalogMemory):
// catalog walks and key look-ups then touch the device only for what lies
// beyond the held part.
class CHFSPlusFileCache final : public CHFSPlusRawfile {
 public:
  static constexpr uint64_t kMaxCached = 0x10000000;

  CHFSPlusFileCache(CHFSPlusVolume* volume, uint32_t fileID, const HFSPlusForkData& fork);
  ~CHFSPlusFileCache() override;
  // A range that meets bytes the medium could not give stops there.
  uint64_t Read(uint64_t offset, uint8_t* buffer, uint64_t length) override;
  uint64_t GetCachedBytes() const { return m_cache.size(); }

 private:
  std::vector<uint8_t> m_cache;
  hfsplus::ByteRanges m_lost;  // of the held part, ascending
  uint64_t m_taken = 0;        // of the shared catalog memory
};

// Overflow records a fork may chain through before its reader gives up;
// well above any real file's fragmentation.
namespace hfsplus {
inline constexpr uint32_t kMaxOverflowRecords = 1u << 20;

// The extents of a fork: its own eight, then the overflow records found
// through `volume` (tree first, then the journal's records). Stops when the
// fork's blocks are covered, when a record adds nothing, or when none is
// found; answers false in that last case.
bool CollectForkExtents(CHFSPlusVolume* volume, uint32_t fileID, uint8_t forkType, const HFSPlusForkData& fork,
                        bool useOverflow, std::vector<HFSPlusExtentDescriptor>& out);
}  // namespace hfsplus
