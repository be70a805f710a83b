// The bytes malloc has handed out and not taken back, in every arena, for
// tests that check what a component still holds once it is done. Under a
// sanitizer, which keeps its own books, the answer is -1: skip the check.
#pragma once

#include <malloc.h>

#include <cstdint>

// clang tells of its sanitizers through __has_feature only.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define CLIPMENDER_HEAP_BOOKS_ELSEWHERE 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CLIPMENDER_HEAP_BOOKS_ELSEWHERE 1
#endif

namespace testsupport {

inline int64_t HeapInUse() {
#if defined(CLIPMENDER_HEAP_BOOKS_ELSEWHERE)
  return -1;
#else
  const struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
#endif
}

}  // namespace testsupport
