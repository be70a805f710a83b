#include "HFSPlusQuickScan.h"

#include <unistd.h>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <fstream>
#include <sstream>

#include "DataRecovery.h"
#include "FileNode.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace hfsquick {

namespace fs = std::filesystem;

fs::path Fixtures(std::string* why) {
  // The folder CI made the set in once, as the rows use it; else the build's.
  static const fs::path dir = conformance::FixtureDir("CLIPMENDER_HFSPLUS_FIXTURES", CLIPMENDER_HFSPLUS_QUICK_DIR);
  static std::string failure;
  static const int made = [] {
    const fs::path script = testsupport::SourceDir() / "tests/fixtures/hfsplus/make-hfsplus-images.sh";
    const auto run = testsupport::RunCommand(
        "CLIPMENDER_SHARED_FIXTURES=" + testsupport::ShellQuote(testsupport::SharedFixturesDir().string()) + " bash " +
        testsupport::ShellQuote(script.string()) + " " + testsupport::ShellQuote(dir.string()) + " 2>&1");
    if (run.exitCode != 0) failure = "HFS+ fixtures not made: " + run.output;
    return run.exitCode == 0 ? 0 : run.exitCode;
  }();
  // 77: a tool or the shared samples are missing; anything else is a broken
  // fixture, which must not pass for a skip.
  if (made != 0 && made != 77) ADD_FAILURE() << failure;
  if (made != 0) {
    if (why != nullptr) *why = failure;
    return {};
  }
  return dir;
}

std::string Nfc(const std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  std::string out;
  nfc->normalize(text, status).toUTF8String(out);
  return out;
}

std::vector<Expected> ReadExpect(const fs::path& tsv) {
  std::vector<Expected> rows;
  std::ifstream in(tsv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() != 7) continue;
    Expected e;
    e.folder = f[0] == "d";
    e.deleted = f[1] == "deleted";
    e.size = f[2] == "-" ? -1 : std::stoll(f[2]);
    e.sha256 = f[5] != "-" ? f[5] : f[4];
    e.path = f[6];
    rows.push_back(e);
  }
  return rows;
}

fs::path RowFixtures(std::string* why) {
  const fs::path dir = conformance::FixtureDir("CLIPMENDER_HFSPLUS_FIXTURES", CLIPMENDER_HFSPLUS_QUICK_DIR);
  setenv("CLIPMENDER_SHARED_FIXTURES", testsupport::SharedFixturesDir().c_str(), 0);
  *why = conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/hfsplus/make-hfsplus-images.sh", dir);
  return dir;
}

void WriteExpectWithHiddenFiles(const fs::path& expect, const fs::path& fls, const fs::path& out) {
  fs::create_directories(out.parent_path());
  // Rows of one image run at once in processes of their own: each writes a
  // file of its own and renames it over the shared one, so no row ever reads
  // a half-written expectation.
  const fs::path part = out.string() + "." + std::to_string(::getpid());
  testsupport::RunCommandOrFail(
      "{ cat " + testsupport::ShellQuote(expect.string()) + "; sed -n " +
      testsupport::ShellQuote(R"(s|^r/r [0-9]*:\t....HFS+ Private Data/\(iNode[0-9]*\)$|f\tlive\t-\t-\t-\t-\t)"
                              R"(Other lost files/\1|p)") +
      " " + testsupport::ShellQuote(fls.string()) + "; } >" + testsupport::ShellQuote(part.string()));
  fs::rename(part, out);
}

Scan::Scan(IStorageDevice* dev) : device(dev), searcher(CreateHFSPlusQuickSearcher()) {
  searcher->SetDirecotryTreeBuilder(&builder);
  result = searcher->QuickSearchFiles(device, nullptr);
  struct Item {
    CFileNode* node;
    int64_t parent;
    std::string name;
  };
  std::map<int64_t, Item> folders;
  for (IFileNode* n : builder.nodes) {
    auto* node = dynamic_cast<CFileNode*>(n);
    if (node != nullptr && node->IsDirectory() && !node->IsDeleted()) {
      folders[node->GetCurrentNodeID()] = Item{node, node->GetParentNodeID(), node->GetFileName()};
    }
  }
  auto pathOf = [&](CFileNode* node) {
    std::string path = node->GetFileName();
    int64_t parent = node->GetParentNodeID();
    for (int depth = 0; parent != 2 && depth < 64; ++depth) {
      auto it = folders.find(parent);
      if (it == folders.end()) return "Other lost files/" + path;
      path = it->second.name + "/" + path;
      parent = it->second.parent;
    }
    return Nfc(path);
  };
  for (IFileNode* n : builder.nodes) {
    auto* node = dynamic_cast<CFileNode*>(n);
    if (node == nullptr) continue;
    const std::string path = pathOf(node);
    (node->IsDeleted() ? deleted : live).emplace(path, Shown{node, path});
  }
}

Scan::~Scan() { builder.Drop(); }

const Shown* Scan::Find(const std::string& path, bool wantDeleted) const {
  const auto& in = wantDeleted ? deleted : live;
  auto it = in.find(Nfc(path));
  return it == in.end() ? nullptr : &it->second;
}

std::optional<std::vector<uint8_t>> Scan::CopyOut(CFileNode* node, const fs::path& to) {
  std::unique_ptr<IDataRecovery, void (*)(IDataRecovery*)> copy(CreateDataRecoveryObj(),
                                                                [](IDataRecovery* r) { r->Release(); });
  if (!copy || result::IsFailure(copy->Initialize(searcher.get(), device))) return std::nullopt;
  IFileReader* clone = copy->SetRecoverNode(node);
  if (clone == nullptr) return std::nullopt;
  clone->Release();
  if (result::IsFailure(copy->RecoverTo(to.c_str(), nullptr, 0))) return std::nullopt;
  std::ifstream in(to, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace hfsquick
