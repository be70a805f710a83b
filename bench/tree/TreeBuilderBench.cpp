// How the tree builder's time grows with the size of a scan: synthetic trees
// of 10 thousand, 100 thousand and 1 million nodes, a tenth of them orphans
// whose parents never come, fed in shuffled order with incremental builds as
// in a scan. A builder that rescanned its orphans on every build would slow
// down a hundredfold from the smallest to the largest run; a linear one keeps
// its rate, apart from what the memory hierarchy takes, which the hash-map
// peer shows.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "DirectoryTree.h"
#include "RecoveryFilter.h"
#include "engine/node/TestNode.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

using bench::CountingTree;
using bench::PassAll;

struct Result {
  double seconds = 0;
  double baseline = 0;
  double finishing = 0;  // FlashBuild's part
  double stepsPerNode = 0;
  size_t shown = 0;
};

constexpr int64_t kRoot = 5;

Result RunOnce(size_t count, unsigned seed) {
  std::mt19937_64 random(seed);
  struct Plan {
    int64_t id;
    int64_t parent;
    bool folder;
  };
  const size_t folders = count / 10;
  std::vector<Plan> plan;
  plan.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const bool folder = i < folders;
    int64_t parent;
    if (random() % 10 == 0) {
      parent = 1'000'000'000 + static_cast<int64_t>(random() % (count + 1));  // never comes
    } else if (folder) {
      parent = i == 0 || random() % 20 == 0 ? kRoot : 100 + static_cast<int64_t>(random() % i);
    } else {
      parent = 100 + static_cast<int64_t>(random() % folders);
    }
    plan.push_back({100 + static_cast<int64_t>(i), parent, folder});
  }
  std::shuffle(plan.begin(), plan.end(), random);
  // Made in the order they arrive, as a searcher makes each node just before
  // handing it over.
  std::vector<TestNode*> nodes;
  nodes.reserve(count);
  for (const Plan& p : plan) {
    auto* node = new TestNode((p.folder ? "d" : "f") + std::to_string(p.id), p.folder, 1 + random() % 100000);
    node->SetCurrentNodeID(p.id);
    node->SetParentNodeID(p.parent);
    nodes.push_back(node);
  }

  // The peer: the hash-map work any builder keyed by node and by ID needs at
  // the least (each node filed under its pointer and its ID, and looked up a
  // few times), over the same nodes in the same order. Its rate falls with
  // size too, as the maps outgrow the caches.
  const auto baseStart = std::chrono::steady_clock::now();
  size_t found = 0;
  {
    std::unordered_map<IFileNode*, uint64_t> byNode;
    std::unordered_map<int64_t, std::vector<IFileNode*>> byID;
    uint64_t seq = 0;
    for (TestNode* node : nodes) {
      byNode.emplace(node, seq++);
      byID[node->GetCurrentNodeID()].push_back(node);
      found += byID.count(node->GetParentNodeID());
      found += byNode.count(nodes[random() % nodes.size()]);
      found += byNode.count(nodes[random() % nodes.size()]);
      found += byNode.count(node);
    }
  }
  const auto baseStop = std::chrono::steady_clock::now();

  CountingTree sink;
  PassAll filter;
  auto* builder = new CDirectoryTreeBuilder(false);
  builder->SetPause([] {});
  builder->Initialize("bench", &sink, &filter);
  builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, kRoot);

  const auto start = std::chrono::steady_clock::now();
  for (TestNode* node : nodes) {
    if (builder->AddNode(node, SEARCHER_TYPE_NTFS) == 0) node->Release();
  }
  const auto added = std::chrono::steady_clock::now();
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  const auto stop = std::chrono::steady_clock::now();

  CDirectoryTreeBuilder::TreeCounters counters;
  builder->GetTreeCounters(SEARCHER_TYPE_NTFS, &counters);
  Result result;
  result.seconds = std::chrono::duration<double>(stop - start).count();
  result.finishing = std::chrono::duration<double>(stop - added).count();
  result.baseline = std::chrono::duration<double>(baseStop - baseStart).count() + (found == 0 ? 1e-9 : 0.0);
  result.stepsPerNode = static_cast<double>(counters.walkSteps) / static_cast<double>(count);
  result.shown = sink.shown;
  builder->Release();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing to choose: everything it measures is made in memory or in $TMPDIR.
  bench::ParseCommandLine(argc, argv, "", {}, 0);
  const size_t sizes[] = {10'000, 100'000, 1'000'000};
  std::vector<Result> results;
  // Best of three, so that a busy machine disturbs the figures less.
  for (size_t size : sizes) {
    Result best;
    for (unsigned run = 0; run < 3; ++run) {
      const Result result = RunOnce(size, 42 + run);
      if (run == 0 || result.seconds < best.seconds) best = result;
    }
    results.push_back(best);
  }
  std::printf("\ntree builder: 10%% orphans, shuffled order, incremental builds\n");
  std::printf("%10s %10s %12s %12s %10s %10s %16s\n", "nodes", "seconds", "nodes/s", "steps/node", "shown", "finishing",
              "time / hash peer");
  for (size_t i = 0; i < results.size(); ++i) {
    std::printf("%10zu %10.3f %12.0f %12.2f %10zu %9.0f%% %16.2f\n", sizes[i], results[i].seconds,
                static_cast<double>(sizes[i]) / results[i].seconds, results[i].stepsPerNode, results[i].shown,
                100.0 * results[i].finishing / results[i].seconds, results[i].seconds / results[i].baseline);
  }
  const double small = static_cast<double>(sizes[0]) / results[0].seconds;
  const double large = static_cast<double>(sizes[2]) / results[2].seconds;
  const double peerSmall = static_cast<double>(sizes[0]) / results[0].baseline;
  const double peerLarge = static_cast<double>(sizes[2]) / results[2].baseline;
  std::printf("rate at 1M / rate at 10k: builder %.2f, hash peer %.2f\n", large / small, peerLarge / peerSmall);
  std::printf(
      "steps per node and time per peer time stay flat: the builder grows linearly; a builder that\n"
      "rescanned its orphans on every build would fall about a hundredfold more than the peer.\n");
  return 0;
}
