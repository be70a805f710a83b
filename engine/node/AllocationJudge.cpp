#include "AllocationJudge.h"

#include <sched.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"

namespace {

unsigned Processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Judges the files `part` names with `judge`, in the order their records
// lie; a judge that runs out of memory says no more than the scan said.
void JudgePart(IAllocationJudge& judge, const std::vector<JudgedFile>& files, std::vector<size_t>& part,
               std::vector<uint8_t>& taken) {
  std::sort(part.begin(), part.end(), [&files](size_t a, size_t b) {
    return files[a].sector != files[b].sector ? files[a].sector < files[b].sector : a < b;
  });
  for (const size_t i : part) {
    try {
      taken[i] = judge.IsTaken(*files[i].file) ? 1 : 0;
    } catch (const std::bad_alloc&) {
      taken[i] = 0;
    }
  }
}

}  // namespace

bool RecordPlace::Of(const CSearchedPartitionInfo& record, uint32_t deviceSector) {
  if (deviceSector == 0 || record.GetStartSector() < 0 || record.GetFirstDataSector() < 0 ||
      record.GetSectorsperCluster() == 0) {
    return false;
  }
  using Wide = unsigned __int128;
  const uint64_t sector = record.GetSectorSize();
  const Wide volume = Wide(static_cast<uint64_t>(record.GetStartSector())) * sector;
  const Wide first = Wide(static_cast<uint64_t>(record.GetFirstDataSector())) * sector;
  if (volume % deviceSector != 0 || volume > INT64_MAX || first > INT64_MAX) return false;
  volumeByte = static_cast<uint64_t>(volume);
  base = static_cast<uint64_t>(first);
  clusterBytes = uint64_t{record.GetSectorsperCluster()} * sector;
  sectorSize = static_cast<uint32_t>(sector);
  return true;
}

void JoinRun(int64_t start, int64_t length, JoinedRuns& out) {
  if (length <= 0) return;
  if (!out.empty()) {
    auto& last = out.back();
    const bool joins = start < 0 ? last.first < 0 : last.first >= 0 && last.first + last.second == start;
    if (joins) {
      last.second += length;
      return;
    }
  }
  out.emplace_back(start, length);
}

void JoinRuns(IDataRunList* runs, JoinedRuns& out) {
  out.clear();
  if (runs == nullptr) return;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    JoinRun(run->IsSparse() ? -1 : run->start, run->length, out);
  }
}

bool RunsBeginWith(const JoinedRuns& saved, const JoinedRuns& now) {
  if (saved.empty() || saved.size() > now.size()) return false;
  for (size_t i = 0; i + 1 < saved.size(); ++i) {
    if (saved[i] != now[i]) return false;
  }
  const auto& last = saved.back();
  const auto& there = now[saved.size() - 1];
  return last.first == there.first && last.second <= there.second;
}

void ForEachGivenCluster(uint64_t begin, uint64_t end, const ClusterHeap& heap,
                         const std::function<bool(uint64_t)>& inUse, const IAllocationJudge::GivenPiece& given) {
  using Wide = unsigned __int128;
  if (heap.bytes == 0 || heap.count == 0) return;
  const Wide heapEnd = Wide(heap.first) + Wide(heap.bytes) * heap.count;
  const uint64_t from = std::max(begin, heap.first);
  const uint64_t to = static_cast<uint64_t>(std::min<Wide>(end, heapEnd));
  if (from >= to) return;
  // A piece given so far, joined while its clusters follow each other.
  uint64_t pieceFrom = 0, pieceTo = 0;
  for (uint64_t index = (from - heap.first) / heap.bytes; index < heap.count; ++index) {
    const Wide clusterFrom = Wide(heap.first) + Wide(index) * heap.bytes;
    if (clusterFrom >= to) break;
    if (!inUse(heap.number + index)) continue;
    const uint64_t a = static_cast<uint64_t>(std::max<Wide>(clusterFrom, from));
    const uint64_t b = static_cast<uint64_t>(std::min<Wide>(clusterFrom + heap.bytes, to));
    if (pieceTo > pieceFrom && pieceTo == a) {
      pieceTo = b;
      continue;
    }
    if (pieceTo > pieceFrom) given(pieceFrom, pieceTo);
    pieceFrom = a;
    pieceTo = b;
  }
  if (pieceTo > pieceFrom) given(pieceFrom, pieceTo);
}

unsigned JudgeThreadsFor(size_t files) {
  const size_t wanted = std::max<size_t>(1, files / kFilesPerJudgeThread);
  return static_cast<unsigned>(std::min<size_t>(wanted, Processors()));
}

std::vector<uint8_t> JudgeFiles(IAllocationJudge& judge, const std::vector<JudgedFile>& files, unsigned threads) {
  std::vector<uint8_t> taken(files.size(), 0);
  threads = static_cast<unsigned>(std::min<size_t>(std::max(threads, 1u), std::max<size_t>(files.size(), 1)));
  // The workers' judges, made before any starts: the first part is judged
  // by the judge given, on this thread.
  std::vector<std::unique_ptr<IAllocationJudge>> shared;
  for (unsigned i = 1; i < threads; ++i) {
    std::unique_ptr<IAllocationJudge> worker;
    try {
      worker = judge.Share();
    } catch (const std::bad_alloc&) {
      worker.reset();
    }
    if (worker == nullptr) break;
    shared.push_back(std::move(worker));
  }
  // Each worker's part: the files whose records lie in an equal share of
  // the range they span (a record that lies nowhere counts as the first).
  const size_t workers = shared.size() + 1;
  std::vector<std::vector<size_t>> parts(workers);
  int64_t low = INT64_MAX, high = 0;
  for (const JudgedFile& file : files) {
    low = std::min(low, std::max<int64_t>(file.sector, 0));
    high = std::max(high, file.sector);
  }
  const auto span = static_cast<unsigned __int128>(high >= low ? high - low : 0) + 1;
  for (std::vector<size_t>& part : parts) part.reserve(files.size() / workers + files.size() / 8 + 1);
  for (size_t i = 0; i < files.size(); ++i) {
    const auto into = static_cast<unsigned __int128>(std::max<int64_t>(files[i].sector, low) - low);
    parts[static_cast<size_t>(into * workers / span)].push_back(i);
  }
  std::vector<std::thread> running;
  running.reserve(shared.size());
  size_t started = 0;
  for (; started < shared.size(); ++started) {
    try {
      running.emplace_back([worker = shared[started].get(), &files, &part = parts[started + 1], &taken] {
        JudgePart(*worker, files, part, taken);
      });
    } catch (const std::system_error&) {
      break;  // no more threads: this one judges what is left
    }
  }
  JudgePart(judge, files, parts[0], taken);
  // Parts no thread took.
  for (size_t w = started + 1; w < workers; ++w) JudgePart(judge, files, parts[w], taken);
  for (std::thread& thread : running) thread.join();
  return taken;
}
