// The replay source of a saved scan result. The application makes one around
// an open scan-result file and attaches it to a recovery controller after
// creating the controller and before StartDataRecovery; the controller then
// feeds its tree builder from the source instead of reading the device.
#pragma once

#include <vector>

class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IProgress;
class IStorageDevice;

class RestoreScanSink {
 public:
  virtual ~RestoreScanSink() = default;

  // Replays the saved trees that belong to `device` into `builder`: for each
  // tree AddSearcherInfo(type, root ID), then AddNode for every saved node
  // while progress->Continued() answers non-zero, then FlashBuild(type).
  // Nothing happens when the device matches no saved device. Nodes the
  // builder refuses (AddNode answers 0) stay with the source, which releases
  // them.
  virtual void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) = 0;

  // The partition records restored for a searcher type, empty when none were
  // saved. The records stay owned by the source; callers copy them.
  virtual std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) = 0;
};
