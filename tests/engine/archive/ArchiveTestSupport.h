// Helpers shared by the archive tests: the independent reader/writer
// (archive_tool.py, on Debian's python3 with python3-crcmod) and small
// conversions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/RSData.h"
#include "support/TestSupport.h"

namespace archivetest {

inline std::string Tool() {
  return "/usr/bin/python3 " +
         testsupport::ShellQuote((testsupport::SourceDir() / "tests/engine/archive/archive_tool.py").string());
}

inline std::string Quote(const std::filesystem::path& path) { return testsupport::ShellQuote(path.string()); }

// The tool's view of an archive: one line for the header, one per frame,
// then "end size=N".
inline std::string Dump(const std::filesystem::path& path) {
  return testsupport::RunCommandOrFail(Tool() + " dump " + Quote(path));
}

inline void Make(const std::filesystem::path& path, const std::string& options) {
  testsupport::RunCommandOrFail(Tool() + " make " + Quote(path) + " " + options);
}

inline std::string Hex(const void* data, size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

inline std::string Hex(const tagGUIDSIGN& id) { return Hex(id.bytes, sizeof id.bytes); }

inline tagGUIDSIGN Id(uint8_t seed) {
  tagGUIDSIGN id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<uint8_t>(seed * 17 + i * 29 + 3);
  return id;
}

// SHA-256 of bytes, computed by sha256sum over a copy in `dir`.
inline std::string Sha256Of(const testsupport::TempDir& dir, const std::vector<uint8_t>& data) {
  const auto path = dir / "sha-input";
  testsupport::WriteFile(path, data.data(), data.size());
  return testsupport::Sha256(path);
}

// The code of the CRSException that `action` throws, 0 when it throws none.
template <class Action>
uint32_t ErrorOf(Action&& action) {
  try {
    action();
  } catch (const CRSException& e) {
    return e.GetErrorcode();
  }
  return 0;
}

inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

}  // namespace archivetest

#include <csignal>

#include <sys/resource.h>

namespace archivetest {

// Caps the size of files this process may write, the way a full disk would
// stop a write part-way, and restores the old cap when it goes. SIGXFSZ is
// ignored meanwhile, so writes past the cap fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit capped = old_;
    capped.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &capped) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit old_ {};
  void (*oldHandler_)(int) = nullptr;
  bool ok_ = false;
};

// The permission bits of a file as stat(1) prints them, e.g. "644".
inline std::string Mode(const std::filesystem::path& path) {
  std::string out = testsupport::RunCommandOrFail("stat -c %a " + Quote(path));
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline uint64_t SizeOf(const std::filesystem::path& path) {
  return std::stoull(testsupport::RunCommandOrFail("stat -c %s " + Quote(path)));
}

}  // namespace archivetest
