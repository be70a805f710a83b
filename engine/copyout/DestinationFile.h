// The destination of a copy: written at explicit offsets, so that a chunk
// written again after the destination ran full lands exactly where it
// belongs, and holes left by unreadable chunks stay zeros.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Progress.h"
#include "ResultCode.h"

enum class WriteOutcome {
  kWritten,   // every byte landed
  kNoSpace,   // the destination is full: no space left, or the quota is used up
  kTooLarge,  // the destination's file system (or a file-size limit) takes no file this large: no room made helps
  kFailed,    // any other failure of the destination
  kStopped,   // the sink answered Continued() with 0 while waiting for room
};

class CDestinationFile {
 public:
  CDestinationFile() = default;
  // Closes the file without checking.
  ~CDestinationFile();
  CDestinationFile(const CDestinationFile&) = delete;
  CDestinationFile& operator=(const CDestinationFile&) = delete;

  // Creates `path` or empties it, write-only, mode 0666 less the umask.
  bool Open(const char* path);
  bool IsOpen() const { return m_fd >= 0; }
  // Writes all `count` bytes at `offset`, going on after partial writes and
  // interruptions. Any bytes that landed before a failure stay; writing the
  // same bytes again at the same offset completes them.
  WriteOutcome WriteAt(int64_t offset, const void* data, size_t count);
  // Sets the file's length (regular files only; other kinds keep theirs).
  WriteOutcome SetSize(int64_t size);
  // Closes the file; false when the system reports a failure on close.
  bool Close();
  // The errno of the last failure.
  int LastErrno() const { return m_errno; }

 private:
  WriteOutcome Classify(int error);

  int m_fd = -1;
  int m_errno = 0;
};

// Runs `attempt` (a write or resize) until it no longer reports a full
// destination. Each time it does, `record` goes to `sink` with `shortWrite`
// in its error field (its current position untouched), then the sink's
// Continued() decides: non-zero tries again (the application blocks in it
// while the user makes room), 0 gives kStopped. Without a sink a full
// destination is final (kNoSpace). The error field is cleared once the
// attempt succeeds.
template <class Attempt>
WriteOutcome RetryWhileFull(Attempt attempt, IProgress* sink, _PROGRESS_INFO& record, ResultCode shortWrite) {
  for (;;) {
    const WriteOutcome outcome = attempt();
    if (outcome != WriteOutcome::kNoSpace) {
      if (outcome == WriteOutcome::kWritten) record.error = 0;
      return outcome;
    }
    if (sink == nullptr) return WriteOutcome::kNoSpace;
    record.error = shortWrite;
    sink->UpdateProgress(&record);
    if (sink->Continued() == 0) return WriteOutcome::kStopped;
  }
}
