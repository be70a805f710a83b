// What the analysers share to tell a file cut short from a whole one once
// its size is known: a file whose header (or whose walk) gives a size can
// still have lost its end to other data, and only its own structure behind
// the cut tells (an end record, an index at the end, checksums, chains of
// lengths that must meet). A check that fails keeps the bytes but marks the
// end unknown, so that the copy answers incomplete; it never changes a size.
#pragma once

#include <algorithm>
#include <cstdint>

#include "raw/RawFileBuffer.h"
#include "raw/RawFileInfo.h"
#include "raw/RawRereadBudget.h"

// The file's bytes are kept, its end is not vouched for: its copy answers
// incomplete, and a file that starts inside it is still carved.
inline void MarkEndUnknown(CRawFileInfo& info) {
  info.m_endUnknown = true;
  info.m_whole = false;
}

// Whether a check may read the first `size` bytes of the file `buffer`
// shows: within a carving pass, what the checks of one kind (one `budget`
// per kind) read again of what earlier ones read counts against twice the
// device, as it does for searches (RawRereadBudget.h); a check refused
// cannot vouch for its file.
inline bool MayReadForCheck(RawRereadBudget& budget, const RawFileBuffer& buffer, uint64_t size) {
  budget.Begin(buffer);
  return budget.Take(0, size);
}

// The bytes of a file from `at` up to `end`, one after the other, read a
// piece of the shared window at a time. Nothing else may read through any
// RawFileBuffer between two of its calls (the window is shared).
class RawByteCursor {
 public:
  RawByteCursor(RawFileBuffer& buffer, uint64_t at, uint64_t end) : m_buffer(buffer), m_at(at), m_end(end) {}

  // The next byte, or -1 at `end` or where the device cannot be read.
  int Next() {
    if (m_at >= m_end) return -1;
    if (m_at < m_pieceAt || m_at >= m_pieceAt + m_pieceLength) {
      const uint64_t length = std::min<uint64_t>(kPiece, m_end - m_at);
      m_piece = m_buffer.Get(m_at, static_cast<size_t>(length));
      if (m_piece == nullptr) {
        m_end = m_at;
        return -1;
      }
      m_pieceAt = m_at;
      m_pieceLength = length;
    }
    return m_piece[m_at++ - m_pieceAt];
  }
  // Steps over `n` bytes; false when that passes `end`.
  bool Skip(uint64_t n) {
    if (n > m_end - m_at) {
      m_at = m_end;
      return false;
    }
    m_at += n;
    return true;
  }
  uint64_t Position() const { return m_at; }
  uint64_t Left() const { return m_end - m_at; }

 private:
  static constexpr uint64_t kPiece = 4096;
  RawFileBuffer& m_buffer;
  uint64_t m_at, m_end;
  const uint8_t* m_piece = nullptr;
  uint64_t m_pieceAt = 0, m_pieceLength = 0;
};
