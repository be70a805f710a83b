#include "AllocationJudge.h"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "DataRunList.h"
#include "FileNode.h"

namespace {

unsigned Processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Judges files [first, last) with `judge`; a judge that runs out of memory
// says no more than the scan said.
void JudgeRange(IAllocationJudge& judge, const std::vector<CFileNode*>& files, size_t first, size_t last,
                std::vector<uint8_t>& taken) {
  for (size_t i = first; i < last; ++i) {
    try {
      taken[i] = judge.IsTaken(*files[i]) ? 1 : 0;
    } catch (const std::bad_alloc&) {
      taken[i] = 0;
    }
  }
}

}  // namespace

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

unsigned JudgeThreadsFor(size_t files) {
  const size_t wanted = std::max<size_t>(1, files / kFilesPerJudgeThread);
  return static_cast<unsigned>(std::min<size_t>(wanted, Processors()));
}

std::vector<uint8_t> JudgeFiles(IAllocationJudge& judge, const std::vector<CFileNode*>& files, unsigned threads) {
  std::vector<uint8_t> taken(files.size(), 0);
  threads = static_cast<unsigned>(std::min<size_t>(std::max(threads, 1u), std::max<size_t>(files.size(), 1)));
  // The workers' judges, made before any starts: the first thread keeps
  // the judge it was given.
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
  const size_t workers = shared.size() + 1;
  const auto bound = [&](size_t w) { return files.size() * w / workers; };
  std::vector<std::thread> running;
  running.reserve(shared.size());
  size_t started = 0;
  for (; started < shared.size(); ++started) {
    try {
      IAllocationJudge* worker = shared[started].get();
      running.emplace_back([worker, &files, &taken, from = bound(started + 1), to = bound(started + 2)] {
        JudgeRange(*worker, files, from, to, taken);
      });
    } catch (const std::system_error&) {
      break;  // no more threads: this one judges what is left
    }
  }
  JudgeRange(judge, files, 0, bound(1), taken);
  // Ranges no thread took.
  if (started < shared.size()) JudgeRange(judge, files, bound(started + 1), files.size(), taken);
  for (std::thread& thread : running) thread.join();
  return taken;
}
