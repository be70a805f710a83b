#include "raw/RawSearchMemo.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<uint64_t> g_lastPass{0};
thread_local uint64_t t_pass = 0;

}  // namespace

uint64_t RawCarvingPass::NewPass() { return ++g_lastPass; }
RawCarvingPass::RawCarvingPass(uint64_t pass) : m_outer(t_pass) { t_pass = pass; }
RawCarvingPass::~RawCarvingPass() { t_pass = m_outer; }
uint64_t RawCarvingPass::Current() { return t_pass; }

bool RawSearchMemo::Covers(const void* on, uint64_t at) const {
  const uint64_t current = RawCarvingPass::Current();
  return current != 0 && pass == current && device == on && at >= from && at <= reached;
}

void RawSearchMemo::Keep(const void* on, bool covered, uint64_t at, uint64_t got, bool hit, uint64_t told) {
  const uint64_t current = RawCarvingPass::Current();
  if (current == 0) return;
  if (!covered) from = at;
  reached = covered && !found && !hit ? std::max(reached, got) : got;
  found = hit;
  end = told;
  pass = current;
  device = on;
}
