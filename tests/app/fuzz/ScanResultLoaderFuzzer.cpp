// Fuzz target for the reader of saved scan results: the input is a whole
// ".rsf" file. Its header and scan-kind and device frames are read as a load
// reads them, then its trees are replayed, once as for a whole disk, once
// for a volume named "v" and once for the volume at the first tree's place,
// into the real tree builder, on a device of 8 MiB. Whatever the bytes,
// nothing may crash, hang or allocate more than the file holds, every node
// shown must hang below a root, and no file may be larger than its runs hold
// or have runs outside the device (LoadedInvariants.h). The check values,
// the identities and the frames the file promises are read as a load reads
// them, and with check values the trees are replayed once more, passing over
// those that fail theirs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/KVRestoreScanSink.h"
#include "app/LoadedInvariants.h"  // tests/app
#include "app/ScanResultChecks.h"
#include "app/ScanResultRecords.h"
#include "archive/RSData.h"
#include "engine/tree/TreeDoubles.h"
#include "support/BytesDevice.h"
#include "support/RecordingProgress.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

// One file for the whole run, rewritten for every input.
const std::string& InputPath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/rsf-fuzz-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    static const std::string* kept = new std::string(pattern);
    std::atexit([] { unlink(kept->c_str()); });
    return std::string(pattern);
  }();
  return path;
}

// The places of the trees, when the file has a whole place frame.
std::optional<SaveRestoreResult::PlaceRecord> ReadFrames(CRSData& archive) {
  namespace srr = SaveRestoreResult;
  FILEHEADER header;
  archive.ReadFileHeader(header);
  try {
    archive.GetStatus();
  } catch (const CRSException&) {
  }
  for (const tagGUIDSIGN& id : {srr::_frFileSystemSearchControllerList, srr::_frDiskDevice}) {
    try {
      archive.OpenFrame(id);
      srr::RecordReader reader(&archive);
      if (id == srr::_frDiskDevice) {
        srr::DecodeDevice(reader);
      } else {
        srr::DecodeScanKind(reader);
      }
    } catch (const srr::CRecordDamage&) {
    } catch (const CRSException&) {
    }
  }
  try {
    archive.OpenFrame(srr::_frPromisedFrames);
    srr::RecordReader reader(&archive);
    const srr::PromiseRecord promise = srr::DecodePromise(reader);
    archive.CloseFrame();
    srr::MissingPromised(archive, promise);
  } catch (const srr::CRecordDamage&) {
  } catch (const CRSException&) {
  }
  try {
    archive.OpenFrame(srr::_frVolumeIdentity);
    srr::RecordReader reader(&archive);
    srr::DecodeIdentity(reader);
  } catch (const srr::CRecordDamage&) {
  } catch (const CRSException&) {
  }
  try {
    archive.OpenFrame(srr::_frVolumePlace);
    srr::RecordReader reader(&archive);
    return srr::DecodePlace(reader);
  } catch (const srr::CRecordDamage&) {
  } catch (const CRSException&) {
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* out = std::fopen(InputPath().c_str(), "wb");
  if (out == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, out);
  std::fclose(out);

  CRSData archive(RSModeRead);
  if (archive.StartRS(InputPath().c_str(), 0) == 0) return 0;
  const auto places = ReadFrames(archive);
  const SaveRestoreResult::CheckVerdict checks = SaveRestoreResult::VerifyChecks(archive);

  treetest::RecordingTree shown;
  treetest::FakeFilter filter;
  testsupport::RecordingProgress progress;
  auto* builder = new CDirectoryTreeBuilder(true);
  builder->SetPause([] {});
  builder->Initialize("fuzz", &shown, &filter);
  static const std::vector<uint8_t> kDisk(8 << 20, 0);
  testsupport::BytesDevice device(kDisk.data(), kDisk.size());
  SaveRestoreResult::KVRestoreScanSink::DeviceView view{true, true, ""};
  SaveRestoreResult::KVRestoreScanSink sink(
      &archive, [&view](IStorageDevice*) { return view; }, nullptr);
  rsftest::InvariantBuilder checked(builder, sink, kDisk.size());
  sink.SetDirecotryTreeBuilder(&checked, &progress, &device);
  view = {true, false, "v"};
  sink.SetDirecotryTreeBuilder(&checked, &progress, &device);
  // And for a volume at the first tree's place.
  if (places.has_value() && !places->roots.empty()) {
    sink.SetPlaces(places->roots);
    const SaveRestoreResult::VolumePlace first = places->roots.front();
    sink.SetLocator([first](IStorageDevice*) { return SaveRestoreResult::KVRestoreScanSink::VolumeSeen{first, -1}; });
    sink.SetDirecotryTreeBuilder(&checked, &progress, &device);
  }
  if (checks.present && checks.failure == 0) {
    view = {true, true, ""};
    sink.SetChecks(checks.treeSound, checks.sections);
    sink.SetDirecotryTreeBuilder(&checked, &progress, &device);
  }
  if (!shown.problems.empty() || !checked.broken.empty()) std::abort();
  builder->Release();
  archive.EndRS();
  return 0;
}
