// Pictures, sound and films made by real tools, laid into images by dd and by file systems
// (tests/fixtures/raw/make-raw-images.sh): each must come back whole under
// its folder and name, and per type at least as often as PhotoRec and
// foremost bring it back.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "BenchDoubles.h"
#include "DataRecovery.h"
#include "DataRunList.h"
#include "DirectoryTree.h"
#include "FileReader.h"
#include "FileSystemSearchController.h"
#include "FileTypeManager.h"
#include "RecoveryFilter.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "scan/CRecoveryController.h"
#include "support/Conformance.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct Expected {
  uint64_t offset, length;
  std::string folder, prefix, type;
};

const fs::path& FixtureDir() {
  static const fs::path dir = conformance::FixtureDir("CLIPMENDER_RAW_FIXTURES", CLIPMENDER_RAW_FIXTURE_DIR);
  return dir;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string piece;
  while (std::getline(in, piece, '\t')) out.push_back(piece);
  return out;
}

class CarveFixture : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    const auto script = testsupport::SourceDir() / "tests/fixtures/raw/make-raw-images.sh";
    const std::string shared = testsupport::SharedFixturesDir().string();
    made_ = testsupport::RunCommand("CLIPMENDER_SHARED_FIXTURES=" + testsupport::ShellQuote(shared) + " bash " +
                                    testsupport::ShellQuote(script.string()) + " " +
                                    testsupport::ShellQuote(FixtureDir().string()) + " 2>&1");
    strPics = "jpg;png;bmp;gif;ico;cur;psd;psp;wmf;emf;crw;mrw;x3f;cpt";
    strMusic = "mp3;wav;aiff;au;ogg";
    strMovies = "mp4;mov;mkv;avi;flv;3gp";
  }
  static testsupport::CommandResult made_;
};
testsupport::CommandResult CarveFixture::made_;

TEST_P(CarveFixture, EveryPictureComesBackWholeUnderItsFolderAndName) {
  REQUIRE_OR_SKIP(made_.exitCode != 77, made_.output);
  ASSERT_EQ(made_.exitCode, 0) << made_.output;
  const fs::path image = FixtureDir() / GetParam();
  std::vector<Expected> expected;
  std::ifstream tsv(image.string() + ".carve.tsv");
  for (std::string line; std::getline(tsv, line);) {
    const auto f = Split(line);
    ASSERT_EQ(f.size(), 7u) << line;
    expected.push_back({std::stoull(f[0]), std::stoull(f[1]), f[4], f[5], f[6]});
  }
  ASSERT_FALSE(expected.empty());
  const std::vector<uint8_t> bytes = testsupport::ReadFile(image);

  std::map<std::string, int> oursWhole, oursExact;
  {
    devicetest::ImageGuard guard(image);
    IStorageDevice* device = CreateDiskDevice(image.c_str());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Open(), 1);
    testsupport::RecordingBuilder builder;
    testsupport::RecordingProgress sink;
    ICompleteFileSystemSearchController* raw = CreateRAWSearcher();
    ASSERT_NE(raw, nullptr);
    raw->SetIProgressSink(&sink);
    raw->SetDevice(device);
    raw->SetBlockSize(8192);
    raw->SetDirecotryTreeBuilder(&builder);
    raw->PreparetoSearch();
    const int64_t total = device->GetTotalSectors();
    for (int64_t first = 0; first < total; first += 8192)
      raw->AnalyzeBlock(first, std::min<int64_t>(8192, total - first));
    raw->EndSearch(1);
    delete raw;

    std::map<int64_t, std::string> folders;
    for (const auto& a : builder.added) {
      if (a.folder) folders[a.id] = a.name;
    }
    // Carved files by the byte where their run starts.
    std::map<uint64_t, IFileNode*> byOffset;
    for (IFileNode* node : builder.owned) {
      auto* file = dynamic_cast<CFileNode*>(node);
      if (file == nullptr || node->IsDirectory() || file->GetDataRunList() == nullptr) continue;
      const DataRun* run = file->GetDataRunList()->GetFirst();
      if (run != nullptr) byOffset[static_cast<uint64_t>(run->start) * 512] = node;
    }
    for (const Expected& e : expected) {
      SCOPED_TRACE(std::string(GetParam()) + " at " + std::to_string(e.offset) + " " + e.type);
      const auto found = byOffset.find(e.offset);
      ASSERT_NE(found, byOffset.end()) << "not carved";
      IFileNode* node = found->second;
      const std::string name = node->GetFileName();
      EXPECT_EQ(folders[node->GetParentNodeID()], e.folder);
      const std::string prefix = std::regex_replace(e.prefix, std::regex(R"([\^$.|?*+()\[\]{}\\])"), R"(\$&)");
      EXPECT_TRUE(std::regex_match(name, std::regex(prefix + "[0-9]{3,}\\." + e.type))) << name;
      // The image holds the original at its offset (the fixture checks it):
      // the carved run must cover it and stay inside the image.
      ASSERT_GE(node->GetFileSize(), e.length) << "the original must be a prefix of the carved file";
      EXPECT_LE(e.offset + node->GetFileSize(), bytes.size());
      oursWhole[e.type] += 1;
      oursExact[e.type] += node->GetFileSize() == e.length ? 1 : 0;
    }
    device->Close();
    device->Release();
  }
  // Against the peers, per type: every original they bring back whole, we
  // bring back whole too.
  std::ifstream peers(image.string() + ".peers.tsv");
  for (std::string line; std::getline(peers, line);) {
    const auto f = Split(line);
    ASSERT_EQ(f.size(), 4u) << line;
    std::printf("%-12s %-4s %-9s identical %s whole %s | ours: identical %d whole %d\n", GetParam(), f[0].c_str(),
                f[1].c_str(), f[2].c_str(), f[3].c_str(), oursExact[f[0]], oursWhole[f[0]]);
    EXPECT_GE(oursWhole[f[0]], std::stoi(f[3])) << f[0] << " against " << f[1];
  }
}

INSTANTIATE_TEST_SUITE_P(Images, CarveFixture, ::testing::Values("zeros.img", "random.img", "fat.img", "ntfs.img"),
                         [](const auto& info) {
                           return std::string(info.param).substr(0, std::strlen(info.param) - 4);
                         });

// The whole chain on the image between zeros: a complete scan through the
// recovery controller with the carver among its searchers, then copy-out of
// every carved picture, which must give the original back byte for byte.
class ShownFiles : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode** nodes, unsigned count, int) override {
    for (unsigned i = 0; i < count; ++i) {
      if (nodes[i]->GetSearcheType() == SEARCHER_TYPE_RAW || !nodes[i]->IsDirectory()) files.push_back(nodes[i]);
    }
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  std::vector<IFileNode*> files;
};
TEST_F(CarveFixture, ACompleteScanCopiesEveryPictureOutWhole) {
  REQUIRE_OR_SKIP(made_.exitCode != 77, made_.output);
  ASSERT_EQ(made_.exitCode, 0) << made_.output;
  const fs::path image = FixtureDir() / "zeros.img";
  devicetest::ImageGuard guard(image);
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  ASSERT_EQ(device->Open(), 1);
  CPartitionRecoveryController* controller = new CPartitionRecoveryController();
  RecoveryControllerParts parts = RecoveryControllerParts::Defaults();
  parts.flushFileBuffers = [] {};
  controller->SetParts(parts);
  bench::PassAll filter;
  ShownFiles tree;
  testsupport::RecordingProgress sink;
  controller->Initialize(&filter);
  ASSERT_EQ(controller->StartDataRecovery(device.get(), &sink, &tree), 0u);
  IDataRecovery* recovery = controller->GetDataRecovery(SEARCHER_TYPE_RAW);
  ASSERT_NE(recovery, nullptr);
  testsupport::TempDir out;
  std::map<std::string, std::string> carvedBySha;
  for (IFileNode* node : tree.files) {
    if (node->IsDirectory()) continue;
    IFileReader* reader = recovery->SetRecoverNode(node);
    ASSERT_NE(reader, nullptr) << node->GetFileName();
    reader->Release();
    const fs::path copy = out / node->GetFileName();
    ASSERT_EQ(recovery->RecoverTo(copy.c_str(), nullptr, 0), 0u) << node->GetFileName();
    EXPECT_EQ(fs::file_size(copy), node->GetFileSize());
    carvedBySha[testsupport::Sha256(copy)] = node->GetFileName();
  }
  std::ifstream tsv(image.string() + ".carve.tsv");
  int whole = 0, lines = 0;
  for (std::string line; std::getline(tsv, line); ++lines) {
    // Between zeros every picture whose size its own structure gives ends
    // exactly; the camera raws here are stripped samples that do not.
    const auto f = Split(line);
    if (f[6] == "CRW" || f[6] == "MRW") continue;
    EXPECT_TRUE(carvedBySha.count(f[2]) == 1) << line;
    whole += carvedBySha.count(f[2]) == 1;
  }
  EXPECT_GT(whole, 10);
  recovery->Release();
  controller->Release();
}

}  // namespace
