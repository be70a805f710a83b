#include "hfsplus/Decmpfs.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "OnDiskBytes.h"
#include "hfsplus/Lzvn.h"

namespace hfsplus {

namespace {

using ondisk::Be32;
using ondisk::Le32;
using ondisk::Le64;

bool IsZlib(uint32_t type) { return type == kDecmpfsZlibInline || type == kDecmpfsZlibFork; }

// A compressed chunk takes at most its plain size plus a marker byte, or
// zlib's small overhead on incompressible data.
constexpr uint32_t kMaxChunkBytes = kDecmpfsChunk + 1024;

}  // namespace

bool CDecmpfsContent::Open(const uint8_t* attribute, size_t attributeLength, uint64_t forkSize, ForkReader forkReader) {
  if (attribute == nullptr || attributeLength < 16) return Fail("decmpfs attribute shorter than its header");
  if (Le32(attribute) != kDecmpfsMagic) return Fail("decmpfs magic missing");
  m_type = Le32(attribute + 4);
  m_size = Le64(attribute + 8);
  m_forkSize = forkSize;
  m_fork = std::move(forkReader);
  const size_t dataLength = attributeLength - 16;
  switch (m_type) {
    case kDecmpfsZlibInline:
    case kDecmpfsLzvnInline:
      if (m_size > kMaxExpansion * dataLength) return Fail("decmpfs size beyond what the inline data can expand to");
      m_inline.assign(attribute + 16, attribute + attributeLength);
      if (m_size != 0 && m_inline.empty()) return Fail("decmpfs inline data missing");
      return true;
    case kDecmpfsZlibFork:
      return OpenZlibTable();
    case kDecmpfsLzvnFork:
      return OpenLzvnTable();
    default:
      return Fail("decmpfs compression type not read");
  }
}

bool CDecmpfsContent::OpenZlibTable() {
  // A big-endian resource-fork head whose first word is the offset of the
  // resource data; there a big-endian length, then a little-endian count of
  // {offset, size} entries counted from 4 bytes after the data offset.
  if (!m_fork || m_forkSize < 16) return Fail("resource fork too short");
  uint8_t head[16];
  if (m_fork(0, head, 16) != 16) return Fail("resource fork unreadable");
  const uint64_t dataOffset = Be32(head);
  uint8_t countBytes[8];
  if (dataOffset > m_forkSize || m_forkSize - dataOffset < 8 || m_fork(dataOffset, countBytes, 8) != 8) {
    return Fail("resource data outside the fork");
  }
  const uint64_t count = Le32(countBytes + 4);
  const uint64_t needed = (m_size + kDecmpfsChunk - 1) / kDecmpfsChunk;
  if (count != needed) return Fail("chunk count does not match the size");
  const uint64_t base = dataOffset + 4;
  if ((m_forkSize - dataOffset - 8) / 8 < count) return Fail("chunk table leaves the fork");
  std::vector<uint8_t> table(count * 8);
  if (count != 0 && m_fork(dataOffset + 8, table.data(), table.size()) != table.size()) {
    return Fail("chunk table unreadable");
  }
  uint64_t previous = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t offset = base + Le32(&table[i * 8]);
    const uint32_t size = Le32(&table[i * 8 + 4]);
    if (offset < previous || size == 0 || size > kMaxChunkBytes || offset > m_forkSize || m_forkSize - offset < size) {
      return Fail("chunk table entry outside the fork");
    }
    previous = offset;
    m_chunks.emplace_back(offset, size);
  }
  return true;
}

bool CDecmpfsContent::OpenLzvnTable() {
  // Little-endian chunk offsets; the first is the table's own size, chunk i
  // spans from entry i to entry i + 1.
  if (!m_fork || m_forkSize < 4) return Fail("resource fork too short");
  uint8_t first[4];
  if (m_fork(0, first, 4) != 4) return Fail("resource fork unreadable");
  const uint64_t tableSize = Le32(first);
  const uint64_t needed = (m_size + kDecmpfsChunk - 1) / kDecmpfsChunk;
  if (tableSize % 4 != 0 || tableSize < 4 || tableSize > m_forkSize || tableSize / 4 - 1 != needed) {
    return Fail("chunk table does not match the size");
  }
  std::vector<uint8_t> table(tableSize);
  if (m_fork(0, table.data(), tableSize) != tableSize) return Fail("chunk table unreadable");
  uint64_t previous = tableSize;
  for (uint64_t i = 0; i < needed; ++i) {
    const uint64_t start = Le32(&table[i * 4]);
    const uint64_t last = Le32(&table[(i + 1) * 4]);
    if (start < previous || last < start || last > m_forkSize || last - start > kMaxChunkBytes || last == start) {
      return Fail("chunk table entry outside the fork");
    }
    previous = start;
    m_chunks.emplace_back(start, static_cast<uint32_t>(last - start));
  }
  return true;
}

bool CDecmpfsContent::Decode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength) {
  if (outLength == 0) return true;
  if (inLength == 0) return false;
  // A chunk that did not shrink is kept as it was, behind a marker byte.
  const bool stored = IsZlib(m_type) ? (in[0] & 0x0F) == 0x0F : in[0] == 0x06;
  if (stored) {
    if (inLength - 1 < outLength) return false;
    std::memcpy(out, in + 1, outLength);
    return true;
  }
  if (IsZlib(m_type)) {
    uLongf produced = static_cast<uLongf>(outLength);
    const int rc = uncompress(out, &produced, in, static_cast<uLong>(inLength));
    // Z_BUF_ERROR: the stream holds more than its chunk may; Z_OK with fewer
    // bytes: it holds less. Either way the chunk is not this file's.
    return rc == Z_OK && produced == outLength;
  }
  return LzvnDecode(in, inLength, out, outLength) == static_cast<int64_t>(outLength);
}

bool CDecmpfsContent::LoadChunk(uint64_t index) {
  if (index == m_chunkIndex) return true;
  m_chunkIndex = UINT64_MAX;
  const uint64_t plain = std::min<uint64_t>(kDecmpfsChunk, m_size - index * kDecmpfsChunk);
  m_chunk.resize(plain);
  if (index >= m_chunks.size()) return false;
  const auto [offset, size] = m_chunks[index];
  std::vector<uint8_t> packed(size);
  if (m_fork(offset, packed.data(), size) != size) return false;
  if (!Decode(packed.data(), size, m_chunk.data(), plain)) return false;
  m_chunkIndex = index;
  return true;
}

int64_t CDecmpfsContent::Read(uint64_t offset, uint8_t* buffer, uint64_t length) {
  if (buffer == nullptr || offset >= m_size) return 0;
  length = std::min(length, m_size - offset);
  if (m_type == kDecmpfsZlibInline || m_type == kDecmpfsLzvnInline) {
    // Inline content is small (bounded by the attribute): one chunk of it all.
    if (m_chunkIndex != 0) {
      m_chunkIndex = UINT64_MAX;
      m_chunk.resize(m_size);
      if (!Decode(m_inline.data(), m_inline.size(), m_chunk.data(), m_size)) return -1;
      m_chunkIndex = 0;
    }
    std::memcpy(buffer, m_chunk.data() + offset, length);
    return static_cast<int64_t>(length);
  }
  uint64_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t index = at / kDecmpfsChunk;
    if (!LoadChunk(index)) return -1;
    const uint64_t within = at - index * kDecmpfsChunk;
    const uint64_t n = std::min(length - done, m_chunk.size() - within);
    std::memcpy(buffer + done, m_chunk.data() + within, n);
    done += n;
  }
  return static_cast<int64_t>(done);
}

}  // namespace hfsplus
