#include "NtfsFixtures.h"

#include <cstdlib>
#include <sstream>

#include "NtfsImageCheck.h"
#include "NtfsPeers.h"

namespace ntfsfixtures {

std::filesystem::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_NTFS_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_NTFS_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  static const std::string state = [] {
    const auto r = testsupport::RunCommand("bash " + testsupport::ShellQuote(ntfscheck::FixtureScript().string()) +
                                           " " + testsupport::ShellQuote(FixtureDir().string()) + " 2>&1");
    if (r.exitCode == 0) return std::string();
    return (r.exitCode == 77 ? "cannot build the NTFS images here: " : "the NTFS image script failed: ") + r.output;
  }();
  return state;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  std::istringstream fields(line);
  std::string field;
  while (std::getline(fields, field, '\t')) f.push_back(field);
  return f;
}

std::vector<ManifestItem> Manifest() {
  std::vector<ManifestItem> items;
  std::istringstream in(ntfspeers::ReadText(FixtureDir() / "manifest.tsv"));
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() < 4) continue;
    items.push_back({f[0] == "d", f[1], f[2], f[3] == "deleted"});
  }
  return items;
}

}  // namespace ntfsfixtures
