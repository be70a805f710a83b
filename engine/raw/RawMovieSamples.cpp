#include "raw/RawMovieSamples.h"

#include <cstring>

#include "OnDiskBytes.h"
#include "raw/RawFileBuffer.h"

namespace {

// Movie boxes larger than this are not looked into; no table holds more
// entries, and no more parts are kept.
constexpr uint64_t kMaxMovie = uint64_t{64} << 20;
constexpr uint32_t kMaxEntries = 1u << 20;
constexpr size_t kMaxParts = size_t{1} << 16;
constexpr int kMaxDepth = 6;

class Samples {
 public:
  Samples(RawFileBuffer& buffer, std::vector<CRawFileInfo::Part>& parts) : m_buffer(buffer), m_parts(parts) {}

  // The boxes in [at, end), and those inside the ones that hold boxes.
  void Walk(uint64_t at, uint64_t end, int depth) {
    RawBox box;
    while (depth < kMaxDepth && ReadRawBox(m_buffer, at, end, box)) {
      if (box.Is("trak") || box.Is("mdia") || box.Is("minf")) Walk(box.Body(), box.End(), depth + 1);
      if (box.Is("stbl")) Table(box);
      at = box.End();
    }
  }

 private:
  bool U32(uint64_t at, uint32_t& out) {
    const uint8_t* b = m_buffer.Get(at, 4);
    if (b == nullptr) return false;
    out = ondisk::Be32(b);
    return true;
  }
  bool U64(uint64_t at, uint64_t& out) {
    const uint8_t* b = m_buffer.Get(at, 8);
    if (b == nullptr) return false;
    out = ondisk::Be64(b);
    return true;
  }
  // The count of a table that starts `skip` bytes into the box's body (past
  // its version and flags), its entries `width` bytes each: 0 when they do
  // not fit in the box.
  uint32_t Count(const RawBox& box, uint64_t skip, uint64_t width) {
    uint32_t count = 0;
    if (box.size < box.header + skip + 4 || !U32(box.Body() + skip, count) || count > kMaxEntries) return 0;
    return count * width <= box.End() - (box.Body() + skip + 4) ? count : 0;
  }

  // One track's sample table: chunk offsets, samples per chunk, sizes.
  void Table(const RawBox& stbl) {
    std::vector<uint64_t> chunks;
    std::vector<std::pair<uint32_t, uint32_t>> runs;  // first chunk (from 1), samples per chunk
    std::vector<uint32_t> sizes;
    uint32_t fixed = 0, samples = 0;
    RawBox box;
    for (uint64_t at = stbl.Body(); ReadRawBox(m_buffer, at, stbl.End(), box); at = box.End()) {
      if (box.Is("stco") || box.Is("co64")) {
        const uint64_t width = box.Is("co64") ? 8 : 4;
        const uint32_t count = Count(box, 4, width);
        chunks.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
          const uint64_t entry = box.Body() + 8 + i * width;
          uint32_t low = 0;
          if (width == 8 ? !U64(entry, chunks[i]) : !U32(entry, low)) return;
          if (width == 4) chunks[i] = low;
        }
      } else if (box.Is("stsc")) {
        const uint32_t count = Count(box, 4, 12);
        runs.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
          const uint64_t entry = box.Body() + 8 + i * uint64_t{12};
          if (!U32(entry, runs[i].first) || !U32(entry + 4, runs[i].second)) return;
        }
      } else if (box.Is("stsz")) {
        if (!U32(box.Body() + 4, fixed)) return;
        samples = Count(box, 8, fixed != 0 ? 0 : 4);
        if (fixed == 0) {
          sizes.resize(samples);
          for (uint32_t i = 0; i < samples; ++i) {
            if (!U32(box.Body() + 12 + i * uint64_t{4}, sizes[i])) return;
          }
        }
      }
    }
    // Each chunk's samples lie one behind the other from its offset.
    uint64_t sample = 0;
    size_t run = 0;
    for (uint64_t c = 0; c < chunks.size() && sample < samples; ++c) {
      while (run + 1 < runs.size() && runs[run + 1].first <= c + 1) ++run;
      const uint32_t perChunk = run < runs.size() && runs[run].first <= c + 1 ? runs[run].second : 0;
      uint64_t at = chunks[c];
      for (uint32_t k = 0; k < perChunk && sample < samples; ++k, ++sample) {
        const uint64_t length = fixed != 0 ? fixed : sizes[sample];
        if (at % 512 == 0 && length != 0) {
          if (m_parts.size() >= kMaxParts) return;
          m_parts.push_back({at, length});
        }
        at += length;
      }
    }
  }

  RawFileBuffer& m_buffer;
  std::vector<CRawFileInfo::Part>& m_parts;
};

}  // namespace

bool ReadRawBox(RawFileBuffer& buffer, uint64_t at, uint64_t end, RawBox& box) {
  if (at >= end || end - at < 8) return false;
  const uint8_t* b = buffer.Get(at, 16);
  if (b == nullptr) return false;
  uint64_t size = ondisk::Be32(b), header = 8;
  if (size == 1) {
    size = ondisk::Be64(b + 8);
    header = 16;
  } else if (size == 0) {
    size = end - at;
  }
  if (size < header || size > end - at) return false;
  box.at = at;
  box.size = size;
  box.header = header;
  std::memcpy(box.type, b + 4, 4);
  return true;
}

void AddRawMovieSamples(RawFileBuffer& buffer, uint64_t at, uint64_t size, std::vector<CRawFileInfo::Part>& parts) {
  if (size > kMaxMovie) return;
  Samples(buffer, parts).Walk(at + 8, at + size, 0);
}
