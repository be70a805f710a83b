#include "raw/RawRereadBudget.h"

#include <algorithm>

#include "raw/RawFileBuffer.h"
#include "raw/RawMarkSearch.h"

void RawRereadBudget::Begin(const RawFileBuffer& buffer) {
  const uint64_t pass = RawCarvingPass::Current();
  if (pass != m_pass || buffer.Device() != m_device) {
    m_furthest = m_spent = 0;
    m_allowance = 2 * (buffer.FirstByte() + buffer.BytesToDeviceEnd());
  }
  m_pass = pass;
  m_device = buffer.Device();
  m_base = buffer.FirstByte();
  m_free = uint64_t{RawFileBuffer::kWindowSectors} * buffer.SectorSize();
}

bool RawRereadBudget::Take(uint64_t from, uint64_t to) {
  if (m_pass == 0) return true;
  const uint64_t first = m_base + std::max(from, m_free);
  const uint64_t end = m_base + to;
  const uint64_t again = first < std::min(end, m_furthest) ? std::min(end, m_furthest) - first : 0;
  if (again > m_allowance - m_spent) return false;
  m_spent += again;
  m_furthest = std::max(m_furthest, end);
  return true;
}
