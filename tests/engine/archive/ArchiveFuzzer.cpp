// Arbitrary bytes as an archive: header checks, the frame search and payload
// reads, each compared with a plain walk of the same bytes; then a frame is
// appended to a copy in write mode. Any disagreement traps.
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "archive/RSData.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// A memory file holding `data`, reachable by path.
std::string Fill(int fd, const uint8_t* data, size_t size) {
  Check(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  return "/proc/self/fd/" + std::to_string(fd);
}

uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

int64_t FindFrame(const uint8_t* data, size_t size, const tagGUIDSIGN& id) {
  for (uint64_t at = kRSHeaderSize; at + kRSFrameHeaderSize <= size; at += kRSFrameHeaderSize + U32(data + at + 32)) {
    if (!std::memcmp(data + at, _frSignPub.bytes, 16) && !std::memcmp(data + at + 16, id.bytes, 16)) return at;
  }
  return -1;
}

void ReadSide(const std::string& path, const uint8_t* data, size_t size, const std::vector<tagGUIDSIGN>& ids) {
  static std::vector<uint8_t> chunk(CRSData::kBufferSize + 4096);
  CRSData reader(RSModeRead);
  Check(reader.StartRS(path.c_str(), 0) == 1);
  reader.CheckFile();
  char text[128];
  for (int n : {1, 7, 128}) {
    try {
      reader.GetStatus();
      if (reader.GetFileDescription(text, n) == 1) Check(std::memchr(text, 0, n) != nullptr);
    } catch (const CRSException& e) {
      Check(e.GetErrorcode() == RSErrorBadHeader);
    }
  }
  const unsigned steps[] = {1, 7, 100, 4096, 70000, static_cast<unsigned>(chunk.size())};
  for (size_t i = 0; i < ids.size(); ++i) {
    const int64_t frame = FindFrame(data, size, ids[i]);
    try {
      reader.OpenFrame(ids[i]);
      Check(frame >= 0);
    } catch (const CRSException& e) {
      Check(e.GetErrorcode() == RSErrorFrameNotFound && frame < 0);
      continue;
    }
    const uint64_t payload = frame + kRSFrameHeaderSize, length = U32(data + frame + 32);
    Check(reader.GetFrameSize() == length);
    bool shortRead = false;
    for (uint64_t offset = 0, round = 0; offset < length && round < 64 && !shortRead; ++round) {
      const unsigned step = steps[(i + round) % 6];
      const uint64_t want = std::min<uint64_t>(step, length - offset);
      try {
        Check(reader.ReadCurFrame(chunk.data(), step) == 1);
      } catch (const CRSException& e) {
        Check(e.GetErrorcode() == RSErrorShortRead);
        shortRead = true;
      }
      Check(shortRead == (payload + offset + want > size));
      Check(shortRead || std::memcmp(chunk.data(), data + payload + offset, want) == 0);
      offset += want;
    }
  }
}

void WriteSide(const std::string& path, const tagGUIDSIGN& id, const uint8_t* data, size_t size) {
  {
    CRSData writer(RSModeWrite);
    Check(writer.StartRS(path.c_str(), 0) == 1);
    try {
      writer.SetFileDescription("fuzz");
      writer.OpenFrame(id);
      writer.WriteCurFrame(data, static_cast<unsigned>(std::min<size_t>(size, 300)));
      writer.CloseFrame();
      writer.SetStatus(FileStatusNormal);
    } catch (const CRSException&) {
      Check(false);  // a memory file takes writes this small
    }
  }
  CRSData reader(RSModeRead);
  FILEHEADER header;
  Check(reader.StartRS(path.c_str(), 0) == 1 && reader.ReadFileHeader(header) == 1);
  Check(reader.GetStatus() == FileStatusNormal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int input = memfd_create("archive-in", MFD_CLOEXEC), copy = memfd_create("archive-copy", MFD_CLOEXEC);
  if (size > (1u << 20)) return 0;
  // Identifiers worth asking for: the first frame's, the input's last 16
  // bytes and one that is rarely there.
  std::vector<tagGUIDSIGN> ids(1, tagGUIDSIGN{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}});
  for (size_t at : {kRSHeaderSize + 16, size - 16}) {
    if (size >= 16 && at + 16 <= size) std::memcpy(ids.emplace_back().bytes, data + at, 16);
  }
  ReadSide(Fill(input, data, size), data, size, ids);
  WriteSide(Fill(copy, data, size), ids.back(), data, size);
  return 0;
}
