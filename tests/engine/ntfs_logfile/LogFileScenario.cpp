#include "engine/ntfs_logfile/LogFileScenario.h"

#include <cstdlib>
#include <fstream>

#include "support/TestSupport.h"

namespace ntfslogfile {

namespace fs = std::filesystem;

bool ScenarioManifest::Load(const fs::path& file) {
  values_.clear();
  std::ifstream in(file);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    values_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return !values_.empty();
}

bool ScenarioManifest::Has(const std::string& key) const { return values_.count(key) != 0; }

std::string ScenarioManifest::Text(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? std::string() : it->second;
}

uint64_t ScenarioManifest::Number(const std::string& key) const {
  const std::string text = Text(key);
  if (text.empty()) return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  return (end != nullptr && *end == '\0') ? value : 0;
}

size_t ScenarioManifest::Count(const std::string& key) const { return Number(key + ".count"); }

int ScenarioManifest::Find(const std::string& list, const std::string& field, const std::string& value) const {
  const size_t count = Count(list);
  for (size_t i = 0; i < count; ++i) {
    if (Text(list + "." + std::to_string(i) + "." + field) == value) return static_cast<int>(i);
  }
  return -1;
}

Scenario BuildScenarioOn(const std::filesystem::path& dir, Geometry geometry) {
  ScenarioOptions options;
  options.clusterSize = geometry.clusterSize;
  options.sectorSize = geometry.sectorSize;
  return BuildScenario(dir, options);
}

std::string MissingFacility() {
  if (!testsupport::HaveFuse()) return "needs root and /dev/fuse to mount ntfs-3g";
  for (const char* tool : {"python3", "mkntfs", "ntfs-3g", "istat", "ifind", "fls", "icat", "ntfsrecover"}) {
    if (!testsupport::HaveTool(tool)) return std::string("tool not installed: ") + tool;
  }
  return {};
}

Scenario BuildScenario(const fs::path& dir, const ScenarioOptions& options) {
  Scenario s;
  s.dir = dir;
  s.image = dir / "volume.img";
  const fs::path script = testsupport::SourceDir() / "tests" / "fixtures" / "ntfs" / "logfile" / "make-scenario.py";
  std::string command = "python3 " + testsupport::ShellQuote(script.string()) + " --out " +
                        testsupport::ShellQuote(dir.string()) + " --cluster-size " +
                        std::to_string(options.clusterSize) + " --size-mib " + std::to_string(options.sizeMiB);
  if (options.sectorSize != 0) command += " --sector-size " + std::to_string(options.sectorSize);
  if (!options.hostile.empty()) command += " --hostile " + testsupport::ShellQuote(options.hostile);
  const testsupport::CommandResult r = testsupport::RunCommand(command + " 2>&1");
  s.exitCode = r.exitCode;
  s.output = r.output;
  if (s.exitCode == 0 && !s.manifest.Load(dir / "manifest.txt")) {
    s.exitCode = -1;
    s.output += "\nno manifest.txt in " + dir.string();
  }
  return s;
}

bool DecodeMappingPairs(const std::vector<uint8_t>& pairs, std::vector<Run>& runs) {
  runs.clear();
  size_t pos = 0;
  int64_t vcn = 0;
  int64_t lcn = 0;
  while (pos < pairs.size() && pairs[pos] != 0) {
    const unsigned lengthSize = pairs[pos] & 0x0F;
    const unsigned offsetSize = pairs[pos] >> 4;
    ++pos;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 || pos + lengthSize + offsetSize > pairs.size()) {
      return false;
    }
    auto readSigned = [&](unsigned size) {
      uint64_t value = 0;
      for (unsigned i = 0; i < size; ++i) value |= static_cast<uint64_t>(pairs[pos + i]) << (8 * i);
      if (size < 8 && (pairs[pos + size - 1] & 0x80)) value |= ~uint64_t{0} << (8 * size);
      pos += size;
      return static_cast<int64_t>(value);
    };
    const int64_t length = readSigned(lengthSize);
    Run run{vcn, -1, length};
    if (offsetSize != 0) {
      lcn += readSigned(offsetSize);
      run.lcn = lcn;
    }
    runs.push_back(run);
    vcn += length;
  }
  return pos < pairs.size();
}

}  // namespace ntfslogfile
