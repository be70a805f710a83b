// The public samples made by macOS tools, against The Sleuth Kit: every
// file and folder fls lists is found through the catalog under the same path
// and catalog node ID, and reads back as icat copies it; the volume analyzer
// agrees with fsstat on the volume's size and leaves FAT and NTFS alone.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "HFSPlusTestImages.h"
#include "VolumeAnalyze.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

struct FlsEntry {
  char type;  // 'r', 'd' or 'l'
  int64_t inode;
};

std::string Offset(int64_t start) { return start != 0 ? " -o " + std::to_string(start) + " " : " "; }

// fls -r -p with names composed to NFC (fls prints them as stored); its
// metadata files ($...) and the private folders (names with ^ for control
// characters) left out.
std::map<std::string, FlsEntry> Fls(const std::filesystem::path& image, int64_t start) {
  const std::string out =
      testsupport::RunCommandOrFail("fls -r -p" + Offset(start) + ShellQuote(image.string()) +
                                    " | python3 -c 'import sys,unicodedata; "
                                    "sys.stdout.write(unicodedata.normalize(\"NFC\", sys.stdin.read()))'");
  std::map<std::string, FlsEntry> entries;
  std::istringstream in(out);
  std::string line;
  const std::regex row(R"(^([rdl])/[rdl] (\d+):\t(.*)$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, row)) continue;
    const std::string path = m[3];
    if (path.empty() || path[0] == '$' || path.find('^') != std::string::npos) continue;
    entries[path] = FlsEntry{m[1].str()[0], std::stoll(m[2])};
  }
  return entries;
}

// istat's content-modification time, data-fork blocks and inline
// attributes against the node's.
void CheckIstat(CHFSPlusVolume* volume, CHFSPlusFileNode* node, const std::string& istat) {
  std::smatch m;
  ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"(Content Modified:\t(\S+ \S+) \(UTC\))")));
  const time_t unixTime = static_cast<time_t>((node->GetModificationTime() - 116444736000000000ULL) / 10000000ULL);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::gmtime(&unixTime));
  EXPECT_EQ(m[1].str(), text);

  std::vector<int64_t> ours;
  for (const auto& [start, length] : hfstest::Runs(node)) {
    for (int64_t b = start; b < start + length; ++b) ours.push_back(b);
  }
  std::vector<int64_t> peers;
  const auto blocksAt = istat.find("Data Fork Blocks:");
  std::istringstream blocks(istat.substr(blocksAt, istat.find("\n\n", blocksAt) - blocksAt).substr(17));
  // Single blocks or first-last ranges.
  for (std::string word; blocks >> word;) {
    const auto dash = word.find('-');
    const int64_t first = std::stoll(word.substr(0, dash));
    const int64_t last = dash == std::string::npos ? first : std::stoll(word.substr(dash + 1));
    for (int64_t b = first; b <= last; ++b) peers.push_back(b);
  }
  ASSERT_LE(peers.size(), ours.size());
  EXPECT_EQ(std::vector<int64_t>(ours.begin(), ours.begin() + peers.size()), peers);

  const std::regex attr(R"(Type: ExATTR \S+\s+Name: (\S+)\s+Resident\s+size: (\d+))");
  for (auto it = std::sregex_iterator(istat.begin(), istat.end(), attr); it != std::sregex_iterator(); ++it) {
    uint8_t* data = nullptr;
    const uint32_t size = volume->getAttribute(node->GetContentFileID(), (*it)[1].str().c_str(), &data);
    delete[] data;
    EXPECT_EQ(size, std::stoul((*it)[2])) << (*it)[1];
  }
}

class PeerTest : public ::testing::TestWithParam<hfstest::SampleImage> {};

TEST_P(PeerTest, CatalogAgreesWithFlsAndIcat) {
  REQUIRE_TOOL("fls");
  const auto& sample = GetParam();
  std::string why;
  const auto image = hfstest::Unpacked(sample.name, &why);
  REQUIRE_OR_SKIP(!image.empty(), why);
  devicetest::ImageGuard guard(image);
  auto open = hfstest::Open(image, sample.startSector);
  ASSERT_TRUE(open->volume && result::IsSuccess(open->volume->GetLastError()));
  hfstest::Catalog catalog;
  EXPECT_TRUE(result::IsSuccess(catalog.Walk(open->volume.get())));

  const auto fls = Fls(image, sample.startSector);
  ASSERT_FALSE(fls.empty());
  for (const auto& [path, entry] : fls) {
    SCOPED_TRACE(path);
    const hfstest::Found* found = catalog.FindPath(path);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->node->IsDirectory() != 0, entry.type == 'd');
    if (entry.type == 'd') {
      EXPECT_EQ(found->node->GetCurrentNodeID(), entry.inode);
      continue;
    }
    // fls names a hard link by the indirect node it reads.
    EXPECT_EQ(found->node->GetContentFileID(), entry.inode);
    // Only where icat can read the file (it refuses some with extended
    // attributes kept in forks).
    testsupport::TempDir dir;
    const auto copy = dir / "icat";
    if (RunCommand("icat" + Offset(sample.startSector) + ShellQuote(image.string()) + " " +
                   std::to_string(entry.inode) + " > " + ShellQuote(copy.string()) + " 2>/dev/null")
            .exitCode != 0) {
      continue;
    }
    EXPECT_EQ(hfstest::ReadContent(open->volume.get(), found->node), testsupport::ReadFile(copy));
    CheckIstat(open->volume.get(), found->node,
               RunCommand("istat" + Offset(sample.startSector) + ShellQuote(image.string()) + " " +
                          std::to_string(entry.inode))
                   .output);
  }
  // Nothing of ours that fls does not list, beyond the private folders.
  for (const auto& [id, found] : catalog.byID()) {
    if (id == hfsplus::kRootFolderID || found.path.find("HFS+ Private") != std::string::npos) continue;
    EXPECT_EQ(fls.count(found.path), 1u) << found.path;
  }
}

// The macOS-made samples (the lx-* ones are checked against their manifests).
std::vector<hfstest::SampleImage> PublicSamples() {
  std::vector<hfstest::SampleImage> out;
  for (const auto& s : hfstest::Samples()) {
    if (std::string(s.name).rfind("lx-", 0) != 0) out.push_back(s);
  }
  return out;
}
INSTANTIATE_TEST_SUITE_P(Public, PeerTest, ::testing::ValuesIn(PublicSamples()),
                         [](const auto& info) { return hfstest::TestName(info.param.name); });

// fsstat's block range and block size, as 512-byte sectors.
uint64_t FsstatSectors(const std::filesystem::path& image, int64_t start) {
  const std::string out = testsupport::RunCommandOrFail("fsstat" + Offset(start) + ShellQuote(image.string()));
  std::smatch range;
  std::smatch size;
  const std::regex blocks(R"(Block Range: 0 - (\d+))");
  const std::regex blockSize(R"(Allocation Block Size: (\d+))");
  if (!std::regex_search(out, range, blocks) || !std::regex_search(out, size, blockSize)) return 0;
  return (std::stoull(range[1]) + 1) * std::stoull(size[1]) / 512;
}

TEST(VolumeAnalyzerTest, RecognisesEverySampleWithFsstatsSize) {
  REQUIRE_TOOL("fsstat");
  for (const auto& sample : hfstest::Samples()) {
    SCOPED_TRACE(sample.name);
    std::string why;
    const auto image = hfstest::Unpacked(sample.name, &why);
    REQUIRE_OR_SKIP(!image.empty(), why);
    devicetest::ImageGuard guard(image);
    IStorageDevice* disk = CreateDiskDevice(image.c_str());
    ASSERT_TRUE(disk != nullptr && disk->Open() != 0);
    IVolumeAnalyze* analyzer = CreateHFSPlusVolumeAnalyze(disk, static_cast<uint64_t>(sample.startSector));
    ASSERT_NE(analyzer, nullptr);
    EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_HFSPLUS);
    EXPECT_EQ(analyzer->GetTotalSector(), FsstatSectors(image, sample.startSector));
    char label[8] = "label";
    analyzer->GetLabel(label, sizeof(label));
    EXPECT_STREQ(label, "");
    analyzer->Release();
    // The partition map in front of the volume is no volume header.
    if (sample.startSector != 0) {
      IVolumeAnalyze* atZero = CreateHFSPlusVolumeAnalyze(disk, 0);
      EXPECT_EQ(atZero->GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
      atZero->Release();
    }
    disk->Close();
    disk->Release();
  }
}

TEST(VolumeAnalyzerTest, LeavesFatAndNtfsVolumesAlone) {
  REQUIRE_TOOL("mkfs.fat");
  REQUIRE_TOOL("mkntfs");
  testsupport::TempDir dir;
  const auto fat = dir / "fat.img";
  const auto ntfs = dir / "ntfs.img";
  testsupport::RunCommandOrFail("truncate -s 16M " + ShellQuote(fat.string()) + " && mkfs.fat -F 16 " +
                                ShellQuote(fat.string()) + " >/dev/null");
  testsupport::RunCommandOrFail("truncate -s 16M " + ShellQuote(ntfs.string()) + " && mkntfs -q -F -Q " +
                                ShellQuote(ntfs.string()) + " >/dev/null 2>&1");
  for (const auto& image : {fat, ntfs}) {
    SCOPED_TRACE(image.string());
    IStorageDevice* disk = CreateDiskDevice(image.c_str());
    ASSERT_TRUE(disk != nullptr && disk->Open() != 0);
    IVolumeAnalyze* analyzer = CreateHFSPlusVolumeAnalyze(disk, 0);
    EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
    EXPECT_EQ(analyzer->GetTotalSector(), 0u);
    analyzer->Release();
    disk->Close();
    disk->Release();
  }
}

}  // namespace
