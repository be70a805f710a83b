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

size_t CDecmpfsContent::Decode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength, bool& clean) {
  clean = outLength == 0;
  if (outLength == 0 || inLength == 0) return 0;
  // A chunk that did not shrink is kept as it was, behind a marker byte.
  const bool stored = IsZlib(m_type) ? (in[0] & 0x0F) == 0x0F : in[0] == 0x06;
  if (stored) {
    const size_t n = std::min(inLength - 1, outLength);
    std::memcpy(out, in + 1, n);
    clean = n == outLength;
    return n;
  }
  if (IsZlib(m_type)) {
    // Inflated step by step, so that a damaged stream still gives the bytes
    // before the damage; more than the chunk may hold is cut at its end.
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return 0;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(inLength);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(outLength);
    int rc = Z_OK;
    while (z.avail_out != 0 && (rc = inflate(&z, Z_NO_FLUSH)) == Z_OK) {
    }
    // Whole only when the stream ends, checksum included, exactly at the
    // chunk's end.
    if (rc == Z_OK && z.avail_out == 0) rc = inflate(&z, Z_NO_FLUSH);
    const size_t produced = outLength - z.avail_out;
    clean = rc == Z_STREAM_END && produced == outLength;
    inflateEnd(&z);
    return produced;
  }
  size_t produced = 0;
  clean = LzvnDecode(in, inLength, out, outLength, &produced) == static_cast<int64_t>(outLength);
  return produced;
}

bool CDecmpfsContent::LoadChunk(uint64_t index) {
  if (index == m_chunkIndex) return true;
  m_chunkIndex = UINT64_MAX;
  if (index >= m_chunks.size()) return false;
  const uint64_t plain = std::min<uint64_t>(kDecmpfsChunk, m_size - index * kDecmpfsChunk);
  m_chunk.assign(plain, 0);
  const auto [offset, size] = m_chunks[index];
  std::vector<uint8_t> packed(size);
  const uint64_t read = m_fork(offset, packed.data(), size);
  bool clean = false;
  Decode(packed.data(), static_cast<size_t>(std::min<uint64_t>(read, size)), m_chunk.data(), plain, clean);
  m_chunkIndex = index;
  m_chunkWhole = read == size && clean;
  return true;
}

int64_t CDecmpfsContent::Read(uint64_t offset, uint8_t* buffer, uint64_t length) {
  if (buffer == nullptr || offset >= m_size) return 0;
  length = std::min(length, m_size - offset);
  if (m_type == kDecmpfsZlibInline || m_type == kDecmpfsLzvnInline) {
    // Inline content is small (bounded by the attribute): one chunk of it all.
    if (m_chunkIndex != 0) {
      m_chunk.assign(m_size, 0);
      bool clean = false;
      Decode(m_inline.data(), m_inline.size(), m_chunk.data(), m_size, clean);
      m_chunkWhole = clean;
      m_chunkIndex = 0;
    }
    if (!m_chunkWhole) m_incomplete = true;
    std::memcpy(buffer, m_chunk.data() + offset, length);
    return static_cast<int64_t>(length);
  }
  uint64_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t index = at / kDecmpfsChunk;
    if (!LoadChunk(index)) return done != 0 ? static_cast<int64_t>(done) : -1;
    // A chunk that decoded only in part gives what it could and zeros for
    // the rest; the chunks after it may be whole again.
    if (!m_chunkWhole) m_incomplete = true;
    const uint64_t within = at - index * kDecmpfsChunk;
    const uint64_t n = std::min(length - done, m_chunk.size() - within);
    std::memcpy(buffer + done, m_chunk.data() + within, n);
    done += n;
  }
  return static_cast<int64_t>(done);
}

}  // namespace hfsplus
