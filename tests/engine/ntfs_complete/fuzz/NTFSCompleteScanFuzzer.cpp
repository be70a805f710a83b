// Runs the complete scan's NTFS searcher over a disk made of the input (in
// blocks whose size the input's length picks, so that structures are cut at
// many places), with the folder trees of what it found handed to a builder
// that refuses every other node, and the search records over the input taken
// as a FILE record.
// Any read outside the input shows up under AddressSanitizer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"
#include "ntfs/NTFSSearchController.h"
#include "ntfs/NTFSSearchInfo.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512) return 0;
  testsupport::BytesDevice device(data, size);
  testsupport::KeepingTreeBuilder builder(true);
  CNTFSSearchController searcher;
  searcher.SetDirecotryTreeBuilder(&builder);
  const int block = 8 + static_cast<int>(size % 57);
  searcher.SetDevice(&device);
  searcher.SetBlockSize(block);
  searcher.PreparetoSearch();
  const int64_t total = device.GetTotalSectors();
  for (int64_t first = 0; first < total; first += block) {
    searcher.AnalyzeBlock(first, first + block <= total ? block : total - first);
  }
  searcher.EndSearch(1);
  const int count = searcher.GetSearchedPartitionInfo(nullptr, 0);
  std::vector<CSearchedPartitionInfo*> records(static_cast<size_t>(count));
  searcher.GetSearchedPartitionInfo(records.data(), count);
  for (CSearchedPartitionInfo* record : records) delete record;

  std::vector<uint8_t> record(data, data + std::min<size_t>(size, 4096));
  const CNTFSFileRecord view(record.data(), static_cast<int>(record.size()), 0);
  if (view.IsValid()) {
    CFolderIndexAllocationInfo folder;
    folder.InitFromBuffer(view, 0, 512);
    CBitmapFileInfo bitmap;
    bitmap.InitFromBuffer(view, 0);
    std::unique_ptr<CMFTMirrInfo> mirror(CMFTMirrInfo::Build(view, 0, 512));
    CLogFileInfo log(4096);
    log.InitFromBuffer(view, 0);
  }
  CLogFileAnalyzer::IsValidRSTRRecord(data, static_cast<int64_t>(size));
  return 0;
}
