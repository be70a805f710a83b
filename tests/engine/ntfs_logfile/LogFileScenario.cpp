#include "engine/ntfs_logfile/LogFileScenario.h"

#include <cstdlib>
#include <fstream>

#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace ntfslogfile {

bool ScenarioManifest::Load(const std::filesystem::path& file) {
  values_.clear();
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return !values_.empty();
}

std::string ScenarioManifest::Text(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? std::string() : it->second;
}

uint64_t ScenarioManifest::Number(const std::string& key) const {
  const std::string text = Text(key);
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  return (!text.empty() && *end == '\0') ? value : 0;
}

int ScenarioManifest::Find(const std::string& list, const std::string& field, const std::string& value) const {
  for (size_t i = 0; i < Count(list); ++i) {
    if (Text(list + "." + std::to_string(i) + "." + field) == value) return static_cast<int>(i);
  }
  return -1;
}

std::filesystem::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_NTFS_LOGFILE_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_NTFS_LOGFILE_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/logfile/make-logfile-images.sh",
                                     FixtureDir());
}

}  // namespace ntfslogfile
