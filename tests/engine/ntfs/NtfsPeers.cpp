#include "NtfsPeers.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace ntfspeers {

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string After(const std::string& line, const std::string& key) {
  std::string rest = line.substr(line.find(key) + key.size());
  const size_t first = rest.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : rest.substr(first);
}

// "$DATA (128-2)" or "128-2": type and id.
bool TypeAndId(const std::string& text, uint32_t* type, uint32_t* id) {
  static const std::regex kPattern(R"((\d+)-(\d+))");
  std::smatch m;
  if (!std::regex_search(text, m, kPattern)) return false;
  *type = static_cast<uint32_t>(std::stoul(m[1]));
  *id = static_cast<uint32_t>(std::stoul(m[2]));
  return true;
}

int64_t Number(const std::string& text) { return std::stoll(text, nullptr, 0); }

}  // namespace

Fsstat ParseFsstat(const std::string& text) {
  Fsstat f;
  static_cast<peers::Fsstat&>(f) = peers::ParseFsstat(text);
  f.mftCluster = f.Number("First Cluster of MFT");
  f.recordSize = static_cast<uint32_t>(std::max<int64_t>(0, f.Number("Size of MFT Entries")));
  return f;
}

Istat ParseIstat(const std::string& text) {
  Istat r;
  enum { kHeader, kSi, kAttributes, kOther } section = kHeader;
  for (const std::string& line : Lines(text)) {
    if (StartsWith(line, "$STANDARD_INFORMATION Attribute Values:")) {
      section = kSi;
    } else if (StartsWith(line, "Attributes:")) {
      section = kAttributes;
    } else if (StartsWith(line, "$") && line.find("Attribute Values:") != std::string::npos) {
      section = kOther;
    } else if (section == kHeader && (line == "Allocated File" || line == "Allocated Directory")) {
      r.allocated = true;
    } else if (section == kSi && StartsWith(line, "Created:")) {
      r.siCreated = FileTimeFromText(After(line, ":"));
    } else if (section == kSi && StartsWith(line, "File Modified:")) {
      r.siModified = FileTimeFromText(After(line, ":"));
    } else if (section == kAttributes && StartsWith(line, "Type: ")) {
      // Lines of an attribute list ("Type: 16-0 \tMFT Entry: ...") are not attributes.
      if (line.find("MFT Entry:") != std::string::npos) continue;
      IstatAttribute a;
      TypeAndId(line, &a.type, &a.id);
      a.name = After(line, "Name: ");
      a.name = a.name.substr(0, a.name.find("   "));
      a.resident = line.find("Non-Resident") == std::string::npos;
      if (line.find("size: ") != std::string::npos) a.size = Number(After(line, "size: "));
      if (line.find("init_size: ") != std::string::npos) a.initSize = Number(After(line, "init_size: "));
      r.attributes.push_back(a);
    } else if (section == kAttributes && !r.attributes.empty() && !r.attributes.back().resident && !line.empty()) {
      std::istringstream in(line);
      int64_t cluster;
      while (in >> cluster) r.attributes.back().clusters.push_back(cluster);
    }
  }
  return r;
}

}  // namespace ntfspeers
