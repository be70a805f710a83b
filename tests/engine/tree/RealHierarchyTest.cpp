// Real folder hierarchies as find(1) lists them, inode numbers as node IDs,
// fed to the builder in many orders: the tree it builds must be the file
// system's own tree, with withheld folders' contents under "Other lost
// files" and everything below a deleted folder deleted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "TreeTestSupport.h"
#include "support/TestSupport.h"

namespace {

using treetest::BuilderFixture;
using treetest::LedgerNode;
using Lines = std::set<std::string>;
using AllLines = std::multiset<std::string>;

struct Entry {
  int64_t inode = 0;
  bool folder = false;
  uint64_t size = 0;
  uint64_t modified = 0;
  std::string path;  // relative to the top, "" for the top itself
  std::string name;
  int parent = -1;  // index of the parent entry
};

struct Hierarchy {
  std::vector<Entry> entries;  // parents before children; entry 0 is the top
};

// find DIR -printf '%i %y %s %T@ %P', one entry per NUL-terminated record so
// that any byte may appear in a name.
Hierarchy ReadHierarchy(const std::string& top) {
  Hierarchy h;
  const std::string listing = testsupport::RunCommandOrFail("find " + testsupport::ShellQuote(top) +
                                                            " -xdev -printf '%i %y %s %T@ %P\\0' 2>/dev/null");
  std::map<std::string, int> byPath;
  size_t from = 0;
  while (from < listing.size()) {
    size_t end = listing.find('\0', from);
    if (end == std::string::npos) end = listing.size();
    const std::string record = listing.substr(from, end - from);
    from = end + 1;
    // Four fields, then the path (which may hold blanks).
    size_t at = 0;
    std::string fields[4];
    bool ok = true;
    for (auto& field : fields) {
      const size_t blank = record.find(' ', at);
      if (blank == std::string::npos) {
        ok = false;
        break;
      }
      field = record.substr(at, blank - at);
      at = blank + 1;
    }
    if (!ok || fields[1].size() != 1) continue;
    Entry entry;
    entry.inode = std::stoll(fields[0]);
    entry.folder = fields[1] == "d";
    entry.size = std::stoull(fields[2]);
    entry.modified = static_cast<uint64_t>(std::stod(fields[3]) * 1e7) + 116444736000000000ULL;
    entry.path = record.substr(at);
    const size_t slash = entry.path.rfind('/');
    entry.name = slash == std::string::npos ? entry.path : entry.path.substr(slash + 1);
    if (entry.path.empty()) {
      if (!h.entries.empty()) continue;
    } else {
      const auto parent = byPath.find(slash == std::string::npos ? std::string() : entry.path.substr(0, slash));
      if (parent == byPath.end() || !h.entries[parent->second].folder) continue;
      entry.parent = parent->second;
    }
    byPath[entry.path] = static_cast<int>(h.entries.size());
    h.entries.push_back(std::move(entry));
  }
  return h;
}

// Names the builder treats specially (dot names, trashes, recycle bins and
// their generated names) have tests of their own; here they would only
// blur what is compared.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name[0] == '$' || name[0] == '#') return false;
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower != "recycler" && lower != "recycled";
}

struct Scenario {
  std::set<int> withheld;  // folders never handed to the builder
  std::set<int> deleted;   // folders handed over marked deleted
  bool showNormal = true;
};

// What the file system's own tree says the builder must show. Entries not
// marked `fed` (and so none below them) were never handed over.
AllLines ExpectedLines(const Hierarchy& h, const Scenario& s, const std::vector<char>& fed) {
  const auto& e = h.entries;
  std::vector<char> shown(e.size(), 0);
  std::vector<char> lost(e.size(), 0);
  std::vector<char> dead(e.size(), 0);
  std::vector<int> anchorTop(e.size(), -1);  // highest present ancestor when the chain is cut
  for (size_t i = 1; i < e.size(); ++i) {
    if (s.withheld.count(static_cast<int>(i)) || !fed[i]) continue;
    std::vector<int> chain{static_cast<int>(i)};
    int up = e[i].parent;
    while (up != 0 && !s.withheld.count(up)) {
      chain.push_back(up);
      up = e[up].parent;
    }
    bool deleted = false;
    for (int c : chain) deleted = deleted || s.deleted.count(c) != 0;
    dead[i] = deleted;
    if (up != 0) {
      lost[i] = 1;
      anchorTop[i] = chain.back();
    }
    if (e[i].folder) continue;
    if (!s.showNormal && !deleted) continue;
    if (lost[i] && chain.size() == 1 && e[i].size == 0) continue;  // an empty file alone in the lost folder
    for (int c : chain) shown[c] = 1;
  }
  AllLines lines;
  bool anyLost = false;
  for (size_t i = 1; i < e.size(); ++i) {
    if (!shown[i]) continue;
    std::string path = e[i].path;
    if (lost[i]) {
      anyLost = true;
      const Entry& topEntry = e[anchorTop[i]];
      const size_t cut = topEntry.path.size() - topEntry.name.size();
      path = "Other lost files/" + path.substr(cut);
    }
    lines.insert(path + (e[i].folder ? "/" : "") + (dead[i] ? " [deleted]" : ""));
  }
  if (anyLost) lines.insert("Other lost files/");
  return lines;
}

std::string Difference(const AllLines& expected, const AllLines& actual) {
  std::vector<std::string> missing;
  std::vector<std::string> extra;
  std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
  std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
  std::string out;
  for (size_t i = 0; i < missing.size() && i < 10; ++i) out += "  missing: " + missing[i] + "\n";
  for (size_t i = 0; i < extra.size() && i < 10; ++i) out += "  extra:   " + extra[i] + "\n";
  return out;
}

class RealHierarchy : public BuilderFixture {
 protected:
  static const Hierarchy& SystemFolder() {
    static const Hierarchy h = ReadHierarchy("/usr/share");
    return h;
  }

  // Every folder of the hierarchy with only plain names on its path, so
  // that a random pick lands on something the builder shows plainly.
  static std::vector<int> PlainFolders(const Hierarchy& h) {
    std::vector<int> folders;
    for (size_t i = 1; i < h.entries.size(); ++i) {
      if (h.entries[i].folder && Plain(h, static_cast<int>(i))) folders.push_back(static_cast<int>(i));
    }
    return folders;
  }
  static bool Plain(const Hierarchy& h, int i) {
    for (; i > 0; i = h.entries[i].parent) {
      if (!IsPlainName(h.entries[i].name)) return false;
    }
    return true;
  }

  // Feeds the hierarchy in `order`, finishes the tree and compares it.
  void Run(const Hierarchy& h, const Scenario& scenario, const std::vector<int>& order) {
    filter.showNormal = scenario.showNormal;
    Init("share");
    const int64_t rootID = h.entries[0].inode;
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, rootID), 1);
    size_t fed = 0;
    for (int i : order) {
      if (i == 0 || scenario.withheld.count(i) || !Plain(h, i)) continue;
      const Entry& entry = h.entries[i];
      auto* node = Node(entry.inode, h.entries[entry.parent].inode, entry.name, entry.folder, entry.size);
      node->SetModified(entry.modified);
      if (scenario.deleted.count(i)) node->MarkDeleted();
      ASSERT_EQ(Add(node, SEARCHER_TYPE_FAT), 1) << entry.path;
      ++fed;
      if (fed % 5000 == 0) ++now;  // time passes as a scan goes on
    }
    builder->FlashBuild(SEARCHER_TYPE_FAT);

    std::vector<char> plain(h.entries.size(), 0);
    for (size_t i = 1; i < h.entries.size(); ++i) plain[i] = Plain(h, static_cast<int>(i));
    const AllLines expected = ExpectedLines(h, scenario, plain);
    const auto actual = treetest::TreeLines<AllLines>(builder->GetRoot(SEARCHER_TYPE_FAT));
    EXPECT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected) << Difference(expected, actual);

    // The receiver saw the root once, before its nodes, each node once.
    ExpectNoSinkProblems();
    ASSERT_EQ(sink.roots.size(), 1u);
    EXPECT_EQ(sink.NodesShown(), actual.size());
    int lostBatches = 0;
    for (const auto& batch : sink.batches) lostBatches += batch.lost;
    EXPECT_EQ(lostBatches, expected.count("Other lost files/") ? 1 : 0);
    // What is not in the tree was released; the tree owns the rest.
    EXPECT_EQ(static_cast<size_t>(ledger.Live()) + lostBatches, actual.size());
    EXPECT_EQ(Counters(SEARCHER_TYPE_FAT).owned, actual.size());
  }

  static std::vector<int> Shuffled(size_t n, unsigned seed) {
    std::vector<int> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int>(i);
    std::mt19937 random(seed);
    std::shuffle(order.begin(), order.end(), random);
    return order;
  }

  static std::set<int> Pick(const std::vector<int>& from, size_t count, unsigned seed,
                            const std::set<int>& avoid = {}) {
    std::vector<int> pool;
    for (int i : from) {
      if (!avoid.count(i)) pool.push_back(i);
    }
    std::mt19937 random(seed);
    std::shuffle(pool.begin(), pool.end(), random);
    pool.resize(std::min(count, pool.size()));
    return {pool.begin(), pool.end()};
  }
};

TEST_F(RealHierarchy, SystemFolderListedParentsFirstBuildsItsOwnTree) {
  const Hierarchy& h = SystemFolder();
  ASSERT_GT(h.entries.size(), 10000u) << "/usr/share is unexpectedly small";
  std::vector<int> order(h.entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  Run(h, {}, order);
}

TEST_F(RealHierarchy, SystemFolderListedChildrenFirstBuildsItsOwnTree) {
  const Hierarchy& h = SystemFolder();
  std::vector<int> order(h.entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(order.size() - 1 - i);
  Run(h, {}, order);
}

TEST_F(RealHierarchy, SystemFolderInShuffledOrdersBuildsItsOwnTree) {
  const Hierarchy& h = SystemFolder();
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    Run(h, {}, Shuffled(h.entries.size(), seed));
    builder->Release();
    EXPECT_EQ(ledger.Live(), 0);
    builder = new CDirectoryTreeBuilder(false);
    builder->SetClock([this] { return now; });
    builder->SetPause([this] { ++pauses; });
    sink = {};
    if (HasFailure()) break;
  }
}

TEST_F(RealHierarchy, WithheldFoldersLeaveTheirContentUnderLostFiles) {
  const Hierarchy& h = SystemFolder();
  Scenario scenario;
  scenario.withheld = Pick(PlainFolders(h), 60, 4);
  Run(h, scenario, Shuffled(h.entries.size(), 4));
}

TEST_F(RealHierarchy, DeletedFoldersMakeEverythingBelowThemDeleted) {
  const Hierarchy& h = SystemFolder();
  Scenario scenario;
  const auto folders = PlainFolders(h);
  scenario.withheld = Pick(folders, 30, 5);
  scenario.deleted = Pick(folders, 60, 6, scenario.withheld);
  Run(h, scenario, Shuffled(h.entries.size(), 5));
}

TEST_F(RealHierarchy, WithNormalFilesHiddenOnlyDeletedBranchesShow) {
  const Hierarchy& h = SystemFolder();
  Scenario scenario;
  scenario.showNormal = false;
  const auto folders = PlainFolders(h);
  scenario.withheld = Pick(folders, 30, 7);
  scenario.deleted = Pick(folders, 80, 8, scenario.withheld);
  Run(h, scenario, Shuffled(h.entries.size(), 7));
}

// A small hierarchy made for the special names, with real inode numbers.
TEST_F(BuilderFixture, MadeHierarchyKeepsTheNameRules) {
  testsupport::TempDir dir;
  testsupport::RunCommandOrFail("cd " + testsupport::ShellQuote(dir.path().string()) +
                                " && mkdir -p docs .config/app empty deep/x/y .Trashes/501"
                                " && printf 12345 > docs/a.txt && printf 123 > docs/.hidden"
                                " && printf 1234567 > .config/app/settings.ini && : > emptyfile"
                                " && printf 1 > deep/x/y/z.bin && printf 123456789 > .Trashes/501/old.doc");
  const Hierarchy h = ReadHierarchy(dir.path().string());
  ASSERT_EQ(h.entries.size(), 16u);
  Init("made");
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_EXFAT, h.entries[0].inode), 1);
  std::mt19937 random(9);
  std::vector<int> order(h.entries.size() - 1);
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i + 1);
  std::shuffle(order.begin(), order.end(), random);
  for (int i : order) {
    const Entry& e = h.entries[i];
    Add(Node(e.inode, h.entries[e.parent].inode, e.name, e.folder, e.size), SEARCHER_TYPE_EXFAT);
  }
  builder->FlashBuild(SEARCHER_TYPE_EXFAT);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_EXFAT),
            (Lines{"docs/", "docs/a.txt", "config/", "config/app/", "config/app/settings.ini", "emptyfile", "deep/",
                   "deep/x/", "deep/x/y/", "deep/x/y/z.bin", "Trashes/ [deleted]", "Trashes/501/ [deleted]",
                   "Trashes/501/old.doc [deleted]"}));
  ExpectNoSinkProblems();
}

}  // namespace
