// The engine's working folder for a whole test program: a fresh folder under
// /tmp, named in CLIPMENDER_WORK_DIR while the program starts (before anything
// can log or read settings), and removed at exit after the engine's last log
// line (the removal is registered first, so it runs last). The log is read
// back through LogLines.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

inline const std::filesystem::path& ScratchWorkDir() {
  static const std::filesystem::path dir = [] {
    char pattern[] = "/tmp/clipmender-work-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return std::filesystem::path("/tmp");
    setenv("CLIPMENDER_WORK_DIR", pattern, 1);
    static const std::string* const kept = new std::string(pattern);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*kept, ignored);
    });
    return std::filesystem::path(pattern);
  }();
  return dir;
}
inline const bool kScratchWorkDirChosen = !ScratchWorkDir().empty();

// The lines of the engine's log so far.
inline std::vector<std::string> LogLines() {
  std::ifstream in(ScratchWorkDir() / "tolveraware.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// How many lines of the log carry `text` (a result code, a path).
inline size_t LogLinesWith(const std::string& text) {
  size_t count = 0;
  for (const std::string& line : LogLines()) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

}  // namespace testsupport
