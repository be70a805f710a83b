// The journal sweep of the quick scan over a volume made of the input.
//
// Input: patches of an 8 MiB volume of zeros, each a little-endian u32 byte
// offset, a u16 length and that many bytes (the seeds patch in a journaled
// sample's volume header, journal info block, the used part of its journal
// and the header nodes of its trees). The volume is opened and quick-scanned:
// the journal's deleted records, then the catalog; the journal is also read
// across its wrap.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"

namespace {
constexpr size_t kDeviceBytes = 8 << 20;
volatile uint64_t g_sink;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> image(kDeviceBytes);
  std::vector<std::pair<size_t, size_t>> patched;
  for (size_t at = 0; at + 6 <= size;) {
    const size_t offset =
        (data[at] | size_t{data[at + 1]} << 8 | size_t{data[at + 2]} << 16 | size_t{data[at + 3]} << 24) % kDeviceBytes;
    size_t length = data[at + 4] | size_t{data[at + 5]} << 8;
    at += 6;
    length = std::min({length, size - at, kDeviceBytes - offset});
    std::memcpy(image.data() + offset, data + at, length);
    patched.emplace_back(offset, length);
    at += length;
  }
  {
    testsupport::BytesDevice device(image.data(), image.size(), 512);
    CHFSPlusVolume volume(&device, false);
    if (CHFSPlusJournal* journal = volume.GetJournal(); journal != nullptr && journal->IsUsable()) {
      uint8_t bytes[1024];
      g_sink = g_sink + journal->Read(journal->GetJournalSize() - 100, bytes, sizeof(bytes));
    }
    if (result::IsSuccess(volume.GetLastError())) {
      testsupport::KeepingTreeBuilder builder(true);
      CHFSPlusQuickFileSystemSearchProgress progress;
      g_sink = g_sink + volume.QuickSearchFiles(&builder, &progress);
      g_sink = g_sink + builder.nodes.size();
    }
  }
  for (const auto& [offset, length] : patched) std::memset(image.data() + offset, 0, length);
  return 0;
}
