// What the end searches of one kind read again within one carving pass.
// A search whose end hangs on all it read from the file's start (a count
// of nested sections, say) cannot go on from where the last one stopped:
// heads of one kind one after the other, none with its end, would each
// read on over all the heads behind it. Bytes below the furthest that any
// search of the kind read in the pass, past each search's first window,
// may add up to twice the device; a search refused more is sized as one
// that met no end within its reach.
#pragma once

#include <cstdint>

class RawFileBuffer;

class RawRereadBudget {
 public:
  // Begins a search of the file `buffer` reads.
  void Begin(const RawFileBuffer& buffer);
  // Whether the search may read its bytes [from, to) (from the file's
  // start); always outside a carving pass.
  bool Take(uint64_t from, uint64_t to);

 private:
  uint64_t m_pass = 0;  // 0: the search is outside a pass
  const void* m_device = nullptr;
  uint64_t m_furthest = 0;  // in bytes of the device
  uint64_t m_spent = 0, m_allowance = 0;
  uint64_t m_base = 0, m_free = 0;
};
