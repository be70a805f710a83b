// Show and check propagation on a tree copied from a real folder hierarchy,
// compared after every few random operations with a model that recounts
// everything from the children.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FileNode.h"
#include "TestNode.h"
#include "support/TestSupport.h"

namespace {

struct Hierarchy {
  std::vector<std::string> paths;  // index 0 is the top folder ("")
  std::vector<bool> folders;
  std::vector<int> parents;  // -1 for the top folder
};

// The hierarchy as find(1) lists it.
Hierarchy FindHierarchy(const std::string& top) {
  Hierarchy h;
  const auto listing = testsupport::RunCommand("find " + testsupport::ShellQuote(top) + " -printf '%y/%P\\0'");
  EXPECT_EQ(listing.exitCode, 0);
  std::map<std::string, int> index;
  size_t from = 0;
  while (from < listing.output.size()) {
    const size_t end = listing.output.find('\0', from);
    const std::string entry = listing.output.substr(from, end - from);
    from = end == std::string::npos ? listing.output.size() : end + 1;
    if (entry.size() < 2 || entry[1] != '/') continue;
    const std::string path = entry.substr(2);
    int parent = -1;
    if (!path.empty()) {
      const size_t slash = path.rfind('/');
      const auto found = index.find(slash == std::string::npos ? std::string() : path.substr(0, slash));
      if (found == index.end()) continue;
      parent = found->second;
    } else if (!h.paths.empty()) {
      continue;
    }
    index[path] = static_cast<int>(h.paths.size());
    h.paths.push_back(path);
    h.folders.push_back(entry[0] == 'd');
    h.parents.push_back(parent);
  }
  return h;
}

int StatusFrom(int weight, int count) {
  if (weight == 0) return 0;
  return weight == 2 * count ? 2 : 1;
}

// What the tree should look like, recomputed from the children each time.
struct Model {
  std::vector<int> parent;
  std::vector<std::vector<int>> children;
  std::vector<bool> shown;
  std::vector<int> status;

  explicit Model(size_t n) : parent(n, -1), children(n), shown(n, true), status(n, 0) {}

  int Contribution(int n) const { return shown[n] ? status[n] : 0; }
  int Count(int n) const {
    return static_cast<int>(std::count_if(children[n].begin(), children[n].end(), [&](int c) { return shown[c]; }));
  }
  int Weight(int n) const {
    int w = 0;
    for (int c : children[n]) w += Contribution(c);
    return w;
  }

  // Child contributions of `p` changed; the shown-children count too when
  // `countChanged`.
  void Touch(int p, bool countChanged) {
    while (p >= 0) {
      const bool wasShown = shown[p];
      const int oldContribution = Contribution(p);
      if (countChanged) shown[p] = Count(p) > 0;
      status[p] = StatusFrom(Weight(p), Count(p));
      countChanged = shown[p] != wasShown;
      if (!countChanged && Contribution(p) == oldContribution) return;
      p = parent[p];
    }
  }

  void Link(int c, int p) {
    parent[c] = p;
    children[p].push_back(c);
    if (shown[c]) Touch(p, true);
  }

  void Show(int n, bool show) {
    if (shown[n] == show) return;
    shown[n] = show;
    if (parent[n] >= 0) Touch(parent[n], true);
  }

  void Check(int n, int s) {
    if (!shown[n] || (s != 0 && s != 2)) return;
    status[n] = s;
    std::vector<int> pending(children[n]);
    while (!pending.empty()) {
      const int c = pending.back();
      pending.pop_back();
      if (!shown[c]) continue;
      status[c] = s;
      pending.insert(pending.end(), children[c].begin(), children[c].end());
    }
    if (parent[n] >= 0) Touch(parent[n], false);
  }
};

class RealTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string top = "/usr/share/doc";
    REQUIRE_OR_SKIP(std::filesystem::is_directory(top), top + " is missing");
    h = FindHierarchy(top);
    ASSERT_GT(h.paths.size(), 500u) << "too small a hierarchy under " << top;
    for (size_t i = 0; i < h.paths.size(); ++i) {
      const std::string& p = h.paths[i];
      nodes.push_back(std::make_unique<TestNode>(p.substr(p.rfind('/') + 1), h.folders[i]));
    }
  }

  void LinkAll() {
    for (size_t i = 1; i < nodes.size(); ++i) ASSERT_EQ(nodes[h.parents[i]]->AddChild(nodes[i].get()), 1);
  }

  // The counters each node keeps equal what its children say now.
  void ExpectCountersMatchChildren() {
    for (size_t i = 0; i < nodes.size(); ++i) {
      uint32_t count = 0, weight = 0;
      for (IFileNode* c = nodes[i]->GetFirstChild(); c != nullptr; c = c->GetNextNode()) {
        if (c->IsNodeShow() == 0) continue;
        ++count;
        weight += static_cast<uint32_t>(c->GetCheckedStatus());
      }
      ASSERT_EQ(nodes[i]->GetShownChildCount(), count) << h.paths[i];
      ASSERT_EQ(nodes[i]->GetCheckedWeight(), weight) << h.paths[i];
      const int status = nodes[i]->GetCheckedStatus();
      if (count > 0) {
        ASSERT_EQ(status, StatusFrom(static_cast<int>(weight), static_cast<int>(count))) << h.paths[i];
      } else {
        ASSERT_NE(status, 1) << h.paths[i] << " is partly checked without shown children";
      }
    }
  }

  Hierarchy h;
  std::vector<std::unique_ptr<TestNode>> nodes;
};

TEST_F(RealTreeTest, RandomOperationsKeepCountsWeightsAndFlags) {
  const unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const int n = static_cast<int>(nodes.size());
  Model model(nodes.size());

  std::vector<int> linkOrder;  // children in random order: files may come before their folders
  for (int i = 1; i < n; ++i) linkOrder.push_back(i);
  std::shuffle(linkOrder.begin(), linkOrder.end(), rng);
  size_t nextLink = 0;
  std::uniform_int_distribution<int> pick(0, n - 1);
  std::uniform_int_distribution<int> percent(0, 99);

  const int steps = 20000;
  for (int step = 0; step < steps; ++step) {
    const int what = percent(rng);
    if (what < 35 && nextLink < linkOrder.size()) {
      const int c = linkOrder[nextLink++];
      ASSERT_EQ(nodes[h.parents[c]]->AddChild(nodes[c].get()), 1);
      model.Link(c, h.parents[c]);
    } else if (what < 65) {
      const int node = pick(rng);
      const bool show = percent(rng) < 60;
      nodes[node]->ShowNode(show ? 1 : 0);
      model.Show(node, show);
    } else if (what < 92) {
      const int node = pick(rng);
      const int r = percent(rng);
      const int s = r < 45 ? 0 : (r < 90 ? 2 : 1);
      nodes[node]->SetCheck(static_cast<_tagCheckedStatus>(s));
      model.Check(node, s);
    } else {
      // Links that would make a ring or cut a chain are refused.
      const int node = pick(rng);
      if (nodes[node]->GetParent() != nullptr) {
        IFileNode* top = nodes[node].get();
        while (top->GetParent() != nullptr) top = top->GetParent();
        ASSERT_EQ(nodes[node]->AddChild(top), 0);
        ASSERT_EQ(nodes[(node + 1) % n]->AddChild(nodes[node].get()), 0);
      }
    }
    if (step % 25 == 0 || step == steps - 1) {
      SCOPED_TRACE("step " + std::to_string(step));
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(nodes[i]->IsNodeShow(), model.shown[i] ? 1 : 0) << h.paths[i];
        ASSERT_EQ(static_cast<int>(nodes[i]->GetCheckedStatus()), model.status[i]) << h.paths[i];
        ASSERT_EQ(nodes[i]->GetParent(), model.parent[i] < 0 ? nullptr : nodes[model.parent[i]].get());
      }
      ExpectCountersMatchChildren();
    }
  }
}

TEST_F(RealTreeTest, HidingEveryFileOfASubtreeHidesTheSubtree) {
  LinkAll();
  // The folders directly under the top, each a package's documentation.
  std::vector<int> packages;
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (h.parents[i] == 0 && h.folders[i]) packages.push_back(static_cast<int>(i));
  }
  ASSERT_GT(packages.size(), 2u);
  const int victim = packages[packages.size() / 2];
  auto inVictim = [&](size_t i) {
    for (int p = static_cast<int>(i); p >= 0; p = h.parents[p]) {
      if (p == victim) return true;
    }
    return false;
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (inVictim(i) && nodes[i]->GetFirstChild() == nullptr) nodes[i]->ShowNode(0);
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (inVictim(i)) {
      EXPECT_EQ(nodes[i]->IsNodeShow(), 0) << h.paths[i];
    }
  }
  EXPECT_EQ(nodes[0]->IsNodeShow(), 1);
  ExpectCountersMatchChildren();

  // Showing one deep file again shows exactly its chain of folders.
  size_t deepest = 0;
  int depth = -1;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!inVictim(i) || nodes[i]->GetFirstChild() != nullptr) continue;
    int d = 0;
    for (int p = static_cast<int>(i); p != victim; p = h.parents[p]) ++d;
    if (d > depth) depth = d, deepest = i;
  }
  nodes[deepest]->ShowNode(1);
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!inVictim(i)) continue;
    bool onChain = false;
    for (int p = static_cast<int>(deepest); p >= 0; p = h.parents[p]) onChain |= (p == static_cast<int>(i));
    EXPECT_EQ(nodes[i]->IsNodeShow(), onChain ? 1 : 0) << h.paths[i];
  }
  ExpectCountersMatchChildren();
}

TEST_F(RealTreeTest, CheckingTheTopChecksEverythingShown) {
  LinkAll();
  nodes[0]->SetCheck(CHECKED_STATUS_CHECKED);
  for (size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i]->GetCheckedStatus(), CHECKED_STATUS_CHECKED) << h.paths[i];
    EXPECT_EQ(nodes[i]->GetCheckedWeight(), 2 * nodes[i]->GetShownChildCount()) << h.paths[i];
  }
  // Unchecking one file that has siblings leaves each of its folders partly
  // checked.
  size_t file = 0;
  while (file < nodes.size() &&
         (h.folders[file] || h.parents[file] <= 0 || nodes[h.parents[file]]->GetShownChildCount() < 2)) {
    ++file;
  }
  ASSERT_LT(file, nodes.size());
  nodes[file]->SetCheck(CHECKED_STATUS_UNCHECKED);
  for (int p = h.parents[file]; p >= 0; p = h.parents[p]) {
    EXPECT_EQ(nodes[p]->GetCheckedStatus(), CHECKED_STATUS_PARTLY) << h.paths[p];
  }
  ExpectCountersMatchChildren();
  nodes[0]->SetCheck(CHECKED_STATUS_UNCHECKED);
  for (size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(nodes[i]->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  ExpectCountersMatchChildren();
}

}  // namespace
