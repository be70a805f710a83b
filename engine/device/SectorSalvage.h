// Reading a disk or image that answers I/O errors for some of its sectors.
//
// Healthy reads go through the page cache, as fast as a plain read. The page
// cache is also what turns one bad sector into megabytes of lost data:
// read-ahead gathers the sectors around a request into large folios (up to a
// few MiB), and a folio holding one unreadable sector answers an error to
// every buffered read of it for as long as it stays cached. So a range that
// answers a media error is read again past the page cache (O_DIRECT, aligned
// buffers), in halves down to single sectors, before anything is given up:
// only the sectors the medium cannot give become zeros, and they are
// remembered (CDamageMap) so that no later read asks the medium for them
// again. Reads near such a range also go past the page cache from then on,
// since the spoiled folio may cover them too.
//
// A file system that refuses O_DIRECT (older tmpfs, some FUSE drivers) gets
// the same halving through the page cache, with read-ahead off and the
// range's cached pages dropped before each retry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <sys/types.h>

#include "UnreadableSectors.h"

// What a raw device reads: a file descriptor, or a double in tests.
class IRawMedium {
 public:
  virtual ~IRawMedium() = default;
  // A read through the page cache, like pread: the bytes read, 0 at the end,
  // or -1 with errno set.
  virtual ssize_t ReadCached(void* buffer, size_t bytes, int64_t offset) = 0;
  // A read that asks the medium for exactly this range, with no read-ahead
  // around it and nothing taken from the page cache. `buffer`, `bytes` and
  // `offset` are multiples of UncachedAlignment(). As pread answers.
  virtual ssize_t ReadUncached(void* buffer, size_t bytes, int64_t offset) = 0;
  // The alignment ReadUncached needs (a power of two, at least 1).
  virtual uint32_t UncachedAlignment() = 0;
};

// The unreadable byte ranges of one medium and the zones where reads through
// the page cache failed. Any thread may ask and add at once.
class CDamageMap {
 public:
  // Reads that touch a zone go past the page cache: a zone is as large as
  // the largest folio read-ahead builds on the machines we run on.
  static constexpr int64_t kZoneBytes = int64_t{2} << 20;

  // Whether anything was ever recorded: one atomic load on the healthy path.
  bool IsEmpty() const { return !m_any.load(std::memory_order_acquire); }
  // Whether [offset, offset + bytes) meets a zone or an unreadable range.
  bool Touches(int64_t offset, int64_t bytes) const;
  void AddZone(int64_t offset, int64_t bytes);
  void AddUnreadable(int64_t offset, int64_t bytes);
  // The unreadable ranges that meet [offset, offset + bytes), cut to it, as
  // (offset, length), ascending.
  std::vector<std::pair<int64_t, int64_t>> Unreadable(int64_t offset, int64_t bytes) const;
  // Bytes recorded unreadable in all.
  int64_t UnreadableBytes() const;

 private:
  mutable std::mutex m_lock;
  std::atomic<bool> m_any{false};
  std::set<int64_t> m_zones;         // zone numbers (offset / kZoneBytes)
  std::map<int64_t, int64_t> m_bad;  // start -> end, apart and not touching
};

// What a thread that reads around damage is told of it, between two reads
// of the medium: a failing disk may take seconds over each, so a scan shows
// that it still moves and may stop it. Installed per thread (SalvageScope);
// reads on threads without one go on to the end.
class ISalvageWatch {
 public:
  // `done` of the `total` bytes of the range being read around damage are
  // settled (read, or given up). False stops the read at once: what it had
  // not settled is neither read nor taken for lost, and the read fails
  // (ECANCELED).
  virtual bool Salvaging(int64_t done, int64_t total) = 0;

 protected:
  ~ISalvageWatch() = default;
};

// Installs a watch for the reads of this thread while it lives (the one
// before it comes back after).
class SalvageScope {
 public:
  explicit SalvageScope(ISalvageWatch* watch);
  ~SalvageScope();
  SalvageScope(const SalvageScope&) = delete;
  SalvageScope& operator=(const SalvageScope&) = delete;

  // The watch of this thread, or null.
  static ISalvageWatch* Current();

 private:
  ISalvageWatch* m_previous;
};

// A watch that only asks whether to go on (a scan's or a copy's stop).
class CSalvageStop final : public ISalvageWatch {
 public:
  explicit CSalvageStop(std::function<bool()> keepGoing) : m_keepGoing(std::move(keepGoing)) {}
  bool Salvaging(int64_t, int64_t) override { return !m_keepGoing || m_keepGoing(); }

 private:
  std::function<bool()> m_keepGoing;
};

// Reads byte ranges of a medium around its damage.
class CSalvagingReader {
 public:
  enum class Outcome {
    kRead,       // every byte read; past the medium's end, zeros
    kLostBytes,  // unreadable ranges are zeros, the rest read
    kFailed,     // nothing usable (see Errno())
  };
  struct Result {
    Outcome outcome = Outcome::kFailed;
    size_t bytes = 0;  // bytes the medium has before its end (read or lost)
    int error = 0;     // errno of a kFailed read
  };

  explicit CSalvagingReader(std::unique_ptr<IRawMedium> medium) : m_medium(std::move(medium)) {}

  // Reads [offset, offset + bytes) into `out`. `unit` is the smallest range
  // given up as unreadable (the device's sector size; larger when unbuffered
  // reads need a larger alignment).
  Result Read(uint8_t* out, int64_t offset, size_t bytes, uint32_t unit);

  const CDamageMap& Damage() const { return m_damage; }
  IRawMedium* Medium() const { return m_medium.get(); }
  // Reads that went to the medium past the page cache (for tests and logs).
  uint64_t UncachedReads() const { return m_uncachedReads.load(std::memory_order_relaxed); }

  // An error a failing medium answers for some of its sectors, as opposed to
  // one that says the device or the request is wrong.
  static bool IsMediaError(int error);

 private:
  struct Salvage {
    uint8_t* out;
    int64_t offset;  // of out[0]
    uint32_t unit;
    uint32_t align;
    std::unique_ptr<uint8_t, void (*)(void*)> bounce{nullptr, nullptr};
    size_t bounceBytes = 0;
    int64_t end = -1;  // where the medium ended, -1 while not seen
    bool lost = false;
    int error = 0;  // a hard error stops the salvage
    ISalvageWatch* watch = nullptr;
    int64_t settled = 0, total = 0;  // bytes, for the watch
  };

  Result SalvageRange(uint8_t* out, int64_t offset, size_t bytes, uint32_t unit);
  // Reads [offset, offset + bytes) of `s`, around the ranges known bad.
  void ReadAround(Salvage& s, int64_t offset, int64_t bytes);
  // Reads [offset, offset + bytes) past the page cache, halving on errors.
  void ReadHalving(Salvage& s, int64_t offset, int64_t bytes);
  // One unbuffered read; false on a media error (true otherwise, with
  // s.error set for a hard one).
  bool ReadOnce(Salvage& s, int64_t offset, int64_t bytes);

  std::unique_ptr<IRawMedium> m_medium;
  CDamageMap m_damage;
  std::atomic<uint64_t> m_uncachedReads{0};
};

// The medium of a device node or image file: `fd` (owned) for reads through
// the page cache; a second descriptor on the same file, opened at the first
// need, for unbuffered ones (O_DIRECT, or read-ahead off where O_DIRECT is
// refused).
class CDescriptorMedium final : public IRawMedium {
 public:
  CDescriptorMedium(int fd, std::string path);
  ~CDescriptorMedium() override;
  CDescriptorMedium(const CDescriptorMedium&) = delete;
  CDescriptorMedium& operator=(const CDescriptorMedium&) = delete;

  ssize_t ReadCached(void* buffer, size_t bytes, int64_t offset) override;
  ssize_t ReadUncached(void* buffer, size_t bytes, int64_t offset) override;
  uint32_t UncachedAlignment() override;

  // Whether unbuffered reads use O_DIRECT (false before the first one, and
  // where the file system refuses it).
  bool IsDirect();

 private:
  // Opens the second descriptor once; false when the file cannot be opened
  // again or is no longer the same file.
  bool OpenUncached();
  void FallBackLocked();

  int m_fd;
  std::string m_path;
  std::mutex m_lock;
  bool m_tried = false;
  int m_uncachedFd = -1;
  bool m_direct = false;
  uint32_t m_alignment = 1;
};
