// The searchers: one quick and one complete searcher per file system, and the
// RAW carver. The scan drivers make them through the factories below and feed
// them a device, a progress sink and a tree builder.
//
// Calling order a searcher can rely on (all calls from one worker thread;
// searchers start no threads and take no locks):
// - quick: factory, SetDirecotryTreeBuilder, QuickSearchFiles (once), then
//   any number of GetSearchedPartitionInfo calls, destruction;
// - complete: factory, SetIProgressSink (HFS+, exFAT and RAW), SetDevice,
//   SetBlockSize, SetDirecotryTreeBuilder, PreparetoSearch, AnalyzeBlock for
//   consecutive blocks from sector 0 upward (each block once), EndBlockPass,
//   EndSearch, then GetSearchedPartitionInfo, destruction. When a saved scan
//   result is replayed, PreparetoSearch, AnalyzeBlock and EndBlockPass are not
//   called; after a stop the carver's EndSearch is not called.
//
// Nodes handed to the tree builder: when the builder's AddNode answers 1 the
// builder owns the node; when it answers 0 the node stays with the searcher,
// which must release it (or keep it) itself. Never release an accepted node,
// never leak a refused one.
#pragma once

#include <cstdint>

#include "ResultCode.h"

class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IProgress;
class IStorageDevice;

// The order of the virtual operations is part of the interface: the two
// operations come before the destructor.
class IFileSystemSearchController {
 public:
  // The builder to feed; not owned.
  virtual void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) = 0;
  // Fills `array` with at most `capacity` new records of the file systems
  // found and answers their number; the caller owns the records. What a
  // searcher answers when the array is too small is its own rule.
  virtual int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) = 0;
  virtual ~IFileSystemSearchController() = default;
};

class IQuickFileSystemSearchController : public IFileSystemSearchController {
 public:
  // Reads one volume's metadata on the caller's thread, feeds the builder and
  // calls the builder's FlashBuild for its searcher type before returning.
  virtual ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) = 0;
};

class ICompleteFileSystemSearchController : public IFileSystemSearchController {
 public:
  // The device to read; during a complete scan, the caching device.
  virtual void SetDevice(IStorageDevice* device) = 0;
  // Sectors per block handed to AnalyzeBlock.
  virtual void SetBlockSize(int sectors) = 0;
  // Resets the searcher before the block pass.
  virtual void PreparetoSearch() = 0;
  // Ends the pass; with `build` non-zero the searcher builds its partitions'
  // trees and feeds the builder.
  virtual void EndSearch(int /*build*/) {}
  // Examines one block, read through the device given to SetDevice. The
  // scan's cache holds the block in memory: a searcher that only reads it
  // borrows it in place (BorrowSectors, SectorLender.h) and reads it with
  // ReadSector into a buffer of its own only when the borrow answers null
  // (a sector it cannot read, another sector size, a device that is not the
  // cache); the bytes are the same either way. The borrowed block is
  // read-only and good until this call returns.
  virtual ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) = 0;
  // The sink for the searcher's own progress while it builds.
  virtual void SetIProgressSink(IProgress* /*progress*/) {}
  // The block pass is over, run to its end or stopped: memory that only the
  // pass needs (block buffers, rings of recent blocks) can go. Called once
  // after the last AnalyzeBlock and before EndSearch, also when EndSearch is
  // then skipped.
  virtual void EndBlockPass() {}
};

// Each answers a new searcher, or null when it cannot be made. Searchers are
// destroyed through their virtual destructor.
IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
ICompleteFileSystemSearchController* CreateNTFSSearcher();
IQuickFileSystemSearchController* CreateFATQuickSearcher();
ICompleteFileSystemSearchController* CreateFATSearcher();
IQuickFileSystemSearchController* CreateEXFatQuickSearcher();
ICompleteFileSystemSearchController* CreateEXFatSearcher();
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher();
ICompleteFileSystemSearchController* CreateHFSPlusSearcher();
ICompleteFileSystemSearchController* CreateRAWSearcher();
