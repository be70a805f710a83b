// Content of HFS+ compressed files: the "com.apple.decmpfs" attribute's
// header, and the compressed bytes either inline behind it (types 3 zlib,
// 7 LZVN) or in the resource fork as a table of 64 KiB chunks (types 4
// zlib, 8 LZVN). Everything here is checked before it is used: sizes
// against what the attribute or fork can hold, tables against the fork,
// and decoding never goes beyond the one chunk a read needs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace hfsplus {

inline constexpr uint32_t kDecmpfsMagic = 0x636D7066;  // "fpmc" as a little-endian number
inline constexpr uint32_t kDecmpfsChunk = 0x10000;
// zlib expands at most about 1032 times; LZVN less.
inline constexpr uint64_t kMaxExpansion = 1032;

enum DecmpfsType : uint32_t {
  kDecmpfsZlibInline = 3,
  kDecmpfsZlibFork = 4,
  kDecmpfsLzvnInline = 7,
  kDecmpfsLzvnFork = 8,
};

class CDecmpfsContent {
 public:
  // Reads `length` bytes of the resource fork from `offset`; answers the
  // bytes delivered.
  using ForkReader = std::function<uint64_t(uint64_t offset, uint8_t* buffer, uint64_t length)>;

  // Checks the attribute (and, for the fork kinds, the fork's chunk table);
  // false with a reason when the content cannot be decoded.
  bool Open(const uint8_t* attribute, size_t attributeLength, uint64_t forkSize, ForkReader forkReader);

  uint32_t GetType() const { return m_type; }
  uint64_t GetSize() const { return m_size; }
  const char* GetError() const { return m_error; }

  // Copies up to `length` bytes of the decoded content from `offset` and
  // answers the count; -1 when the chunk at `offset` is not in the table. A
  // damaged chunk gives the bytes that decode before the damage and zeros
  // for the rest of it, and marks the content incomplete.
  int64_t Read(uint64_t offset, uint8_t* buffer, uint64_t length);
  // Whether a read met content that did not decode whole.
  bool IsIncomplete() const { return m_incomplete; }

 private:
  bool Fail(const char* why) {
    m_error = why;
    return false;
  }
  bool OpenZlibTable();
  bool OpenLzvnTable();
  // Decodes chunk `index` into m_chunk (kept until another is needed).
  bool LoadChunk(uint64_t index);
  // The bytes decoded into `out` before the data ended or turned bad;
  // `clean` when the stream filled `out` exactly and ended well.
  size_t Decode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength, bool& clean);

  uint32_t m_type = 0;
  uint64_t m_size = 0;
  const char* m_error = nullptr;
  std::vector<uint8_t> m_inline;
  uint64_t m_forkSize = 0;
  ForkReader m_fork;
  // Fork kinds: where each chunk's bytes lie in the fork.
  std::vector<std::pair<uint64_t, uint32_t>> m_chunks;
  std::vector<uint8_t> m_chunk;
  uint64_t m_chunkIndex = UINT64_MAX;
  bool m_chunkWhole = false;  // m_chunk decoded whole
  bool m_incomplete = false;
};

}  // namespace hfsplus
