#include "app/ScanResultReplayOrder.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

namespace SaveRestoreResult {

namespace {

// What a child hangs below: a folder ID and the partition of the folders of
// that ID it goes with, or every folder of the ID.
using Below = std::pair<int64_t, uint32_t>;
constexpr uint32_t kAnyPartition = 0x10000;

}  // namespace

std::vector<uint32_t> ReplayOrder(const std::vector<SavedRecordKey>& saved, int64_t rootID) {
  const auto count = static_cast<uint32_t>(saved.size());

  // The folders by ID and partition, and by ID.
  std::vector<Below> folders;
  std::vector<int64_t> folderIDs;
  for (const SavedRecordKey& key : saved) {
    if (!key.folder) continue;
    folders.emplace_back(key.id, key.partition);
    folderIDs.push_back(key.id);
  }
  std::sort(folders.begin(), folders.end());
  std::sort(folderIDs.begin(), folderIDs.end());
  const auto isFolderID = [&folderIDs](int64_t id) {
    return std::binary_search(folderIDs.begin(), folderIDs.end(), id);
  };

  // Each record below what it hangs from, the children of one in file
  // order. The builder never links a child below a folder of another
  // partition while one of its own partition has the ID; without one, any
  // folder of the ID may take it.
  std::vector<std::tuple<int64_t, uint32_t, uint32_t>> children;
  children.reserve(count);
  for (uint32_t at = 0; at < count; ++at) {
    const SavedRecordKey& key = saved[at];
    const Below own(key.parentID, key.partition);
    const bool partitioned = key.parentID != rootID && std::binary_search(folders.begin(), folders.end(), own);
    children.emplace_back(key.parentID, partitioned ? key.partition : kAnyPartition, at);
  }
  std::sort(children.begin(), children.end());

  // Of a folder that several records give, what lies below comes after the
  // last of them: the count of those still to come, by ID and partition
  // and by ID.
  std::map<Below, uint32_t> versionsLeft;
  for (auto at = folders.begin(); at != folders.end();) {
    const auto next = std::upper_bound(at, folders.end(), *at);
    if (next - at > 1) versionsLeft.emplace(*at, static_cast<uint32_t>(next - at));
    at = next;
  }
  std::map<int64_t, uint32_t> foldersLeft;
  for (auto at = folderIDs.begin(); at != folderIDs.end();) {
    const auto next = std::upper_bound(at, folderIDs.end(), *at);
    if (next - at > 1) foldersLeft.emplace(*at, static_cast<uint32_t>(next - at));
    at = next;
  }
  const auto lastOf = [](auto& left, const auto& key) {
    const auto it = left.find(key);
    return it == left.end() || --it->second == 0;
  };

  std::vector<uint32_t> order;
  order.reserve(count);
  std::vector<uint8_t> taken(count, 0);
  // Places still to take, the next on top.
  std::vector<uint32_t> stack;
  // Each ID and partition is opened once by the last folder it names (and
  // the root's ID once more at most, by a folder of that ID).
  const auto open = [&](int64_t id, uint32_t partition) {
    auto at = std::lower_bound(children.begin(), children.end(), std::make_tuple(id, partition, uint32_t{0}));
    for (; at != children.end() && std::get<0>(*at) == id && std::get<1>(*at) == partition; ++at) {
      // The first child goes deepest, so that it is taken last.
      if (taken[std::get<2>(*at)] == 0) stack.push_back(std::get<2>(*at));
    }
  };
  // Takes what is on the stack, each with what lies below it.
  const auto drain = [&]() {
    while (!stack.empty()) {
      const uint32_t at = stack.back();
      stack.pop_back();
      if (taken[at] != 0) continue;
      taken[at] = 1;
      order.push_back(at);
      const SavedRecordKey& key = saved[at];
      if (!key.folder) continue;
      if (lastOf(versionsLeft, Below(key.id, key.partition))) open(key.id, key.partition);
      if (lastOf(foldersLeft, key.id)) open(key.id, kAnyPartition);
    }
  };
  const auto take = [&](uint32_t at) {
    stack.push_back(at);
    drain();
  };

  open(rootID, kAnyPartition);
  drain();
  for (uint32_t at = count; at-- > 0;) {
    if (taken[at] == 0 && saved[at].parentID != rootID && !isFolderID(saved[at].parentID)) take(at);
  }
  for (uint32_t at = count; at-- > 0;) {
    if (taken[at] == 0) take(at);
  }
  return order;
}

}  // namespace SaveRestoreResult
