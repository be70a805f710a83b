// Reads arbitrary bytes as an archive: header checks, frame search and
// payload reads, checked against a plain walk of the same bytes; then appends
// a frame to a copy in write mode. Any disagreement traps.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "archive/RSData.h"

namespace {

struct MemFile {
  int fd = -1;
  std::string path;
  explicit MemFile(const char* name) {
    fd = memfd_create(name, MFD_CLOEXEC);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void Fill(const uint8_t* data, size_t size) const {
    if (ftruncate(fd, 0) != 0) __builtin_trap();
    size_t done = 0;
    while (done < size) {
      const ssize_t w = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
      if (w <= 0) __builtin_trap();
      done += static_cast<size_t>(w);
    }
  }
};

uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The first frame with this identifier, by a plain walk; -1 when none.
int64_t FindFrame(const uint8_t* data, size_t size, const tagGUIDSIGN& id) {
  uint64_t position = kRSHeaderSize;
  while (position + kRSFrameHeaderSize <= size) {
    if (std::memcmp(data + position, _frSignPub.bytes, 16) == 0 &&
        std::memcmp(data + position + 16, id.bytes, 16) == 0) {
      return static_cast<int64_t>(position);
    }
    position += kRSFrameHeaderSize + U32(data + position + 32);
  }
  return -1;
}

void ReadSide(const std::string& path, const uint8_t* data, size_t size, const std::vector<tagGUIDSIGN>& ids) {
  static std::vector<uint8_t> chunk(CRSData::kBufferSize + 4096);
  CRSData reader(RSModeRead);
  Check(reader.StartRS(path.c_str(), 0) == 1);
  reader.CheckFile();
  FILEHEADER header;
  reader.ReadFileHeader(header);
  try {
    reader.GetStatus();
  } catch (const CRSException&) {
  }
  char text[128];
  for (int n : {1, 7, 128}) {
    try {
      if (reader.GetFileDescription(text, n) == 1) Check(std::memchr(text, 0, static_cast<size_t>(n)) != nullptr);
    } catch (const CRSException& e) {
      Check(e.GetErrorcode() == RSErrorBadHeader);
    }
  }
  const unsigned steps[] = {1, 7, 100, 4096, 70000, static_cast<unsigned>(chunk.size())};
  for (size_t i = 0; i < ids.size(); ++i) {
    const int64_t expected = FindFrame(data, size, ids[i]);
    try {
      reader.OpenFrame(ids[i]);
      Check(expected >= 0);
    } catch (const CRSException& e) {
      Check(e.GetErrorcode() == RSErrorFrameNotFound && expected < 0);
      continue;
    }
    const uint64_t payload = static_cast<uint64_t>(expected) + kRSFrameHeaderSize;
    const uint64_t length = U32(data + expected + 32);
    Check(reader.GetFrameSize() == length);
    uint64_t offset = 0;
    for (int round = 0; offset < length && round < 64; ++round) {
      const unsigned step = steps[(i + round) % 6];
      const uint64_t want = std::min<uint64_t>(step, length - offset);
      bool shortRead = false;
      try {
        Check(reader.ReadCurFrame(chunk.data(), step) == 1);
      } catch (const CRSException& e) {
        Check(e.GetErrorcode() == RSErrorShortRead);
        shortRead = true;
      }
      const bool inFile = payload + offset + want <= size;
      Check(shortRead == !inFile);
      if (inFile) Check(std::memcmp(chunk.data(), data + payload + offset, want) == 0);
      offset += want;
      if (shortRead) break;
    }
  }
}

void WriteSide(const std::string& path, const std::vector<tagGUIDSIGN>& ids, const uint8_t* data, size_t size) {
  CRSData writer(RSModeWrite);
  Check(writer.StartRS(path.c_str(), 0) == 1);
  try {
    writer.SetFileDescription("fuzz");
    writer.OpenFrame(ids[0]);
    writer.WriteCurFrame(data, static_cast<unsigned>(std::min<size_t>(size, 300)));
    writer.CloseFrame();
    writer.SetStatus(FileStatusNormal);
  } catch (const CRSException&) {
    __builtin_trap();  // memory files never refuse a write this small
  }
  writer.EndRS();
  CRSData reader(RSModeRead);
  Check(reader.StartRS(path.c_str(), 0) == 1);
  FILEHEADER header;
  Check(reader.ReadFileHeader(header) == 1);
  Check(reader.GetStatus() == FileStatusNormal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile input("archive-in");
  static const MemFile copy("archive-copy");
  if (size > (1u << 20)) return 0;
  input.Fill(data, size);
  copy.Fill(data, size);

  // Identifiers worth looking for: the first frame's, the last 16 bytes,
  // and one that is rarely there.
  std::vector<tagGUIDSIGN> ids;
  tagGUIDSIGN id{};
  if (size >= kRSHeaderSize + 32) {
    std::memcpy(id.bytes, data + kRSHeaderSize + 16, 16);
    ids.push_back(id);
  }
  if (size >= 16) {
    std::memcpy(id.bytes, data + size - 16, 16);
    ids.push_back(id);
  }
  ids.push_back(tagGUIDSIGN{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}});

  ReadSide(input.path, data, size, ids);
  WriteSide(copy.path, ids, data, size);
  return 0;
}
