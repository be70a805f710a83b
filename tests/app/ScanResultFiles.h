// Scan-result files for the tests: bytes written by hand from the layout,
// put into frames of the archive container, and read back frame by frame.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ScanResultRecords.h"
#include "archive/RSData.h"
#include "support/TestSupport.h"

namespace rsftest {

using Bytes = std::vector<uint8_t>;

// Bytes from hex digits; blanks, "|" and newlines are ignored.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian fields, for bytes the tests vary.
inline Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes U64(uint64_t v) { return U32(uint32_t(v)) + U32(uint32_t(v >> 32)); }
inline Bytes Text(const std::string& s) { return U32(uint32_t(s.size())) + Bytes(s.begin(), s.end()); }

// A file record by the layout: the fields the tests vary, the rest fixed.
struct FileRecord {
  FileRecord() { runs.emplace_back(4, 1); }
  int64_t id = 2;
  int64_t parent = 1;
  uint64_t size = 10;
  bool folder = false;
  uint32_t deleted = 0;
  std::vector<std::pair<int64_t, uint64_t>> runs;
  uint32_t resident = 0;
  std::string name = "a.txt";
  uint16_t partition = 0;
  Bytes Encode() const {
    Bytes b = U64(uint64_t(id)) + U64(uint64_t(parent)) + U64(size) + Hex("2000") + U64(1) + U64(2) + U64(3) +
              U32(folder ? 1 : 0) + U32(deleted) + U32(uint32_t(runs.size())) + U32(resident);
    for (const auto& [start, length] : runs) b = b + U64(uint64_t(start)) + U64(length);
    return b + Text(name) + U32(1) + Bytes{uint8_t(partition), uint8_t(partition >> 8)} + U64(uint64_t(-1)) + U32(0);
  }
};

// A system record: the root's file record, its searcher and volume name.
inline Bytes SystemRecord(int64_t id, uint32_t searcher, const std::string& volume) {
  FileRecord root;
  root.id = id;
  root.parent = -1;
  root.size = 0;
  root.folder = true;
  root.runs = {};
  root.name = "root";
  root.partition = 0xFFFF;
  return root.Encode() + U32(searcher) + Text(volume);
}

// A partition entry: kind, then the record with index, type, sectors per
// cluster, first data sector, start and sector size set.
inline Bytes PartitionEntry(uint16_t index, uint32_t kind = 4, int64_t start = 0, uint32_t sectorsPerCluster = 1) {
  Bytes record(104, 0);
  auto put = [&record](size_t at, const Bytes& v) { std::copy(v.begin(), v.end(), record.begin() + long(at)); };
  put(16, {uint8_t(index), uint8_t(index >> 8)});
  put(20, U32(6));
  put(24, U32(sectorsPerCluster));
  put(32, U64(uint64_t(start)));
  put(40, U64(uint64_t(start)));
  put(64, U32(512));
  put(72, U64(1 << 20));
  return U32(kind) + record;
}

// One root section with its partitions and file records.
inline Bytes Section(int64_t rootId, uint32_t searcher, const std::string& volume, const std::vector<Bytes>& partitions,
                     const std::vector<Bytes>& files) {
  Bytes b = U32(1) + SystemRecord(rootId, searcher, volume) + U32(uint32_t(partitions.size()));
  for (const Bytes& p : partitions) b = b + p;
  for (const Bytes& f : files) b = b + U32(0) + f;
  return b + U32(0xFFFFFFFF);
}

inline Bytes NodesPayload(const std::vector<Bytes>& sections) {
  Bytes b = U64(sections.size());
  for (const Bytes& s : sections) b = b + s;
  return b;
}

// An archive file with the given frames, in order, through the container.
inline void WriteArchive(const std::filesystem::path& path, const std::vector<std::pair<tagGUIDSIGN, Bytes>>& frames,
                         uint32_t status = 1) {
  CRSData archive(RSModeWrite);
  ASSERT_EQ(archive.StartRS(path.c_str(), 1), 1);
  FILEHEADER header;
  header.status = status;
  ASSERT_EQ(archive.WriteFileHeader(header), 1);
  for (const auto& [id, payload] : frames) {
    archive.OpenFrame(id);
    if (!payload.empty()) archive.WriteCurFrame(payload.data(), static_cast<unsigned>(payload.size()));
    archive.CloseFrame();
  }
  archive.EndRS();
}

// The three frames of a load that finds `device`.
inline std::vector<std::pair<tagGUIDSIGN, Bytes>> Frames(const SaveRestoreResult::DeviceRecord& device,
                                                         const Bytes& nodes, uint32_t deep = 1) {
  SaveRestoreResult::ScanKindRecord kind;
  kind.controllerType = deep != 0 ? 2 : 0;
  kind.deep = deep;
  Bytes k, d;
  SaveRestoreResult::EncodeScanKind(kind, k);
  SaveRestoreResult::EncodeDevice(device, d);
  return {{SaveRestoreResult::_frFileSystemSearchControllerList, k},
          {SaveRestoreResult::_frDiskDevice, d},
          {SaveRestoreResult::_frFileSystemNode, nodes}};
}

// Where each frame of an archive file's bytes lies, walked by the
// container's layout (132-byte header, then 36-byte frame headers: the
// signature, the GUID, the payload's length); a walk that leaves the bytes
// ends there.
struct FrameSpan {
  tagGUIDSIGN id{};
  size_t at = 0;     // the frame header's offset
  size_t bytes = 0;  // header and payload
};
inline std::vector<FrameSpan> FrameSpans(const Bytes& file) {
  std::vector<FrameSpan> spans;
  for (size_t at = 132; at + 36 <= file.size();) {
    FrameSpan span;
    std::copy(file.begin() + long(at) + 16, file.begin() + long(at) + 32, span.id.bytes);
    const size_t payload =
        size_t(file[at + 32]) | size_t(file[at + 33]) << 8 | size_t(file[at + 34]) << 16 | size_t(file[at + 35]) << 24;
    span.at = at;
    span.bytes = 36 + payload;
    if (span.bytes > file.size() - at) break;
    spans.push_back(span);
    at += span.bytes;
  }
  return spans;
}

// The file without the frames `drop` names (as a build that did not write
// them would have left it).
inline Bytes WithoutFrames(const Bytes& file, const std::vector<tagGUIDSIGN>& drop) {
  Bytes out(file.begin(), file.begin() + std::min<long>(132, long(file.size())));
  for (const FrameSpan& span : FrameSpans(file)) {
    if (std::find(drop.begin(), drop.end(), span.id) != drop.end()) continue;
    out.insert(out.end(), file.begin() + long(span.at), file.begin() + long(span.at + span.bytes));
  }
  return out;
}

// An archive in read mode over a file, with one frame open.
struct OpenFrame {
  CRSData archive{RSModeRead};
  OpenFrame(const std::filesystem::path& path, const tagGUIDSIGN& id) {
    archive.StartRS(path.c_str(), 0);
    archive.OpenFrame(id);
  }
};

}  // namespace rsftest
