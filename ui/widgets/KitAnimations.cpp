#include "ui/widgets/KitAnimations.h"

#include <atomic>

namespace KitAnimations {
namespace {
std::atomic<bool> g_enabled{true};
}

void SetEnabled(bool enabled) { g_enabled = enabled; }
bool Enabled() { return g_enabled; }
int Duration(int milliseconds) { return g_enabled ? milliseconds : 0; }

}  // namespace KitAnimations
