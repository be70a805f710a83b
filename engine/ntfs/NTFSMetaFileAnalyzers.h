// The analysers that read a volume's $AttrDef, $UpCase and $LogFile during a
// complete scan. The first two remember the metafiles' FILE records and
// recognise the sectors of their contents anywhere on the disk by comparing
// them with the contents every formatted volume carries; when the scan ends,
// a candidate partition is credited with the sectors that lie inside its
// metafile's runs. The $LogFile analyser places candidates from the log's
// two restart pages (and the $LogFile records that say where the log
// starts), and counts the log's record pages.
//
// Sectors are device sectors. Matched counts are kept in 512-byte units, the
// unit the score's thresholds count in.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ntfs/NTFSSearchInfo.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"

class CNTFSFileRecord;

// Sector ranges in the order they were found, each {first, count}.
class CMetaFileAnalyzer {
 public:
  static constexpr size_t kMaxRanges = 500000;
  // A range that ends just before `sector` grows by one; otherwise a new
  // range starts, unless kMaxRanges exist.
  void CombineSectorOfRange(int64_t sector);
  void AddRange(int64_t first, int64_t count);
  // The sectors of the ranges that lie in the clusters of `runs` (half-open:
  // a run of n clusters covers exactly n x sectorsPerCluster sectors).
  int64_t GetMatchCount(const CNTFSDataRunList& runs, int64_t start, uint32_t sectorsPerCluster) const;
  const std::vector<std::pair<int64_t, int64_t>>& GetRanges() const { return m_ranges; }

 private:
  std::vector<std::pair<int64_t, int64_t>> m_ranges;
};

// Recognises the sectors of a reference content: a sector matches when its
// bytes equal any sector-sized piece of the reference (looked up by its
// first 8 bytes among all pieces, not only the one its own bytes point at).
// Every sector of the disk is asked about: a bit per folded first word turns
// most away at once, and a piece is compared whole only when the sector also
// has the piece's first word that differs from its first 8 bytes (what tells
// an empty sector from a piece that begins with zeros).
class CReferenceSectors {
 public:
  CReferenceSectors(const uint8_t* reference, size_t bytes, uint32_t sectorSize);
  bool Match(const uint8_t* sector) const;

 private:
  struct Piece {
    size_t at;      // offset in the reference
    size_t probe;   // offset of the word compared first
    uint64_t word;  // the piece's word there
  };
  static uint32_t Fold(uint64_t head) {
    return static_cast<uint32_t>((head ^ (head >> 16) ^ (head >> 32) ^ (head >> 48)) & 0xFFFF);
  }
  bool MatchPiece(const uint8_t* sector, const Piece& piece) const;

  const uint8_t* m_reference;
  size_t m_bytes;
  uint32_t m_sectorSize;
  std::unordered_multimap<uint64_t, Piece> m_byHead;  // first 8 bytes -> piece
  std::vector<Piece> m_zeroHead;                      // pieces whose first 8 bytes are zero
  std::vector<uint64_t> m_headBits;                   // a bit per folded first word
};

// What the $AttrDef and $UpCase analysers share: their records and content.
class CContentFileAnalyzer {
 public:
  CContentFileAnalyzer(const uint8_t* reference, size_t bytes, uint32_t sectorSize, uint32_t recordNumber);
  void AnalyzeFileRecord(int64_t sector, const CNTFSFileRecord& record);
  void AnalyzeSectorBuffer(int64_t sector, const uint8_t* buffer);
  // The candidate's metafile record (the one at its record number from its
  // $MFT record, else the first inside it) and the sectors of content that
  // lie in that record's runs, in 512-byte units; -1 and 0 without one.
  std::pair<int64_t, int64_t> CalcMatch(const CSearchedNTFSPartitionInfo& candidate) const;
  const CMetaFileAnalyzer& GetRanges() const { return m_ranges; }

 private:
  CReferenceSectors m_reference;
  uint32_t m_sectorSize;
  uint32_t m_recordNumber;
  std::vector<std::unique_ptr<CMetaFileInfo>> m_records;
  CMetaFileAnalyzer m_ranges;
};

class CAttrDefFileAnalyzer : public CContentFileAnalyzer {
 public:
  explicit CAttrDefFileAnalyzer(uint32_t sectorSize = 512);
  void AnalyzeAttrDefFileRecord(int64_t sector, const CNTFSFileRecord& record) { AnalyzeFileRecord(sector, record); }
  void CalcAttrDefMatch(CSearchedNTFSPartitionInfo& candidate) const;
};

class CUpCaseFileAnalyzer : public CContentFileAnalyzer {
 public:
  explicit CUpCaseFileAnalyzer(uint32_t sectorSize = 512);
  void AnalyzeUpCaseFileRecord(int64_t sector, const CNTFSFileRecord& record) { AnalyzeFileRecord(sector, record); }
  void CalcUpcaseMatch(CSearchedNTFSPartitionInfo& candidate) const;
};

class CLogFileAnalyzer {
 public:
  static constexpr int kPageBytes = 4096;
  static constexpr size_t kMaxFound = 500000;

  // Without a builder (tests of the page test alone) nothing is placed.
  explicit CLogFileAnalyzer(CNTFSPartitionInfoBuilder* builder = nullptr, uint32_t sectorSize = 512);

  // A restart page: at least a page of bytes, "RSTR", "NTFS" in UTF-16LE at
  // 0x90, and the update-sequence number at the end of each 512-byte sector.
  static bool IsValidRSTRRecord(const uint8_t* buffer, int64_t bytes);
  // A restart page at `sector`: with every known $LogFile record, a first
  // page places a candidate (flag 64) and one a page earlier (flag 128); a
  // page right after the last one is the second page: the candidates a page
  // earlier gain flag 128, those placed as if it were a first page lose
  // flag 64, and those placed as if the page before were a second one lose
  // flag 128 (a candidate left without evidence goes).
  void AnalyzeRSTRRecord(int64_t sector, const uint8_t* buffer, int64_t available);
  // Record pages of a block (`count` sectors from `first`); a page cut by
  // the block's end is completed from the next block when that follows.
  void AnalyzeRCRDRecord(const uint8_t* block, int64_t first, int64_t count);
  void AnalyzeLogFileFileRecord(int64_t sector, const CNTFSFileRecord& record);
  bool IsaMetaFileRecordNotNeedtoCount() const { return false; }
  void CalcLogFileMatch(CSearchedNTFSPartitionInfo& candidate) const;

  const std::vector<int64_t>& GetRestartPages() const { return m_restarts; }
  const CMetaFileAnalyzer& GetRecordPages() const { return m_pages; }

 private:
  void Place(int64_t sector, const CLogFileInfo& log, uint32_t flag);
  void AnalyzePage(int64_t sector, const uint8_t* page);

  CNTFSPartitionInfoBuilder* m_builder;
  uint32_t m_sectorSize;
  int64_t m_pageSectors;
  std::vector<std::unique_ptr<CLogFileInfo>> m_records;
  std::vector<int64_t> m_restarts;
  CMetaFileAnalyzer m_pages;
  // A record page cut by a block's end.
  std::vector<uint8_t> m_kept;
  int64_t m_keptFirst = -1;
  int64_t m_keptSectors = 0;
};
