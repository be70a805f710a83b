#include "hfsplus/HFSPlusCatalogMemory.h"

#include <algorithm>
#include <atomic>

namespace hfsplus {

namespace {

std::atomic<uint64_t> g_inUse{0};
std::atomic<uint64_t> g_cap{CatalogMemory::kDefaultCap};

}  // namespace

uint64_t CatalogMemory::Take(uint64_t want) {
  uint64_t used = g_inUse.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t cap = g_cap.load(std::memory_order_relaxed);
    const uint64_t granted = used >= cap ? 0 : std::min(want, cap - used);
    if (granted == 0) return 0;
    if (g_inUse.compare_exchange_weak(used, used + granted, std::memory_order_relaxed)) return granted;
  }
}

void CatalogMemory::Give(uint64_t bytes) {
  uint64_t used = g_inUse.load(std::memory_order_relaxed);
  while (!g_inUse.compare_exchange_weak(used, used - std::min(used, bytes), std::memory_order_relaxed)) {
  }
}

uint64_t CatalogMemory::InUse() { return g_inUse.load(std::memory_order_relaxed); }

uint64_t CatalogMemory::Cap() { return g_cap.load(std::memory_order_relaxed); }

void CatalogMemory::SetCap(uint64_t bytes) { g_cap.store(bytes, std::memory_order_relaxed); }

}  // namespace hfsplus
