// Stored partition records, stored run lists and names from disk, fed with
// arbitrary bytes: nothing may crash, and what is read must write back and
// read again unchanged.
#include <cstdint>
#include <cstring>
#include <string>

#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void Records(const uint8_t* data, size_t size) {
  if (size < CSearchedPartitionInfo::kRecordSize) return;
  CSearchedPartitionInfo first(512);
  first.ReadRecord(data);
  Require(first.GetSectorSize() != 0 && first.GetSectorSize() % 512 == 0);
  Require(first.GetPrivateData() == nullptr);
  uint8_t written[CSearchedPartitionInfo::kRecordSize];
  first.WriteRecord(written);
  CSearchedPartitionInfo second(4096);
  second.ReadRecord(written);
  uint8_t again[CSearchedPartitionInfo::kRecordSize];
  second.WriteRecord(again);
  Require(std::memcmp(written, again, sizeof written) == 0);
}

void Runs(const uint8_t* data, size_t size) {
  CDataRunList list;
  size_t given = 0;
  for (size_t at = 0; at + 16 <= size; at += 16, ++given) {
    DataRun run;
    std::memcpy(&run.start, data + at, 8);
    std::memcpy(&run.length, data + at + 8, 8);
    list.AddDataRun(&run);
  }
  Require(list.GetDataRunCount() <= given);
  IDataRunList* copy = list.Clone();
  size_t walked = 0;
  for (DataRun *a = list.GetFirst(), *b = copy->GetFirst(); a != nullptr; a = list.GetNext(), b = copy->GetNext()) {
    Require(b != nullptr && a->start == b->start && a->length == b->length);
    ++walked;
  }
  Require(walked == list.GetDataRunCount() && copy->IsDone() == 1);
  copy->Release();
}

void Names(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::string cleaned = CFileNode::FilterFileNameByDot(name);
  Require(cleaned.size() <= name.size());
  Require(cleaned.empty() || (cleaned[0] != ' ' && cleaned[0] != '.'));
  Require(name.compare(name.size() - cleaned.size(), std::string::npos, cleaned) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Records(data, size);
  Runs(data, size);
  Names(data, size);
  return 0;
}
