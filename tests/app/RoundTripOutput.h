// What rsf_roundtrip prints of each file it copied out.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace roundtrip {

// The "ok PATH" and "failed PATH" lines of a run's output, in order.
inline std::vector<std::string> FileLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("ok ", 0) == 0 || line.rfind("failed ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

}  // namespace roundtrip
