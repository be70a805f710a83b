// The memory that the catalogs held in memory share, whatever number of
// volumes are open at once: a complete scan may open a volume for every HFS+
// volume it meets on a disk (a disk full of disk images holds hundreds), and
// each catalog alone may be large. What a catalog cannot have is read from
// the device when it is needed.
#pragma once

#include <cstdint>

namespace hfsplus {

class CatalogMemory {
 public:
  static constexpr uint64_t kDefaultCap = 0x10000000;  // 256 MiB in all

  // Takes up to `want` bytes of what is left; answers the bytes taken.
  static uint64_t Take(uint64_t want);
  // Gives back bytes taken before.
  static void Give(uint64_t bytes);
  static uint64_t InUse();
  static uint64_t Cap();
  // Sets the cap (from then on; what is held stays held).
  static void SetCap(uint64_t bytes);
};

}  // namespace hfsplus
