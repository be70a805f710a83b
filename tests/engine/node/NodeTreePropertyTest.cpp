// Show and check propagation on a tree copied from a real folder hierarchy:
// after random links, shows, hides and checks, every node's counters equal a
// recount of its children and its flags equal those of a model that applies
// each rule by recounting.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TestNode.h"
#include "support/TestSupport.h"

namespace {

struct Model {
  std::vector<int> parent, status;
  std::vector<std::vector<int>> kids;
  std::vector<bool> shown;

  int Part(int n) const { return shown[n] ? status[n] : 0; }
  // A child of `p` changed what it adds, and its shown flag when `flag`.
  void Up(int p, bool flag) {
    for (; p >= 0; p = parent[p]) {
      const bool was = shown[p];
      const int old = Part(p);
      int count = 0, weight = 0;
      for (int c : kids[p]) count += shown[c] ? 1 : 0, weight += Part(c);
      if (flag) shown[p] = count > 0;
      status[p] = weight == 0 ? 0 : weight == 2 * count ? 2 : 1;
      flag = shown[p] != was;
      if (!flag && Part(p) == old) return;
    }
  }
};

TEST(RealTree, RandomOperationsKeepCountsWeightsAndFlags) {
  const std::string top = "/usr/share/doc";
  REQUIRE_OR_SKIP(std::filesystem::is_directory(top), top + " is missing");
  std::istringstream in(testsupport::RunCommandOrFail("find " + top + " -printf '%y%P\\0'"));
  std::vector<std::unique_ptr<TestNode>> nodes;
  std::vector<int> up;  // each node's parent in the hierarchy
  std::map<std::string, int> index;
  for (std::string entry; std::getline(in, entry, '\0');) {
    const std::string path = entry.substr(1);
    const size_t slash = path.rfind('/');
    const auto parent = index.find(slash == std::string::npos ? "" : path.substr(0, slash));
    if (path.empty() != nodes.empty() || (!path.empty() && parent == index.end())) continue;
    index[path] = static_cast<int>(nodes.size());
    up.push_back(path.empty() ? -1 : parent->second);
    nodes.push_back(std::make_unique<TestNode>(path.substr(slash + 1), entry[0] == 'd'));
  }
  const int n = static_cast<int>(nodes.size());
  ASSERT_GT(n, 500) << "too small a hierarchy under " << top;

  std::mt19937 rng(20240611);
  std::vector<int> linkOrder(n - 1);  // files may come before their folders
  for (int i = 1; i < n; ++i) linkOrder[i - 1] = i;
  std::shuffle(linkOrder.begin(), linkOrder.end(), rng);
  Model m{std::vector<int>(n, -1), std::vector<int>(n, 0), std::vector<std::vector<int>>(n),
          std::vector<bool>(n, true)};
  auto link = [&](int c) {
    ASSERT_EQ(nodes[up[c]]->AddChild(nodes[c].get()), 1);
    m.kids[m.parent[c] = up[c]].push_back(c);
    if (m.shown[c]) m.Up(up[c], true);
  };
  auto show = [&](int i, bool s) {
    nodes[i]->ShowNode(s ? 1 : 0);
    if (m.shown[i] != s) m.shown[i] = s, m.Up(m.parent[i], true);
  };
  auto check = [&](int i, int s) {
    nodes[i]->SetCheck(static_cast<_tagCheckedStatus>(s));
    if (!m.shown[i] || s == 1) return;  // partly checked is never set from outside
    for (std::vector<int> todo{i}; !todo.empty();) {
      const int c = todo.back();
      todo.pop_back();
      if (m.shown[c]) m.status[c] = s, todo.insert(todo.end(), m.kids[c].begin(), m.kids[c].end());
    }
    m.Up(m.parent[i], false);
  };
  auto compare = [&] {
    for (int i = 0; i < n; ++i) {
      uint32_t count = 0, weight = 0;
      for (IFileNode* c = nodes[i]->GetFirstChild(); c != nullptr; c = c->GetNextNode()) {
        count += c->IsNodeShow() != 0 ? 1 : 0;
        weight += c->IsNodeShow() != 0 ? static_cast<uint32_t>(c->GetCheckedStatus()) : 0;
      }
      ASSERT_EQ(nodes[i]->GetShownChildCount(), count) << i;
      ASSERT_EQ(nodes[i]->GetCheckedWeight(), weight) << i;
      ASSERT_EQ(nodes[i]->IsNodeShow(), m.shown[i] ? 1 : 0) << i;
      ASSERT_EQ(static_cast<int>(nodes[i]->GetCheckedStatus()), m.status[i]) << i;
      ASSERT_TRUE(count > 0 || m.status[i] != 1) << i;
    }
  };

  size_t linked = 0;
  for (int step = 0; step < 20000 && !HasFatalFailure(); ++step) {
    const int what = static_cast<int>(rng() % 100), i = static_cast<int>(rng() % n);
    if (what < 35 && linked < linkOrder.size()) {
      link(linkOrder[linked++]);
    } else if (what < 65) {
      show(i, rng() % 100 < 60);
    } else {
      const int r = static_cast<int>(rng() % 100);
      check(i, r < 45 ? 0 : r < 90 ? 2 : 1);
    }
    if (step % 25 == 0) compare();
  }

  while (linked < linkOrder.size()) link(linkOrder[linked++]);
  compare();
}

}  // namespace
