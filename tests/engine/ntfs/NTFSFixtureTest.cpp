// NTFS images filled through an ntfs-3g mount (see
// tests/fixtures/ntfs/make-ntfs-images.sh): every record against the peers,
// and every item of the manifest against its original file.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "NtfsFixtures.h"
#include "NtfsImageCheck.h"
#include "NtfsPeers.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Attr = CNTFSFileRecordAttribute;
using FileName = CNTFSFileRecordFileNameAttribute;
using Bytes = std::vector<uint8_t>;

const char* const kVariants[] = {"default", "c512", "c65536", "s4096"};

using ntfsfixtures::FixtureDir;

using ntfsfixtures::Manifest;
using ntfsfixtures::ManifestItem;

// One image of the set, with the record number of every path fls lists.
struct Image {
  std::string name;
  fs::path image, prefix;
  std::map<std::string, uint64_t> records;
  uint32_t clusterBytes = 0;

  explicit Image(const std::string& variant) : name(variant) {
    image = FixtureDir() / (variant + ".img");
    prefix = FixtureDir() / variant;
    for (const auto& p : ntfscheck::ReadPaths(prefix)) records[p.path] = p.record;
    clusterBytes = ntfspeers::ParseFsstat(ntfspeers::ReadText(prefix.string() + ".fsstat")).clusterSize;
  }
};

// The file's bytes read through the runs of its unnamed $DATA (holes read as
// zeros), or its resident content.
Bytes ContentThroughRuns(const Image& img, const CNTFSFileRecord& record) {
  const uint8_t* data = record.FindAttibute(0x80, 0);
  if (data == nullptr) return {};
  if (Attr::IsResident(data)) {
    const uint8_t* content = data + Attr::GetOffsetToAttribute(data);
    return Bytes(content, content + Attr::GetLengthOfAttribute(data));
  }
  CNTFSDataRunList::Runs runs;
  const int left = record.GetSize() - static_cast<int>(data - record.GetBuffer());
  EXPECT_TRUE(CNTFSFileRecordDataRunsAttribute::GetDataRunList(data, left, runs));
  Bytes out;
  for (const CDataRun& run : runs) {
    const size_t bytes = static_cast<size_t>(run.Length) * img.clusterBytes;
    if (run.IsSparse()) {
      out.insert(out.end(), bytes, 0);
    } else {
      const Bytes piece = ntfscheck::ReadAt(img.image, static_cast<uint64_t>(run.LCN) * img.clusterBytes, bytes);
      out.insert(out.end(), piece.begin(), piece.end());
    }
  }
  out.resize(static_cast<size_t>(Attr::GetRealSizeOfAttribute(data)));
  return out;
}

class NtfsFixture : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { REQUIRE_NTFS_FIXTURES(); }
};

TEST_P(NtfsFixture, EveryRecordMatchesThePeers) {
  const Image img(GetParam());
  ntfscheck::CheckImageAgainstPeers(img.image, img.prefix);
}

TEST_P(NtfsFixture, ManifestItemsAreFoundWithTheirOriginalContent) {
  const Image img(GetParam());
  const std::string before = testsupport::Sha256(img.image);
  EXPECT_EQ(before + "\n", ntfspeers::ReadText(img.prefix.string() + ".sha256"));
  for (const ManifestItem& item : Manifest()) {
    SCOPED_TRACE(item.path);
    ASSERT_EQ(img.records.count(item.path), 1u) << "fls does not list it";
    Bytes buffer = ntfscheck::ReadRecord(img.prefix, img.records.at(item.path));
    CNTFSFileRecord record(buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_TRUE(record.IsValid());
    ASSERT_TRUE(record.IsUpdateSequenceUndone());
    EXPECT_EQ(record.IsinUse(), !item.deleted);
    EXPECT_EQ(record.IsFolder(), item.folder);
    if (item.folder) continue;
    const uint8_t* data = record.FindAttibute(0x80, 0);
    ASSERT_NE(data, nullptr);
    if (Attr::IsCompressed(data)) continue;  // read back by the compressed-data reader
    const Bytes original = testsupport::ReadFile(FixtureDir() / "originals" / item.original);
    EXPECT_TRUE(ContentThroughRuns(img, record) == original) << "content differs from " << item.original;
  }
  EXPECT_EQ(testsupport::Sha256(img.image), before);
}

TEST_P(NtfsFixture, AttributeWordsAreWhatTheMountReported) {
  const Image img(GetParam());
  std::istringstream in(ntfspeers::ReadText(img.prefix.string() + ".attrib"));
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    const std::string path = line.substr(0, tab);
    const uint32_t word = static_cast<uint32_t>(std::stoul(line.substr(tab + 1), nullptr, 16));
    SCOPED_TRACE(path);
    ASSERT_EQ(img.records.count(path), 1u);
    Bytes buffer = ntfscheck::ReadRecord(img.prefix, img.records.at(path));
    CNTFSFileRecord record(buffer.data(), static_cast<int>(buffer.size()), 0);
    const uint8_t* si = record.FindAttibute(0x10, 0);
    ASSERT_NE(si, nullptr);
    // The mount adds the directory bit, which NTFS keeps in $FILE_NAME only.
    EXPECT_EQ(CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(si) | (record.IsFolder() ? 0x10 : 0),
              word);
    const uint8_t* data = record.FindAttibute(0x80, 0);
    if (data != nullptr) {
      EXPECT_EQ(Attr::IsCompressed(data), (word & 0x800) != 0);
      EXPECT_EQ(Attr::IsSparse(data), (word & 0x200) != 0);
    }
    ++checked;
  }
  EXPECT_GT(checked, 200);
}

TEST_P(NtfsFixture, NamesOfEveryKind) {
  const Image img(GetParam());
  auto names = [&](const std::string& path) {
    std::vector<std::pair<std::string, int>> out;
    Bytes buffer = ntfscheck::ReadRecord(img.prefix, img.records.at(path));
    CNTFSFileRecord record(buffer.data(), static_cast<int>(buffer.size()), 0);
    for (uint32_t i = 0; const uint8_t* fn = record.FindAttibute(0x30, i); ++i) {
      out.emplace_back(FileName::GetFileNameUtf8(fn), FileName::GetFileNameNamespaceType(fn));
    }
    return out;
  };
  for (const char* name : {"été Brière.txt", "日本語のファイル.txt", "😀 smile.txt"}) {
    const auto found = names(std::string("names/") + name);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, name);
  }
  const std::string longName = std::string(251, 'L') + ".txt";
  const auto longFound = names("names/" + longName);
  ASSERT_EQ(longFound.size(), 1u);
  EXPECT_EQ(longFound[0].first, longName);

  // The short name set beside a long one: one name of each namespace.
  const auto pair = names("dosname/Long file name.txt");
  ASSERT_EQ(pair.size(), 2u);
  std::map<int, std::string> byNamespace;
  for (const auto& [n, ns] : pair) byNamespace[ns] = n;
  EXPECT_EQ(byNamespace[FileName::kDos], "LONGFI~1.TXT");
  EXPECT_EQ(byNamespace[FileName::kWin32], "Long file name.txt");

  // A hard link is a second name in the same record.
  EXPECT_EQ(img.records.at("links/original.txt"), img.records.at("links/hardlink.txt"));
  const auto links = names("links/original.txt");
  ASSERT_EQ(links.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFixture, testing::ValuesIn(kVariants));

}  // namespace
