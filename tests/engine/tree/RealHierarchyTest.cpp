// Real folder hierarchies as find(1) lists them, inode numbers as node IDs,
// fed to the builder in many orders: the tree it builds must be the file
// system's own, with withheld folders' contents under "Other lost files" and
// everything below a deleted folder deleted.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TreeTestSupport.h"
#include "support/TestSupport.h"

namespace {

using treetest::Lines;

struct Entry {
  int64_t inode = 0;
  bool folder = false;
  uint64_t size = 0;
  std::string path, name;  // the path is relative to the top, "" for the top
  int parent = -1;
};

// find TOP -printf '%i %y %s %P\0': entry 0 is the top, parents come first.
std::vector<Entry> ReadHierarchy(const std::string& top) {
  std::vector<Entry> h;
  std::map<std::string, int> byPath;
  std::istringstream listing(testsupport::RunCommandOrFail("find " + testsupport::ShellQuote(top) +
                                                           " -xdev -printf '%i %y %s %P\\0' 2>/dev/null"));
  for (std::string record, kind; std::getline(listing, record, '\0');) {
    Entry e;
    std::istringstream in(record);
    in >> e.inode >> kind >> e.size;
    in.get();
    std::getline(in, e.path);
    const size_t slash = e.path.rfind('/');
    const auto parent = byPath.find(slash == std::string::npos ? "" : e.path.substr(0, slash));
    if (e.path.empty() ? !h.empty() : parent == byPath.end() || !h[parent->second].folder) continue;
    e.folder = kind == "d";
    e.name = e.path.substr(slash + 1);
    e.parent = e.path.empty() ? -1 : parent->second;
    byPath[e.path] = static_cast<int>(h.size());
    h.push_back(e);
  }
  return h;
}

// Paths without the names the builder treats specially (dot names, trashes,
// recycle bins and their generated names), which have tests of their own.
bool Plain(const std::vector<Entry>& h, int i) {
  for (; i > 0; i = h[i].parent) {
    std::string lower = h[i].name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.empty() || std::string(".$#").find(lower[0]) != std::string::npos || lower == "recycler" ||
        lower == "recycled") {
      return false;
    }
  }
  return true;
}

struct Scenario {
  const char* what;
  int order;                 // 0 parents first, 1 children first, else shuffled with this seed
  size_t withheld, deleted;  // how many folders are never fed, or fed deleted
  bool showNormal = true;
};

// What the file system's own tree says the builder must show.
Lines Expected(const std::vector<Entry>& h, const std::set<int>& withheld, const std::set<int>& deleted,
               bool showNormal) {
  std::vector<char> shown(h.size()), dead(h.size());
  std::vector<int> lostTop(h.size(), -1);  // the highest folder fed when the chain to the top is cut
  for (int i = 1; i < static_cast<int>(h.size()); ++i) {
    if (withheld.count(i) != 0 || !Plain(h, i)) continue;
    std::vector<int> chain{i};
    int up = h[i].parent;
    for (; up != 0 && withheld.count(up) == 0; up = h[up].parent) chain.push_back(up);
    if (up != 0) lostTop[i] = chain.back();
    for (int c : chain) dead[i] |= deleted.count(c) != 0 ? 1 : 0;
    if (h[i].folder || (!showNormal && !dead[i]) || (lostTop[i] == i && h[i].size == 0)) continue;
    for (int c : chain) shown[c] = 1;
  }
  Lines lines;
  for (size_t i = 1; i < h.size(); ++i) {
    if (!shown[i]) continue;
    std::string path = h[i].path;
    if (lostTop[i] >= 0) {
      path = "Other lost files/" + path.substr(h[lostTop[i]].path.size() - h[lostTop[i]].name.size());
      if (lines.count("Other lost files/") == 0) lines.insert("Other lost files/");
    }
    lines.insert(path + (h[i].folder ? "/" : "") + (dead[i] ? " [deleted]" : ""));
  }
  return lines;
}

using RealHierarchy = treetest::BuilderFixture;

TEST_F(RealHierarchy, SystemFolderInManyOrdersBuildsItsOwnTree) {
  const std::vector<Entry> h = ReadHierarchy("/usr/share");
  ASSERT_GT(h.size(), 10000u) << "/usr/share is unexpectedly small";
  std::vector<int> folders;
  for (int i = 1; i < static_cast<int>(h.size()); ++i) {
    if (h[i].folder && Plain(h, i)) folders.push_back(i);
  }
  const Scenario scenarios[] = {{"parents first", 0, 0, 0},
                                {"children first", 1, 0, 0},
                                {"shuffled", 2, 0, 0},
                                {"withheld folders", 4, 60, 0},
                                {"deleted folders", 5, 30, 60},
                                {"normal files hidden", 7, 30, 80, false}};
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(std::string(s.what) + " " + std::to_string(s.order));
    std::mt19937 random(s.order);
    std::vector<int> order(h.size()), pool = folders;
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(s.order == 1 ? order.size() - 1 - i : i);
    if (s.order > 1) std::shuffle(order.begin(), order.end(), random);
    std::shuffle(pool.begin(), pool.end(), random);
    const std::set<int> withheld(pool.begin(), pool.begin() + s.withheld),
        deleted(pool.begin() + s.withheld, pool.begin() + s.withheld + s.deleted);
    Reset();
    filter.showNormal = s.showNormal;
    Init("share");
    ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_FAT, h[0].inode), 1);
    for (int i : order) {
      if (i == 0 || withheld.count(i) != 0 || !Plain(h, i)) continue;
      auto* node = Node(h[i].inode, h[h[i].parent].inode, h[i].name, h[i].folder, h[i].size);
      if (deleted.count(i) != 0) node->MarkDeleted();
      ASSERT_EQ(Add(node, SEARCHER_TYPE_FAT), 1) << h[i].path;
      now += i % 5000 == 0 ? 1 : 0;  // time passes as a scan goes on
    }
    builder->FlashBuild(SEARCHER_TYPE_FAT);
    const Lines expected = Expected(h, withheld, deleted, s.showNormal), actual = TreeOf(SEARCHER_TYPE_FAT);
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << "missing " << testing::PrintToString(missing) << "\nextra " << testing::PrintToString(extra);
    // The receiver saw the root once, then each node once; what is not in the
    // tree was released, and the tree owns the rest.
    ExpectNoSinkProblems();
    EXPECT_EQ(sink.roots.size(), 1u);
    EXPECT_EQ(sink.seen.size(), actual.size());
    EXPECT_EQ(static_cast<size_t>(ledger.Live()) + expected.count("Other lost files/"), actual.size());
    EXPECT_EQ(Counters(SEARCHER_TYPE_FAT).owned, actual.size());
  }
}

}  // namespace
