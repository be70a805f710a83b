// The complete scan's directory parser: it looks at every sector of a disk
// on its own, tells exFAT directory sectors by their entries, gathers the
// entry sets of each run of directory sectors into a CFileSet, and joins
// entry sets that a folder's chain split between two clusters lying apart
// on the disk, whichever of the two halves comes first.
//
// A set cut at the end of a run (the part with its File entry: an open
// "head") and a run that starts inside a set (its first entries: an open
// "tail") wait for each other, keyed by the first sector of their run; a
// pair whose entries pass the set checksum together is joined, and the two
// runs are linked. Only the split the head's sector really ends at is tried,
// and only among the nearest open halves; both kinds are capped, the oldest
// dropped first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "exfat/FileSet.h"

class CFDTPreAnaylze {
 public:
  static constexpr size_t kTailBytes = 576;  // the most a split set can leave in the next run: 18 entries
  static constexpr size_t kMaxOpen = 4096;   // open heads, open tails, each
  static constexpr size_t kMaxLinks = 1u << 20;
  static constexpr size_t kJoinTries = 64;  // nearest open halves tried per split

  // `sectorShift` and `clusterShift` are log2 of the bytes per sector and of
  // the largest cluster a volume may have; `totalSectors` the device's.
  void PrepareAnayze(uint32_t sectorShift, uint32_t clusterShift, uint64_t totalSectors);
  // Examines the sector at `sector`; `buffer` holds it and `available` bytes
  // from its start (more than a sector lets a set that runs on into the next
  // sector be checked whole; the searcher keeps two sectors behind each).
  // True when the current run ends at this sector.
  bool Analyze(int64_t sector, const uint8_t* buffer, size_t available);
  // The current run, once it holds a record or is a root folder (its cluster
  // sizes then in sectors); the next Analyze starts a new one. Otherwise null,
  // and the run is dropped: runs never span sectors that are not directory
  // sectors.
  std::unique_ptr<CFileSet> GetFileSet();
  // The first sector of the run the run at `sector` goes on in / comes from,
  // or -1.
  int64_t GetNext(int64_t sector) const;
  int64_t GetLast(int64_t sector) const;
  void FinisAnayze();

  size_t OpenHeads() const { return m_heads.size(); }
  size_t OpenTails() const { return m_tails.size(); }

 private:
  struct Head {
    int64_t sector = 0;            // the File entry's
    std::vector<uint8_t> entries;  // the File entry and what follows it in its sector
  };

  bool CheckAndRecordNotEnd(const uint8_t* entry, size_t entriesLeft, int64_t sector, size_t bytesFromEntry);
  void RecordAbrige(int64_t sector, const uint8_t* start, size_t available);
  // Lays the head's entries and the tail's first ones side by side; when
  // they pass the set checksum and every entry rule, the set joins the
  // current run.
  bool Joint(const Head& head, const uint8_t* tail);
  void Link(int64_t head, int64_t tail);

  uint64_t m_totalSectors = 0;
  uint32_t m_clusterShift = 9;
  uint32_t m_sectorShift = 9;
  uint32_t m_entriesPerSector = 16;
  std::map<int64_t, Head> m_heads;
  std::map<int64_t, std::vector<uint8_t>> m_tails;
  std::map<int64_t, int64_t> m_links;
  std::map<int64_t, int64_t> m_lasts;
  std::unique_ptr<CFileSet> m_set;
};
