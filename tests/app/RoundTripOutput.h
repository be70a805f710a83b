// What rsf_roundtrip prints of each file it copied out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
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

// A line "ok PATH" or "failed PATH" naming the file at `path` in its volume.
// The peers show an erased FAT entry's first character as "_", which the
// copy's name does not keep.
inline bool Names(const std::string& line, const std::string& answer, const std::string& path) {
  if (line.rfind(answer + " ", 0) != 0 || line.size() < answer.size() + 2 + path.size()) return false;
  const std::string tail = line.substr(line.size() - path.size() - 1);
  const size_t first = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  for (size_t i = 0; i < path.size(); ++i) {
    if (tail[i + 1] != path[i] && !(i == first && path[i] == '_')) return false;
  }
  return tail[0] == '/';
}

// The clusters istat lists (the file `istat`) for the unnamed $DATA stream of
// a record, sparse ones left out.
inline std::vector<uint64_t> DataClusters(const std::filesystem::path& istat) {
  std::vector<uint64_t> clusters;
  std::ifstream in(istat);
  bool inData = false;
  for (std::string row; std::getline(in, row);) {
    if (row.rfind("Type: ", 0) == 0) {
      inData = row.rfind("Type: $DATA (128-", 0) == 0 && row.find("Name: N/A") != std::string::npos &&
               row.find("Non-Resident") != std::string::npos && clusters.empty();
      continue;
    }
    if (!inData || row.find_first_not_of("0123456789 ") != std::string::npos) continue;
    std::istringstream numbers(row);
    for (uint64_t cluster; numbers >> cluster;) {
      if (cluster != 0) clusters.push_back(cluster);
    }
  }
  return clusters;
}

// Each file fls lists (IMG.fls.txt) with the clusters that istat lists for
// its unnamed $DATA stream (the fixture's V.istat/N); with `untyped`, also
// the deleted files whose type fls no longer gives ("-/r").
inline std::map<std::string, std::vector<uint64_t>> StoredClusters(const std::filesystem::path& dir,
                                                                   const std::string& variant, bool untyped = false) {
  std::map<std::string, std::vector<uint64_t>> out;
  std::ifstream fls(dir / (variant + ".img.fls.txt"));
  for (std::string line; std::getline(fls, line);) {
    const size_t tab = line.find('\t'), dash = line.find('-', 4);
    const bool listed = line.rfind("r/r ", 0) == 0 || (untyped && line.rfind("-/r ", 0) == 0);
    if (!listed || tab == std::string::npos || dash == std::string::npos) continue;
    std::string number = line.substr(4, dash - 4);
    if (number.rfind("* ", 0) == 0) number = number.substr(2);
    std::vector<uint64_t>& clusters = out[line.substr(tab + 1)];
    if (clusters.empty()) clusters = DataClusters(dir / (variant + ".istat") / number);
  }
  return out;
}
// The cluster size fsstat gives for the fixture image VARIANT.img (its
// IMG.fsstat.txt), 0 when it gives none.
inline uint64_t ClusterBytes(const std::filesystem::path& dir, const std::string& variant) {
  std::ifstream fsstat(dir / (variant + ".img.fsstat.txt"));
  for (std::string line; std::getline(fsstat, line);) {
    if (line.rfind("Cluster Size: ", 0) == 0) return std::stoull(line.substr(14));
  }
  return 0;
}

}  // namespace roundtrip
