#include "hfsplus/CHFSPlusRawfile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "StorageDevice.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusCatalogMemory.h"
#include "hfsplus/HFSPlusError.h"

namespace hfsplus {

bool CollectForkExtents(CHFSPlusVolume* volume, uint32_t fileID, uint8_t forkType, const HFSPlusForkData& fork,
                        bool useOverflow, std::vector<HFSPlusExtentDescriptor>& out) {
  out.clear();
  uint64_t listed = 0;
  auto take = [&](const HFSPlusExtentDescriptor* extents) {
    uint64_t added = 0;
    for (int i = 0; i < 8 && listed < fork.totalBlocks; ++i) {
      if (extents[i].blockCount == 0) continue;
      out.push_back(extents[i]);
      listed += extents[i].blockCount;
      added += extents[i].blockCount;
    }
    return added;
  };
  take(fork.extents);
  for (uint32_t round = 0; listed < fork.totalBlocks; ++round) {
    if (!useOverflow || volume == nullptr || round >= kMaxOverflowRecords || listed > UINT32_MAX) return false;
    BTKey key{};
    key.extent.keyLength = 10;
    key.extent.forkType = forkType;
    key.extent.fileID = fileID;
    key.extent.startBlock = static_cast<uint32_t>(listed);
    HFSPlusSearchResult found;
    uint8_t* raw = nullptr;
    volume->Search(kExtentsFileID, &key, found, &raw);
    if (found.found == 0 || raw == nullptr) {
      delete[] raw;
      raw = nullptr;
      volume->FindDeleteExtent(&key, found, &raw);
    }
    std::unique_ptr<uint8_t[]> record(raw);
    if (found.found == 0 || !record) return false;
    // A record that adds no block would be looked up again for ever.
    if (take(reinterpret_cast<const HFSPlusExtentRecord*>(record.get())->extents) == 0) return false;
  }
  return true;
}

}  // namespace hfsplus

CHFSPlusRawfile::CHFSPlusRawfile(CHFSPlusVolume* volume, uint32_t fileID, const HFSPlusForkData& fork, uint8_t forkType)
    : m_volume(volume), m_fileID(fileID) {
  if (volume == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return;
  }
  const bool mayOverflow = fileID != hfsplus::kExtentsFileID;
  if (!hfsplus::CollectForkExtents(volume, fileID, forkType, fork, mayOverflow, m_extents)) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
  }
}

uint64_t CHFSPlusRawfile::GetMappedBytes() const {
  const uint64_t blockSize = m_volume != nullptr ? m_volume->GetBlockSize() : 0;
  uint64_t total = 0;
  for (const auto& e : m_extents) total += uint64_t{e.blockCount} * blockSize;
  return total;
}

uint64_t CHFSPlusRawfile::Read(uint64_t offset, uint8_t* buffer, uint64_t length) {
  return Read(offset, buffer, length, nullptr);
}

uint64_t CHFSPlusRawfile::Read(uint64_t offset, uint8_t* buffer, uint64_t length, hfsplus::ByteRanges* lost) {
  const uint64_t blockSize = m_volume != nullptr ? m_volume->GetBlockSize() : 0;
  if (buffer == nullptr || blockSize == 0) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return 0;
  }
  uint64_t done = 0;
  uint64_t extentStart = 0;  // fork offset of the current extent
  for (const auto& e : m_extents) {
    if (done == length) break;
    const uint64_t extentBytes = uint64_t{e.blockCount} * blockSize;
    const uint64_t want = offset + done;
    if (want < extentStart + extentBytes) {
      const uint64_t inside = want - extentStart;
      const uint64_t n = std::min(length - done, extentBytes - inside);
      const uint64_t at = uint64_t{e.startBlock} * blockSize + inside;
      const size_t known = lost != nullptr ? lost->size() : 0;
      const uint64_t got = m_volume->Read(at, buffer + done, n, lost);
      if (lost != nullptr) {
        for (size_t i = known; i < lost->size(); ++i) (*lost)[i] = {(*lost)[i].first + done, (*lost)[i].second + done};
      }
      done += got;
      if (got != n) {
        m_lastError = HFSPLUS_ERROR(result::kErrShortRead);
        std::printf("Location%" PRIu64 "Size%" PRIu64 "\n", offset, length);
        return done;
      }
    }
    if (extentBytes > UINT64_MAX - extentStart) break;
    extentStart += extentBytes;
  }
  if (done != length) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    std::printf("Location%" PRIu64 "Size%" PRIu64 "\n", offset, length);
  }
  return done;
}

CHFSPlusFileCache::CHFSPlusFileCache(CHFSPlusVolume* volume, uint32_t fileID, const HFSPlusForkData& fork)
    : CHFSPlusRawfile(volume, fileID, fork) {
  if (result::IsFailure(m_lastError) || volume == nullptr) return;
  // Never more than the extents map, nor more than the device holds.
  uint64_t size = std::min<uint64_t>(
      {uint64_t{fork.totalBlocks} * volume->GetBlockSize(), GetMappedBytes(), volume->GetDeviceBytes(), kMaxCached});
  size -= size % 512;
  size = hfsplus::CatalogMemory::Take(size);
  m_taken = size;
  size -= size % 512;
  bool held = false;
  if (size != 0) {
    try {
      m_cache.resize(size);
      // Held also around sectors a failing medium could not give: only the
      // nodes on them are lost.
      held = CHFSPlusRawfile::Read(0, m_cache.data(), size, &m_lost) == size;
    } catch (...) {
    }
  }
  if (!held) {
    // Reads go to the device instead.
    std::vector<uint8_t>().swap(m_cache);
    m_lost.clear();
    hfsplus::CatalogMemory::Give(m_taken);
    m_taken = 0;
    m_lastError = 0;
  }
}

CHFSPlusFileCache::~CHFSPlusFileCache() { hfsplus::CatalogMemory::Give(m_taken); }

uint64_t CHFSPlusFileCache::Read(uint64_t offset, uint8_t* buffer, uint64_t length) {
  if (buffer == nullptr) return 0;
  uint64_t done = 0;
  if (offset < m_cache.size()) {
    done = std::min<uint64_t>(length, m_cache.size() - offset);
    for (const auto& [from, to] : m_lost) {
      if (from < offset + done && offset < to) {
        // Delivered up to what was lost, as the device would.
        done = from > offset ? from - offset : 0;
        std::memcpy(buffer, m_cache.data() + offset, done);
        m_lastError = HFSPLUS_ERROR(result::kErrShortRead);
        return done;
      }
    }
    std::memcpy(buffer, m_cache.data() + offset, done);
  }
  // What lies past the held part (a catalog above 256 MiB) comes from the
  // device.
  if (done < length) done += CHFSPlusRawfile::Read(offset + done, buffer + done, length - done);
  return done;
}
