// The last error of an object that several threads call at once (a device
// that a scan's reader thread and its searchers read, or the load-time
// judges' threads).
//
// Each thread hears the code of its own latest call: a read that lost
// sectors tells its caller so (UnreadableSectors.h) even when another
// thread's read of the same device set its own code in between, and a read
// that failed is never taken for one whose buffer holds the medium's
// sectors. A thread that set none hears the latest code any thread set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ResultCode.h"

class CThreadLastError {
 public:
  CThreadLastError() : m_id(s_nextId.fetch_add(1, std::memory_order_relaxed)) {}
  CThreadLastError(const CThreadLastError&) = delete;
  CThreadLastError& operator=(const CThreadLastError&) = delete;

  ResultCode Get() const {
    for (const Slot& slot : t_slots) {
      if (slot.id == m_id) return slot.code;
    }
    return m_latest.load(std::memory_order_relaxed);
  }

  void Set(ResultCode code) {
    m_latest.store(code, std::memory_order_relaxed);
    for (Slot& slot : t_slots) {
      if (slot.id == m_id) {
        slot.code = code;
        return;
      }
    }
    // A thread calls a few devices at once (a cache, a window, a view, the
    // disk): the oldest of its slots makes room.
    t_slots[t_next++ % kSlots] = Slot{m_id, code};
  }

 private:
  // Zero as thread storage starts: an id of no object.
  struct Slot {
    uint64_t id;
    ResultCode code;
  };
  static constexpr size_t kSlots = 8;

  // Ids are never reused, so that a slot never speaks for an object made
  // where a destroyed one was.
  static inline std::atomic<uint64_t> s_nextId{1};
  static inline thread_local Slot t_slots[kSlots];
  static inline thread_local unsigned t_next = 0;

  const uint64_t m_id;
  std::atomic<ResultCode> m_latest{0};
};
