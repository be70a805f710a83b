// Devices that already hold sectors in memory lend them for reading in place.
//
// The complete scan's read-ahead cache holds the block that the pass is on.
// A searcher that only reads the block borrows it instead of copying 4 MiB
// out of the cache for every block (copies were half of the scan's time):
//
//   const uint8_t* block = BorrowSectors(m_device, firstSector, sectorCount);
//   if (block == nullptr) {
//     ... ReadSector into a buffer of its own, exactly as before ...
//   }
//
// The contract:
// - The answer is `count` whole sectors of GetSectorSize() bytes each, the
//   bytes ReadSector would give, or null when the device does not hold all of
//   them in memory, when any of them could not be read, or when they were read
//   with another sector size than the device reports now. Null is never a
//   failure: ReadSector serves the same request (and reports what it cannot
//   read), so a caller falls back on it and sees no difference.
// - The bytes are read-only: never write through the pointer (cast away its
//   const for an older interface only where the callee is known not to write).
//   Never read before the first or past the last sector borrowed.
// - The pointer stays good until the device's held block changes. For the
//   scan's cache: during the AnalyzeBlock call that the sectors belong to, on
//   the scan's worker thread. Never keep it past that call, never hand it to
//   another thread.
#pragma once

#include <cstdint>

#include "StorageDevice.h"

class ISectorLender {
 public:
  virtual const uint8_t* BorrowSectors(int64_t firstSector, int64_t sectorCount) = 0;

 protected:
  ~ISectorLender() = default;
};

// Sectors [firstSector, firstSector + sectorCount) of `device` in place, or
// null when `device` lends none (see above).
inline const uint8_t* BorrowSectors(IStorageDevice* device, int64_t firstSector, int64_t sectorCount) {
  auto* lender = dynamic_cast<ISectorLender*>(device);
  return lender != nullptr ? lender->BorrowSectors(firstSector, sectorCount) : nullptr;
}

// The same for a searcher that reads `device` in sectors of `sectorSize`
// bytes: sectors of another size lend nothing, since the lent block would
// not be the one the searcher asks for.
inline const uint8_t* BorrowSectors(IStorageDevice* device, uint32_t sectorSize, int64_t firstSector,
                                    int64_t sectorCount) {
  if (device == nullptr || device->GetSectorSize() != sectorSize) return nullptr;
  return BorrowSectors(device, firstSector, sectorCount);
}
