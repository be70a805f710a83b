// Stored partition records, run lists and names from disk, fed with arbitrary
// bytes: nothing may crash, and what is read must write back and read again
// unchanged.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= CSearchedPartitionInfo::kRecordSize) {
    CSearchedPartitionInfo first(512), second(4096);
    first.ReadRecord(data);
    Require(first.GetSectorSize() != 0 && first.GetSectorSize() % 512 == 0 && first.GetPrivateData() == nullptr);
    uint8_t written[CSearchedPartitionInfo::kRecordSize], again[CSearchedPartitionInfo::kRecordSize];
    first.WriteRecord(written);
    second.ReadRecord(written);
    second.WriteRecord(again);
    Require(std::memcmp(written, again, sizeof written) == 0);
  }

  CDataRunList list;
  for (size_t at = 0; at + 16 <= size; at += 16) {
    DataRun run;
    std::memcpy(&run.start, data + at, 8);
    std::memcpy(&run.length, data + at + 8, 8);
    list.AddDataRun(&run);
  }
  Require(list.GetDataRunCount() <= size / 16);
  std::unique_ptr<IDataRunList> copy(list.Clone());
  size_t walked = 0;
  for (DataRun *a = list.GetFirst(), *b = copy->GetFirst(); a != nullptr; a = list.GetNext(), b = copy->GetNext()) {
    Require(b != nullptr && a->start == b->start && a->length == b->length);
    ++walked;
  }
  Require(walked == list.GetDataRunCount() && copy->IsDone() == 1);

  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::string cleaned = CFileNode::FilterFileNameByDot(name);
  Require(cleaned.size() <= name.size() && (cleaned.empty() || (cleaned[0] != ' ' && cleaned[0] != '.')));
  Require(name.compare(name.size() - cleaned.size(), std::string::npos, cleaned) == 0);
  return 0;
}
