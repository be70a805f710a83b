#include "device/SectorSalvage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- the damage map ----------------------------------------------------------

bool CDamageMap::Touches(int64_t offset, int64_t bytes) const {
  if (IsEmpty() || bytes <= 0) return false;
  const int64_t end = offset + bytes;
  std::lock_guard<std::mutex> hold(m_lock);
  auto zone = m_zones.lower_bound(offset / kZoneBytes);
  if (zone != m_zones.end() && *zone <= (end - 1) / kZoneBytes) return true;
  auto bad = m_bad.upper_bound(offset);
  if (bad != m_bad.begin() && std::prev(bad)->second > offset) return true;
  return bad != m_bad.end() && bad->first < end;
}

void CDamageMap::AddZone(int64_t offset, int64_t bytes) {
  if (bytes <= 0 || offset < 0) return;
  std::lock_guard<std::mutex> hold(m_lock);
  for (int64_t zone = offset / kZoneBytes; zone <= (offset + bytes - 1) / kZoneBytes; ++zone) m_zones.insert(zone);
  m_any.store(true, std::memory_order_release);
}

void CDamageMap::AddUnreadable(int64_t offset, int64_t bytes) {
  if (bytes <= 0 || offset < 0) return;
  int64_t start = offset;
  int64_t end = offset + bytes;
  std::lock_guard<std::mutex> hold(m_lock);
  // Neighbours and overlaps merge, so that a dead stretch of a disk stays
  // one entry however many reads found it.
  auto at = m_bad.upper_bound(start);
  if (at != m_bad.begin() && std::prev(at)->second >= start) --at;
  while (at != m_bad.end() && at->first <= end) {
    start = std::min(start, at->first);
    end = std::max(end, at->second);
    at = m_bad.erase(at);
  }
  m_bad.emplace(start, end);
  for (int64_t zone = start / kZoneBytes; zone <= (end - 1) / kZoneBytes; ++zone) m_zones.insert(zone);
  m_any.store(true, std::memory_order_release);
}

std::vector<std::pair<int64_t, int64_t>> CDamageMap::Unreadable(int64_t offset, int64_t bytes) const {
  std::vector<std::pair<int64_t, int64_t>> out;
  if (IsEmpty() || bytes <= 0) return out;
  const int64_t end = offset + bytes;
  std::lock_guard<std::mutex> hold(m_lock);
  auto at = m_bad.upper_bound(offset);
  if (at != m_bad.begin() && std::prev(at)->second > offset) --at;
  for (; at != m_bad.end() && at->first < end; ++at) {
    const int64_t from = std::max(offset, at->first);
    const int64_t to = std::min(end, at->second);
    if (to > from) out.emplace_back(from, to - from);
  }
  return out;
}

int64_t CDamageMap::UnreadableBytes() const {
  std::lock_guard<std::mutex> hold(m_lock);
  int64_t total = 0;
  for (const auto& [start, end] : m_bad) total += end - start;
  return total;
}

// ---- the watch ---------------------------------------------------------------

namespace {
thread_local ISalvageWatch* t_watch = nullptr;
}  // namespace

SalvageScope::SalvageScope(ISalvageWatch* watch) : m_previous(t_watch) { t_watch = watch; }
SalvageScope::~SalvageScope() { t_watch = m_previous; }
ISalvageWatch* SalvageScope::Current() { return t_watch; }

// ---- the salvaging reader ----------------------------------------------------

namespace {

// Pieces of a salvage read past the page cache at most this much at once
// (the bounce buffer's size).
constexpr int64_t kMaxUncachedRead = int64_t{4} << 20;
constexpr size_t kMinBounce = 64 * 1024;

int64_t AlignDown(int64_t value, int64_t align) { return value - value % align; }
int64_t AlignUp(int64_t value, int64_t align) { return AlignDown(value + align - 1, align); }

}  // namespace

bool CSalvagingReader::IsMediaError(int error) {
  // EIO from every block driver; ENODATA, EREMOTEIO and EBADMSG are what
  // some SCSI, NVMe and USB paths answer for a medium error. Anything else
  // (a descriptor gone bad, a device pulled out, a bad argument) says
  // nothing about single sectors.
  return error == EIO || error == ENODATA || error == EREMOTEIO || error == EBADMSG;
}

CSalvagingReader::Result CSalvagingReader::Read(uint8_t* out, int64_t offset, size_t bytes, uint32_t unit) {
  Result result;
  if (out == nullptr || offset < 0 || bytes == 0 || unit == 0 ||
      bytes > static_cast<size_t>(std::numeric_limits<int64_t>::max() - offset)) {
    result.error = EINVAL;
    return result;
  }
  // Near known damage the page cache would answer the error again (or make
  // the medium retry a sector it cannot give): go past it at once.
  if (m_damage.Touches(offset, static_cast<int64_t>(bytes))) return SalvageRange(out, offset, bytes, unit);

  size_t done = 0;
  while (done < bytes) {
    // One call moves at most about 2 GiB on Linux; ask for whole pieces.
    const size_t piece = std::min<size_t>(bytes - done, size_t{1} << 30);
    const ssize_t n = m_medium->ReadCached(out + done, piece, offset + static_cast<int64_t>(done));
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (!IsMediaError(error)) {
        result.bytes = done;
        result.error = error;
        return result;
      }
      // What was read so far is good; the rest is read around the damage.
      const int64_t at = offset + static_cast<int64_t>(done);
      m_damage.AddZone(at, static_cast<int64_t>(bytes - done));
      Result rest = SalvageRange(out + done, at, bytes - done, unit);
      rest.bytes += done;
      if (rest.outcome == Outcome::kFailed && done > 0 && rest.error == 0) rest.outcome = Outcome::kRead;
      return rest;
    }
    if (n == 0) break;  // the end of the medium
    done += static_cast<size_t>(n);
  }
  result.outcome = done > 0 ? Outcome::kRead : Outcome::kFailed;
  result.bytes = done;
  std::memset(out + done, 0, bytes - done);
  return result;
}

CSalvagingReader::Result CSalvagingReader::SalvageRange(uint8_t* out, int64_t offset, size_t bytes, uint32_t unit) {
  Salvage s{out, offset, unit, std::max<uint32_t>(m_medium->UncachedAlignment(), 1)};
  // A unit is never smaller than what one unbuffered read can ask for.
  s.unit = std::max(unit, s.align);
  s.watch = SalvageScope::Current();
  s.total = static_cast<int64_t>(bytes);
  ReadAround(s, offset, static_cast<int64_t>(bytes));

  Result result;
  const int64_t requestEnd = offset + static_cast<int64_t>(bytes);
  const int64_t readEnd = s.end >= 0 ? std::clamp(s.end, offset, requestEnd) : requestEnd;
  result.bytes = static_cast<size_t>(readEnd - offset);
  if (s.error != 0) {
    result.error = s.error;
    return result;
  }
  // Past the medium's end there is nothing: zeros, as on the healthy path.
  if (readEnd < requestEnd) std::memset(out + (readEnd - offset), 0, static_cast<size_t>(requestEnd - readEnd));
  if (s.lost) {
    result.outcome = Outcome::kLostBytes;
  } else if (result.bytes > 0) {
    result.outcome = Outcome::kRead;
  }
  return result;
}

void CSalvagingReader::ReadAround(Salvage& s, int64_t offset, int64_t bytes) {
  int64_t at = offset;
  const int64_t end = offset + bytes;
  for (const auto& [badStart, badBytes] : m_damage.Unreadable(offset, bytes)) {
    if (s.error != 0) return;
    if (badStart > at) ReadHalving(s, at, badStart - at);
    // Known unreadable: zeros, and the medium is not asked again.
    std::memset(s.out + (badStart - s.offset), 0, static_cast<size_t>(badBytes));
    s.lost = true;
    s.settled += badBytes;
    at = badStart + badBytes;
  }
  if (at < end && s.error == 0) ReadHalving(s, at, end - at);
}

void CSalvagingReader::ReadHalving(Salvage& s, int64_t offset, int64_t bytes) {
  if (bytes <= 0 || s.error != 0) return;
  if (s.end >= 0 && offset >= s.end) {
    std::memset(s.out + (offset - s.offset), 0, static_cast<size_t>(bytes));
    s.settled += bytes;
    return;
  }
  // Large ranges go in bounded pieces first; each piece halves on its own.
  if (bytes > kMaxUncachedRead) {
    for (int64_t at = offset; at < offset + bytes && s.error == 0; at += kMaxUncachedRead) {
      ReadHalving(s, at, std::min(kMaxUncachedRead, offset + bytes - at));
    }
    return;
  }
  if (ReadOnce(s, offset, bytes)) return;
  // The units this range spans, counted from the first unit it starts in.
  const int64_t firstUnit = AlignDown(offset, s.unit);
  const int64_t units = (AlignUp(offset + bytes, s.unit) - firstUnit) / s.unit;
  if (units <= 1) {
    // One unit the medium cannot give: zeros, remembered so that no later
    // read asks for it again.
    std::memset(s.out + (offset - s.offset), 0, static_cast<size_t>(bytes));
    m_damage.AddUnreadable(firstUnit, s.unit);
    s.lost = true;
    s.settled += bytes;
    return;
  }
  const int64_t middle = firstUnit + (units / 2) * s.unit;
  ReadHalving(s, offset, middle - offset);
  ReadHalving(s, middle, offset + bytes - middle);
}

bool CSalvagingReader::ReadOnce(Salvage& s, int64_t offset, int64_t bytes) {
  const int64_t align = s.align;
  const int64_t from = AlignDown(offset, align);
  const int64_t to = AlignUp(offset + bytes, align);
  const size_t span = static_cast<size_t>(to - from);
  if (span > s.bounceBytes) {
    // Aligned for O_DIRECT on any device we meet (a page is a multiple of
    // every logical block size up to 4 KiB; larger ones ask for their own).
    const size_t memAlign = static_cast<size_t>(std::max<int64_t>(align, 4096));
    const size_t size = static_cast<size_t>(
        AlignUp(static_cast<int64_t>(std::max<size_t>(span, kMinBounce)), static_cast<int64_t>(memAlign)));
    void* memory = nullptr;
    if (posix_memalign(&memory, memAlign, size) != 0) {
      s.error = ENOMEM;
      return true;
    }
    s.bounce = std::unique_ptr<uint8_t, void (*)(void*)>(static_cast<uint8_t*>(memory), std::free);
    s.bounceBytes = size;
  }
  // Before every read of the medium: the thread's watch may stop here.
  if (s.watch != nullptr && !s.watch->Salvaging(s.settled, s.total)) {
    s.error = ECANCELED;
    return true;
  }
  size_t done = 0;
  while (done < span) {
    m_uncachedReads.fetch_add(1, std::memory_order_relaxed);
    const ssize_t n = m_medium->ReadUncached(s.bounce.get() + done, span - done, from + static_cast<int64_t>(done));
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (IsMediaError(error)) return false;
      s.error = error;
      return true;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
    // Unbuffered reads end short only at the medium's end (or at an
    // unaligned tail of an image file); asking again would answer 0.
    if (done % static_cast<size_t>(align) != 0) break;
  }
  if (done < span) {
    const int64_t end = from + static_cast<int64_t>(done);
    if (s.end < 0 || end < s.end) s.end = end;
    std::memset(s.bounce.get() + done, 0, span - done);
  }
  std::memcpy(s.out + (offset - s.offset), s.bounce.get() + (offset - from), static_cast<size_t>(bytes));
  s.settled += bytes;
  return true;
}

// ---- a descriptor ------------------------------------------------------------

CDescriptorMedium::CDescriptorMedium(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

CDescriptorMedium::~CDescriptorMedium() {
  if (m_uncachedFd >= 0) ::close(m_uncachedFd);
  if (m_fd >= 0) ::close(m_fd);
}

ssize_t CDescriptorMedium::ReadCached(void* buffer, size_t bytes, int64_t offset) {
  return ::pread(m_fd, buffer, bytes, static_cast<off_t>(offset));
}

bool CDescriptorMedium::OpenUncached() {
  if (m_tried) return m_uncachedFd >= 0;
  m_tried = true;
  struct stat own {};
  if (::fstat(m_fd, &own) != 0) return false;
  // The same file as the one scanned, or nothing: a path that names another
  // medium by now must not be read in its place.
  auto sameFile = [&own](int fd) {
    struct stat other {};
    return ::fstat(fd, &other) == 0 && other.st_dev == own.st_dev && other.st_ino == own.st_ino &&
           other.st_rdev == own.st_rdev;
  };
  int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (fd >= 0 && !sameFile(fd)) {
    ::close(fd);
    return false;
  }
  if (fd >= 0) {
    uint32_t align = 512;
    int logical = 0;
    if (S_ISBLK(own.st_mode) && ::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) align = logical;
#ifdef STATX_DIOALIGN
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) != 0 &&
        sx.stx_dio_offset_align > 0) {
      align = std::max<uint32_t>(align, sx.stx_dio_offset_align);
    } else if (!S_ISBLK(own.st_mode)) {
      // An image on a file system that does not tell: a page is what most
      // ask for, and a multiple of what the others ask.
      align = 4096;
    }
#else
    if (!S_ISBLK(own.st_mode)) align = 4096;
#endif
    if ((align & (align - 1)) != 0 || align > (1u << 20)) align = 4096;
    m_uncachedFd = fd;
    m_direct = true;
    m_alignment = align;
    return true;
  }
  // O_DIRECT refused: a descriptor of its own without read-ahead, whose
  // range is dropped from the page cache before each read.
  fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  if (!sameFile(fd)) {
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  m_uncachedFd = fd;
  m_direct = false;
  m_alignment = 1;
  return true;
}

void CDescriptorMedium::FallBackLocked() {
  // The descriptor may be in use by another thread's read: it is kept open
  // (never closed under a reader, never reused for another file) and told
  // to drop O_DIRECT, which reads in flight do not mind.
  const int flags = ::fcntl(m_uncachedFd, F_GETFL);
  if (flags >= 0) ::fcntl(m_uncachedFd, F_SETFL, flags & ~O_DIRECT);
  ::posix_fadvise(m_uncachedFd, 0, 0, POSIX_FADV_RANDOM);
  m_direct = false;
}

uint32_t CDescriptorMedium::UncachedAlignment() {
  std::lock_guard<std::mutex> hold(m_lock);
  OpenUncached();
  return m_direct ? m_alignment : 1;
}

bool CDescriptorMedium::IsDirect() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_uncachedFd >= 0 && m_direct;
}

ssize_t CDescriptorMedium::ReadUncached(void* buffer, size_t bytes, int64_t offset) {
  int fd = -1;
  bool direct = false;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!OpenUncached()) {
      fd = m_fd;
    } else {
      fd = m_uncachedFd;
      direct = m_direct;
    }
  }
  if (direct) {
    const ssize_t n = ::pread(fd, buffer, bytes, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINVAL) return n;
    // The file system took the open but refuses the read: read it as where
    // O_DIRECT is refused, from now on.
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_direct) FallBackLocked();
  }
  // Whatever the page cache holds of the zone is dropped first: a folio
  // that failed would answer the error again without asking the medium.
  const int64_t from = AlignDown(offset, CDamageMap::kZoneBytes);
  const int64_t to = AlignUp(offset + static_cast<int64_t>(bytes), CDamageMap::kZoneBytes);
  ::posix_fadvise(fd, static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_DONTNEED);
  return ::pread(fd, buffer, bytes, static_cast<off_t>(offset));
}
