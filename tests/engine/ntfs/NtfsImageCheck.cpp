#include "NtfsImageCheck.h"

#include <fstream>

#include "NtfsPeers.h"
#include "support/TestSupport.h"

namespace ntfscheck {

namespace fs = std::filesystem;
using namespace ntfspeers;

fs::path FixtureScript() { return testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh"; }

std::vector<uint8_t> ReadAt(const fs::path& path, uint64_t offset, size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(size);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

std::vector<uint8_t> ReadRecord(const fs::path& prefix, uint64_t n) {
  const Fsstat fsstat = ParseFsstat(ReadText(prefix.string() + ".img.fsstat.txt"));
  if (fsstat.recordSize == 0) return {};
  auto data = ReadAt(prefix.string() + ".mft", n * fsstat.recordSize, fsstat.recordSize);
  if (data.size() != fsstat.recordSize) return {};
  return data;
}

std::vector<PathRecord> ReadPaths(const fs::path& prefix) {
  std::vector<PathRecord> out;
  for (const FlsEntry& e : ParseFls(ReadText(prefix.string() + ".img.fls.txt"))) {
    out.push_back({e.path, e.record, e.deleted});
  }
  return out;
}

}  // namespace ntfscheck
