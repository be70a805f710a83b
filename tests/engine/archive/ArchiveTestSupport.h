// Helpers of the archive tests. Expected files come from archive_tool.py, an
// independent reader/writer on Debian's python3 with python3-crcmod.
#pragma once

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "archive/RSData.h"
#include "support/TestSupport.h"

namespace archivetest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline std::string Q(const fs::path& path) { return testsupport::ShellQuote(path.string()); }
inline std::string Sh(const std::string& command) { return testsupport::RunCommandOrFail(command); }
inline std::string Tool(const std::string& args) {
  return Sh("/usr/bin/python3 " + Q(testsupport::SourceDir() / "tests/engine/archive/archive_tool.py") + " " + args);
}
inline std::string Dump(const fs::path& path) { return Tool("dump " + Q(path)); }
inline void Make(const fs::path& path, const std::string& options) { Tool("make " + Q(path) + " " + options); }

inline std::string Hex(const void* data, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += "0123456789abcdef"[static_cast<const uint8_t*>(data)[i] >> 4];
    out += "0123456789abcdef"[static_cast<const uint8_t*>(data)[i] & 15];
  }
  return out;
}
inline std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }
inline std::string Hex(const tagGUIDSIGN& id) { return Hex(id.bytes, 16); }

inline tagGUIDSIGN Id(uint8_t seed) {
  tagGUIDSIGN id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<uint8_t>(seed * 17 + i * 29 + 3);
  return id;
}

inline Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

// The code of the CRSException that `action` throws; 0 when none.
template <class Action>
uint32_t ErrorOf(Action&& action) {
  try {
    action();
  } catch (const CRSException& e) {
    return e.GetErrorcode();
  }
  return 0;
}

// Caps the size of files this process may write, the way a full disk stops
// a write part-way (SIGXFSZ ignored, so writes fail with EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit capped = old_;
    capped.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &capped) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, handler_);
  }
  bool ok() const { return ok_; }

 private:
  void (*handler_)(int);
  struct rlimit old_ {};
  bool ok_ = false;
};

}  // namespace archivetest
