// The mount-table parser over arbitrary text: mount points come from users
// (folder names) and reach the parser escaped by the kernel.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "enumeration/MountInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto table = ParseMountInfo(text);
  for (const MountEntry& entry : table) {
    (void)FindMountPoint(table, entry.major, entry.minor);
    if (entry.mountPoint.empty() || entry.root.empty()) __builtin_trap();
  }
  (void)UnescapeMountField(text);
  return 0;
}
