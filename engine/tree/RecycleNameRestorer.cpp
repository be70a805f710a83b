#include "tree/RecycleNameRestorer.h"

#include <atomic>

namespace {

std::atomic<IRecycleNameRestorer*> g_restorer{nullptr};

}  // namespace

void SetRecycleNameRestorer(IRecycleNameRestorer* restorer) { g_restorer.store(restorer, std::memory_order_release); }

IRecycleNameRestorer* GetRecycleNameRestorer() { return g_restorer.load(std::memory_order_acquire); }
