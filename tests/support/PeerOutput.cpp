#include "support/PeerOutput.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace peers {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t FileTimeFromText(const std::string& text) {
  std::tm tm{};
  char fraction[16] = {0};
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%9[0-9]", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, fraction) < 6) {
    return 0;
  }
  // A time of 0 comes out of The Sleuth Kit's unsigned conversion to Unix
  // seconds as 2076-11-29 08:54:34 (and as 0000-00-00 in some versions).
  if (tm.tm_year == 0 || text.rfind("2076-11-29 08:54:34.000000000", 0) == 0) return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const int64_t unix = timegm(&tm);
  std::string ns = fraction;
  ns.resize(9, '0');
  return static_cast<uint64_t>(unix * 10000000LL + 116444736000000000LL) + std::stoull(ns) / 100;
}

int64_t Fsstat::Number(const std::string& key) const {
  const auto it = fields.find(key);
  return it == fields.end() || it->second.empty() ? -1 : std::stoll(it->second, nullptr, 0);
}

Fsstat ParseFsstat(const std::string& text) {
  Fsstat f;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string value = line.substr(colon + 2);
    f.fields.emplace(line.substr(0, colon), value);
    const size_t dash = value.find(" - ");
    if (line.rfind("Total Sector Range: ", 0) == 0 && dash != std::string::npos) {
      f.lastSector = std::stoll(value.substr(dash + 3));
    }
    if (line.rfind("Range: ", 0) == 0 && dash != std::string::npos) f.lastRecord = std::stoll(value.substr(dash + 3));
  }
  f.sectorSize = static_cast<uint32_t>(std::max<int64_t>(0, f.Number("Sector Size")));
  const int64_t cluster = f.fields.count("Cluster Size") ? f.Number("Cluster Size") : f.Number("Block Size");
  f.clusterSize = static_cast<uint32_t>(std::max<int64_t>(0, cluster));
  return f;
}

std::vector<FlsEntry> ParseFls(const std::string& text) {
  std::vector<FlsEntry> entries;
  static const std::regex kLine(R"(^(\S+) (\* )?(\d+)(-\d+-\d+)?(\(realloc\))?:\t(.*)$)");
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) continue;
    FlsEntry e{m[1], m[2].matched, std::stoull(m[3]), m[6]};
    if (e.path.find(':') != std::string::npos) continue;  // a named stream
    entries.push_back(e);
  }
  return entries;
}

}  // namespace peers
