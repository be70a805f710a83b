// The carver's parts on hand-made bytes: names and folders, the ring of
// recent blocks, the registry, the JPEG end search and EXIF bounds, and the
// searcher's handling of files it cannot size or whose header lies.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "FileSystemSearchController.h"
#include "RawSizing.h"
#include "raw/BufferStorageDevice.h"
#include "raw/ExifParser.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/ImageAnalysers.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileAnalyserList.h"
#include "raw/RawFileBuffer.h"
#include "support/BytesDevice.h"
#include "support/HeapInUse.h"
#include "support/LendingDevice.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/StubDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Name(uint16_t type, const char* prefix) {
  char out[1024];
  CRAWFileNode::BuildFileName(out, type, prefix);
  return out;
}

TEST(RawNames, PrefixesAreFilteredCutAndNumberedPerType) {
  ResetRawNameCounters();
  EXPECT_EQ(FilterRawFileName("a/b:c"), "a_b_c");
  EXPECT_EQ(FilterRawFileName("   "), "");
  EXPECT_EQ(FilterRawFileName(" ..bashrc  "), "bashrc");
  const std::string cut = FilterRawFileName(std::string(199, 'x') + "\xC3\xA9" + "tail");
  EXPECT_EQ(cut, std::string(199, 'x'));  // the two-byte character is not split
  EXPECT_EQ(Name(RAW_TYPE_JPG, ""), "FILE000.JPG");
  EXPECT_EQ(Name(RAW_TYPE_PNG, ""), "FILE000.PNG");
  EXPECT_EQ(Name(RAW_TYPE_JPG, "Holiday"), "Holiday001.JPG");
  EXPECT_EQ(Name(RAW_TYPE_JPG, "\xFF\xFE"), "FILE002.JPG");  // not UTF-8, counter still advances
  RawNameCounters()[RAW_TYPE_JPG] = 1000;
  EXPECT_EQ(Name(RAW_TYPE_JPG, ""), "FILE1000.JPG");
  EXPECT_LE(Name(RAW_TYPE_FCPEVENT, FilterRawFileName(std::string(4000, 'y')).c_str()).size(), 255u);
}

TEST(RawRing, ServesHeldBlocksAcrossTheWrapAndPassesTheRestOn) {
  Bytes disk(64 * 512);
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i / 512);
  testsupport::BytesDevice device(disk.data(), disk.size());
  CBufferStorageDevice ring;
  ring.InitBufferDevice(&device, 0, 512, 2, 3);
  for (int block = 0; block < 5; ++block) {
    Bytes data(2 * 512, static_cast<uint8_t>(100 + block));
    ring.AddBlockToBuffer(data.data());
  }
  EXPECT_TRUE(ring.IsFullBuffer());
  EXPECT_EQ(ring.GetDeviceStartSector(), 4u);
  EXPECT_EQ(ring.GetTotalSectors(), 64);  // the device's total, not what is held
  Bytes out(4 * 512);
  ASSERT_EQ(ring.ReadSector(out.data(), 5, 4), 1);  // blocks 2 (second half), 3, 4 (first half)
  EXPECT_EQ(out[0], 102);
  EXPECT_EQ(out[512], 103);
  EXPECT_EQ(out[3 * 512], 104);
  ASSERT_EQ(ring.ReadSector(out.data(), 3, 2), 1);  // not all held: from the device
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[512], 4);
  // A block passed by takes its place in the window; its sectors, and reads
  // that touch them, come from the device.
  ring.PassBlockBy();
  ring.AddBlockToBuffer(Bytes(2 * 512, 106).data());
  EXPECT_EQ(ring.GetDeviceStartSector(), 8u);
  ASSERT_EQ(ring.ReadSector(out.data(), 9, 2), 1);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[512], 10);
  ASSERT_EQ(ring.ReadSector(out.data(), 11, 2), 1);
  EXPECT_EQ(out[0], 11);
  EXPECT_EQ(out[512], 12);
  ASSERT_EQ(ring.ReadSector(out.data(), 8, 1), 1);
  EXPECT_EQ(out[0], 104);
  ASSERT_EQ(ring.ReadSector(out.data(), 12, 2), 1);
  EXPECT_EQ(out[0], 106);
  ring.AddBlockToBuffer(Bytes(2 * 512, 107).data());
  ring.AddBlockToBuffer(Bytes(2 * 512, 108).data());  // where the block passed by was
  ASSERT_EQ(ring.ReadSector(out.data(), 13, 4), 1);
  EXPECT_EQ(out[0], 106);
  EXPECT_EQ(out[512], 107);
  EXPECT_EQ(out[3 * 512], 108);
}

TEST(RawRegistry, KeysAndListsComeFromTheTable) {
  CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
  registry->BuildRawFileAnalyserListByRawFileType(nullptr);
  registry->BuildRawFileAnalyserListByRawFileType(nullptr);
  registry->BuildRawFileAnalyserMapByRawFileType(nullptr);
  size_t keys = 0, unkeyed = 0, listed = 0;
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    for (uint32_t key : entry.keys) keys += key != 0;
    unkeyed += entry.noMagic;
    listed += entry.listed;
  }
  EXPECT_EQ(registry->GetAnalyserList(0).size(), unkeyed);
  EXPECT_EQ(registry->GetAnalyserMap().size(), keys);
  EXPECT_EQ(registry->GetAnalyserList(1).size(), listed);
  RawAnalyserList list;
  const std::vector<RAW_FILE_TYPE> order{RAW_TYPE_EMF, RAW_TYPE_JPG, RAW_TYPE_BMP};
  CRawFileAnalyserListSingle::BuildRawFileAnalyserListByFileType(list, &order);
  ASSERT_EQ(list.size(), 2u);  // JPEG has keys: it is never in list 0
  EXPECT_EQ(list[0]->GetAnalyserType(), RAW_TYPE_EMF);
  EXPECT_EQ(list[1]->GetAnalyserType(), RAW_TYPE_BMP);
  EXPECT_EQ(registry->FindByKey(RawKey(0xFF, 0xD8, 0xFF, 0xE1))->GetAnalyserType(), RAW_TYPE_JPG);
}

// Every analyser, on sectors it owns a key of and on sectors that only look
// like what the no-magic analysers take, in read-only memory: none writes to
// the sector it is shown (it may be the scan cache's block).
TEST(RawRegistry, NoAnalyserWritesToTheSectorItIsShown) {
  std::mt19937 rng(5);
  std::vector<Bytes> heads = {{},
                              {'B', 'M'},
                              {0xFF, 0xFB, 0x90, 0x64},
                              {'I', 'D', '3', 3},
                              {'F', 'L', 'V', 1},
                              {'F', 'W', 'S', 9, 0x40},
                              {'C', 'W', 'S', 9, 0x40}};
  for (const char* brand : {"ftypisom", "ftypmp42", "ftypM4A ", "ftyp3gp5", "ftypqt  ", "FTYPISOM"}) {
    Bytes head = {0, 0, 0, 0x18};
    head.insert(head.end(), brand, brand + 8);
    heads.push_back(head);
  }
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    for (const uint32_t key : entry.keys) {
      if (key != 0) heads.push_back({uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), uint8_t(key >> 24)});
    }
  }
  Bytes sectors(heads.size() * 2 * 4096);
  for (size_t i = 0; i < heads.size(); ++i) {
    for (const size_t variant : {0, 1}) {
      uint8_t* at = sectors.data() + (2 * i + variant) * 4096;
      // Random bytes behind the head, or zeros (EMF's mark at byte 40).
      for (size_t b = 0; b < 4096; ++b) at[b] = variant == 0 ? static_cast<uint8_t>(rng()) : 0;
      if (variant == 1) std::memcpy(at + 40, " EMF", 4), at[48] = 1;
      std::copy(heads[i].begin(), heads[i].end(), at);
    }
  }
  testsupport::LendingDevice lender(sectors);
  const uint8_t* lent = lender.BorrowSectors(0, lender.GetTotalSectors());
  ASSERT_NE(lent, nullptr);
  int matches = 0;
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    std::unique_ptr<IRawFileAnalyser> analyser(entry.make());
    for (size_t at = 0; at < sectors.size(); at += 4096) {
      CRawFileInfo info;
      matches += analyser->AnalyseBuffer(const_cast<uint8_t*>(lent + at), info) != 0 ? 1 : 0;
    }
  }
  EXPECT_GT(matches, static_cast<int>(RawAnalyserEntries().size())) << "the sectors were looked into";
}

TEST(RawToolkit, PatternSearchAndBoxWalkStayInBounds) {
  const uint8_t hay[] = {1, 2, 3};
  const uint8_t longer[] = {1, 2, 3, 4};
  EXPECT_EQ(Apimemstr(hay, 3, longer, 4), nullptr);
  EXPECT_EQ(Apimemstr(hay, 3, longer + 1, 2), hay + 1);
  Bytes disk(8 * 512);
  const uint8_t ftyp[] = {0, 0, 0, 0x18, 'f', 't', 'y', 'p'};
  std::memcpy(disk.data(), ftyp, sizeof ftyp);
  testsupport::BytesDevice device(disk.data(), disk.size());
  CRawFileInfo info;
  ASSERT_EQ(CRawBoxFileAnalyser::GetFileSize(info, &device), 1u);
  EXPECT_EQ(info.m_size, 0x18u);
}

TEST(RawJpeg, EndMarkerAtASectorEndOrSplitAcrossTwo) {
  Bytes disk(8 * 512, 0x55);
  disk[3 * 512 - 2] = 0xFF;
  disk[3 * 512 - 1] = 0xD9;
  testsupport::BytesDevice device(disk.data(), disk.size());
  RawFileBuffer atEnd(&device, 0);
  bool found = false;
  EXPECT_EQ(FileJPGAnalyser::AddFileSizeByPerSecSize(atEnd, 700, 1u << 20, &found), 3u * 512);
  EXPECT_TRUE(found);
  // Never past the limit, and the end is then not found.
  EXPECT_EQ(FileJPGAnalyser::AddFileSizeByPerSecSize(atEnd, 700, 1000, &found), 1024u);
  EXPECT_FALSE(found);
  disk[3 * 512 - 2] = 0x55;
  disk[3 * 512 - 1] = 0xFF;
  disk[3 * 512] = 0xD9;
  disk[4 * 512 - 2] = disk[4 * 512 - 1] = 0;
  RawFileBuffer split(&device, 0);
  EXPECT_EQ(FileJPGAnalyser::AddFileSizeByPerSecSize(split, 700, 1u << 20), 3u * 512 + 1);
}

// A JFIF picture of 64x64 (so a bound of 12,288 bytes of scan data): one
// grey component, a Huffman table, then `scan` after the start of scan;
// `restart` gives it a restart interval.
Bytes Jpeg(const Bytes& scan, bool restart = false) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  if (restart) b.insert(b.end(), {0xFF, 0xDD, 0, 4, 0, 1});
  b.insert(b.end(), {0xFF, 0xC0, 0, 11, 8, 0, 64, 0, 64, 1, 1, 0x11, 0});
  b.insert(b.end(), {0xFF, 0xC4, 0, 20, 0x00, 0, 1});
  b.insert(b.end(), 14, 0);
  b.push_back(0);
  b.insert(b.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0});
  b.insert(b.end(), scan.begin(), scan.end());
  return b;
}

// Bytes that hold no FF (scan data with nothing to say).
Bytes Plain(size_t n) { return Bytes(n, 0x5A); }

// The JPEG at sector 0 of `disk`, sized.
CRawFileInfo SizeJpeg(const Bytes& disk, uint32_t* answer = nullptr) {
  testsupport::BytesDevice device(disk.data(), disk.size());
  FileJPGAnalyser jpg;
  CRawFileInfo info;
  const uint32_t got = jpg.GetRawFileSize(info, &device);
  if (answer != nullptr) *answer = got;
  return info;
}

TEST(RawJpeg, ScanDataIsFollowedThroughStuffingRestartsFillAndFurtherScans) {
  // Stuffed bytes, the restart markers in their order (wrapping after 7),
  // a second scan behind a table, fill bytes before the end.
  Bytes scan = Plain(300);
  for (int i = 0; i < 9; ++i) scan.insert(scan.end(), {0x12, 0xFF, 0x00, 0xFF, uint8_t(0xD0 + i % 8), 0x34});
  scan.insert(scan.end(), {0xFF, 0xC4, 0, 20, 0x10, 0, 1});
  scan.insert(scan.end(), 15, 0);
  scan.insert(scan.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0, 1, 63, 0, 0x77, 0xFF, 0xFF, 0xFF, 0xD9});
  Bytes disk = Jpeg(scan, true);
  const size_t size = disk.size();
  // Behind it, foreign bytes whose sector ends in FF D9: no end of this file.
  disk.resize(4 * 512, 0x66);
  disk[2 * 512 - 2] = 0xFF, disk[2 * 512 - 1] = 0xD9;
  const CRawFileInfo info = SizeJpeg(disk);
  EXPECT_EQ(info.m_size, size);
  EXPECT_TRUE(info.m_whole);
  EXPECT_FALSE(info.m_endUnknown);
}

TEST(RawJpeg, ForeignBytesEndTheFileAtTheFirstSectorAfterItsLastSureByte) {
  Bytes scan = Plain(600);
  scan.insert(scan.end(), {0xFF, 0x00});  // the last sure byte, in sector 1
  scan.resize(1400, 0x5A);
  Bytes disk = Jpeg(scan);
  const size_t sure = disk.size() - 800;
  ASSERT_LT(sure, 1024u);
  // From sector 2 on, foreign bytes; their first FF is followed by neither
  // a stuffed zero nor a marker that may stand there.
  disk.resize(8 * 512, 0x22);
  disk[1100] = 0xFF, disk[1101] = 0x31;
  CRawFileInfo info = SizeJpeg(disk);
  EXPECT_EQ(info.m_size, 1024u);
  EXPECT_FALSE(info.m_whole);
  // No end-of-image marker: what is carved is not the whole picture.
  EXPECT_TRUE(info.m_endUnknown);
  // A restart marker out of its order, or in a picture without restart
  // interval, is foreign as well.
  // A break inside the last sure sector ends the file right there.
  Bytes rst = Plain(200);
  rst.insert(rst.end(), {0xFF, 0xD0, 0x01, 0xFF, 0xD2, 0xFF, 0xD9});
  Bytes disk2 = Jpeg(rst, true);
  const size_t wrongRestart = disk2.size() - 4;
  disk2.resize(4 * 512, 0x22);
  EXPECT_EQ(SizeJpeg(disk2).m_size, wrongRestart);
  Bytes disk3 = Jpeg(Bytes{0xFF, 0xD0, 0xFF, 0xD9});
  const size_t noInterval = disk3.size() - 4;
  disk3.resize(2 * 512, 0x22);
  EXPECT_EQ(SizeJpeg(disk3).m_size, noInterval);
}

TEST(RawJpeg, AWalkThatReachesItsBoundFallsBackToTheSectorEnds) {
  // 64 x 64 x 3 bytes of scan data without a marker: the walk cannot decide;
  // the sector-end search stops at the same bound.
  Bytes disk = Jpeg(Plain(20000));
  const size_t scan = disk.size() - 20000;
  disk.resize(48 * 512, 0x5A);
  uint32_t answer = 0;
  const CRawFileInfo info = SizeJpeg(disk, &answer);
  ASSERT_EQ(answer, 1u);
  EXPECT_EQ(info.m_size, (scan + 64 * 64 * 3 + 511) / 512 * 512);
  EXPECT_FALSE(info.m_whole);
  EXPECT_TRUE(info.m_endUnknown);
}

// "Exif" 00 00, then a little-endian TIFF header and IFD0 of `entries`.
Bytes Exif(const std::vector<std::array<uint32_t, 4>>& entries, const std::string& strings = {}) {
  Bytes b = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put16 = [&](uint32_t v) { b.push_back(v & 0xFF), b.push_back((v >> 8) & 0xFF); };
  auto put32 = [&](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
  put16(static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) put16(e[0]), put16(e[1]), put32(e[2]), put32(e[3]);
  put32(0);
  b.insert(b.end(), strings.begin(), strings.end());
  return b;
}

TEST(RawExif, NamesFromModelOrMakeAndBoundedDirectories) {
  // IFD0 at 8 with two entries ends at 8 + 2 + 24 + 4 = 38: strings follow.
  const Bytes named = Exif({{0x010F, 2, 6, 38}, {0x0110, 2, 8, 44}}, std::string("Maker\0X <y>\0\0\0", 14));
  tag_ExifInfo info;
  std::string error;
  ASSERT_TRUE(EXIF_process_EXIF(named.data(), named.size(), info, error)) << error;
  EXPECT_EQ(info.CameraMake, "Maker");
  EXPECT_EQ(info.CameraModel, "X <y>");
  // An EXIF sub-directory that points back at IFD0 is refused, not followed.
  const Bytes loop = Exif({{0x8769, 4, 1, 8}});
  EXPECT_FALSE(EXIF_process_EXIF(loop.data(), loop.size(), info, error));
  EXPECT_EQ(error, "Illegal subdirectory link");
  const Bytes outside = Exif({{0x0110, 2, 4000, 20}});
  EXPECT_FALSE(EXIF_process_EXIF(outside.data(), outside.size(), info, error));
  // A rational of no components has no value: its 8 bytes are not read from
  // the entry's 4 and what follows them (here the next-directory offset,
  // then nothing).
  Bytes empty = Exif({{0xA20E, 5, 0, 7}});
  empty[empty.size() - 4] = 1;
  ASSERT_TRUE(EXIF_process_EXIF(empty.data(), empty.size(), info, error)) << error;
  EXPECT_EQ(info.FocalplaneXRes, 0.0);
  const std::vector<uint8_t> atTheEnd(empty.begin(), empty.end() - 4);
  ASSERT_TRUE(EXIF_process_EXIF(atTheEnd.data(), atTheEnd.size(), info, error)) << error;
  EXPECT_EQ(info.FocalplaneXRes, 0.0);
}

// A device over bytes in memory whose chosen sectors cannot be read.
class HoleDevice : public testsupport::StubDevice {
 public:
  HoleDevice(const Bytes& disk, int64_t holeFirst, int64_t holeEnd)
      : inner_(disk.data(), disk.size()), holeFirst_(holeFirst), holeEnd_(holeEnd) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < holeEnd_ && holeFirst_ < first + count) return 0;
    sectorsRead += count;
    return inner_.ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return inner_.GetTotalSectors(); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  int64_t sectorsRead = 0;

 private:
  testsupport::BytesDevice inner_;
  int64_t holeFirst_, holeEnd_;
};

// The searcher over a device, blocks of `blockSectors`.
struct Carve {
  explicit Carve(const Bytes& disk, int blockSectors = 8, int64_t holeFirst = 0, int64_t holeEnd = 0)
      : owned(std::make_unique<HoleDevice>(disk, holeFirst, holeEnd)) {
    Run(*owned, blockSectors);
  }
  Carve(IStorageDevice& device, int blockSectors) { Run(device, blockSectors); }
  void Run(IStorageDevice& device, int blockSectors) {
    raw = CreateRAWSearcher();
    raw->SetIProgressSink(&sink);
    raw->SetDevice(&device);
    raw->SetBlockSize(blockSectors);
    raw->SetDirecotryTreeBuilder(&builder);
    raw->PreparetoSearch();
    for (int64_t first = 0; first < device.GetTotalSectors(); first += blockSectors) {
      raw->AnalyzeBlock(first, std::min<int64_t>(blockSectors, device.GetTotalSectors() - first));
    }
  }
  ~Carve() { delete raw; }
  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    for (const auto& a : builder.added) {
      if (!a.folder) out.push_back(a.name + ":" + std::to_string(a.size));
    }
    return out;
  }
  std::unique_ptr<HoleDevice> owned;
  testsupport::RecordingBuilder builder;
  testsupport::RecordingProgress sink;
  ICompleteFileSystemSearchController* raw;
};

// PNG chunks: length, type, data, and zlib's CRC-32 of type and data.
void Chunk(Bytes& png, const char* type, const Bytes& data) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  png.insert(png.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  const uLong sum = crc32(0, png.data() + png.size() - data.size() - 4, static_cast<uInt>(data.size() + 4));
  png.insert(png.end(), {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
}
const uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void PutBmp(Bytes& disk, size_t at, uint32_t size) {
  const uint8_t head[] = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0};
  std::memcpy(disk.data() + at, head, sizeof head);
  std::memcpy(disk.data() + at + 2, &size, 4);
}

TEST(RawSearch, HeaderSizesAreClampedAndFoldersMadeOnce) {
  Bytes disk(64 * 512);
  PutBmp(disk, 512, 1000);
  PutBmp(disk, 60 * 512, 0x7FFFFFFF);  // claims more than the device holds
  Carve carve(disk);
  carve.raw->EndSearch(1);
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.BMP:1000", "FILE001.BMP:2048"}));
  ASSERT_EQ(carve.builder.added.front().name, "bmp");
  EXPECT_TRUE(carve.builder.added.front().folder);
  EXPECT_EQ(carve.builder.added.front().id, 10);
  EXPECT_EQ(carve.builder.added.front().parent, 1);
  EXPECT_EQ(carve.builder.events, (std::vector<std::string>{"info:34:1", "flash:34"}));
  CSearchedPartitionInfo* record = nullptr;
  EXPECT_EQ(carve.raw->GetSearchedPartitionInfo(nullptr, 5), 1);
  ASSERT_EQ(carve.raw->GetSearchedPartitionInfo(&record, 1), 1);
  EXPECT_EQ(record->GetSectorsperCluster(), 1u);
  delete record;
}

TEST(RawSearch, AnUnsizableHeadDoesNotHoldBackLaterFiles) {
  // A PNG signature with no IHDR, then a whole PNG; 30 blocks of 8 sectors.
  Bytes disk(240 * 512);
  std::memcpy(disk.data(), kPngSignature, 8);
  Bytes png(kPngSignature, kPngSignature + 8);
  Chunk(png, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  Chunk(png, "IDAT", {1, 2, 3});
  Chunk(png, "IDAT", {4});
  Chunk(png, "IEND", {});
  std::memcpy(disk.data() + 512, png.data(), png.size());
  Carve carve(disk);
  // Settled during the pass, before EndSearch, and the broken one dropped.
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.PNG:" + std::to_string(8 + 25 + 15 + 13 + 12)}));
  carve.raw->EndSearch(0);
  EXPECT_TRUE(carve.builder.events == std::vector<std::string>{"info:34:1"});
}

// A PNG cut short before its IEND (zeros behind): it ends behind the last
// chunk whose checksum holds, its end not known; cut in its first image
// data, that chunk is kept as long as it says, not taken for whole; cut
// before any image data, it is not carved.
TEST(RawPng, ACutFileEndsBehindItsLastSoundChunk) {
  Bytes png(kPngSignature, kPngSignature + 8);
  Chunk(png, "IHDR", {0, 0, 0, 9, 0, 0, 0, 9, 8, 2, 0, 0, 0});
  Chunk(png, "IDAT", Bytes(100, 7));  // at 33
  Chunk(png, "IDAT", Bytes(300, 8));  // at 145, up to 457
  Chunk(png, "IEND", {});
  struct Row {
    size_t kept, sets;  // bytes of the file left and of a second IDAT
    uint64_t size;
    bool whole;
  };
  const Row rows[] = {{457, 300, 457, true}, {300, 300, 145, true}, {200, 0, 345, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kept);
    Bytes file(png.begin(), png.begin() + 33);
    Chunk(file, "IDAT", Bytes(row.sets == 0 ? 300 : 100, 7));
    if (row.sets != 0) Chunk(file, "IDAT", Bytes(row.sets, 8));
    file.resize(row.kept);
    file.resize(4096, 0);
    FilePNGAnalyser analyser;
    CRawFileInfo info;
    ASSERT_EQ(analyser.AnalyseBuffer(file.data(), info), 1u);
    testsupport::BytesDevice device(file.data(), file.size());
    ASSERT_EQ(analyser.GetRawFileSize(info, &device), 1u);
    EXPECT_EQ(info.m_size, row.size);
    EXPECT_EQ(info.m_whole, row.whole);
    EXPECT_TRUE(info.m_endUnknown);
  }
  Bytes early(png.begin(), png.begin() + 33);
  Chunk(early, "tEXt", Bytes(300, 'a'));
  early.resize(100);
  early.resize(4096, 0);
  FilePNGAnalyser analyser;
  CRawFileInfo info;
  testsupport::BytesDevice device(early.data(), early.size());
  EXPECT_EQ(analyser.GetRawFileSize(info, &device), 0u);
}

// A 2x2 picture (code size 2: clear 4, end 5, codes of 3 bits) whose data
// are sound (clear, four pixels, end), and the same cut inside its data where
// the bytes that followed hold a code no encoder writes first (7) and then a
// zero byte and 0x3B, which read as the sub-blocks' end and the trailer.
TEST(RawGif, ATrailerBehindDataThatWentWrongIsNoEnd) {
  const Bytes head = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2};
  // Codes 4 0 0 0 (3 bits) 0 5 (4 bits: the table reached 8), low bits
  // first; and 4 7.
  const Bytes sound = {3, 0x04, 0x00, 0x05, 0x00, 0x3B}, cut = {1, 0x3C, 0x00, 0x3B};
  for (const Bytes* data : {&sound, &cut}) {
    Bytes file = head;
    file.insert(file.end(), data->begin(), data->end());
    const uint64_t size = file.size();
    file.resize(4096, 0);
    FileGIFAnalyser analyser;
    CRawFileInfo info;
    ASSERT_EQ(analyser.AnalyseBuffer(file.data(), info), 1u);
    testsupport::BytesDevice device(file.data(), file.size());
    ASSERT_EQ(analyser.GetRawFileSize(info, &device), 1u);
    EXPECT_EQ(info.m_size, size);
    EXPECT_EQ(info.m_endUnknown, data == &cut);
  }
}

TEST(RawSearch, ZeroKeyedSectorsAndCancelledScansAddNothing) {
  Bytes disk(64 * 512);
  PutBmp(disk, 32 * 512, 100);
  disk[32 * 512] = 0;  // key 0 is never looked up
  disk[32 * 512 + 1] = 0;
  PutBmp(disk, 40 * 512, 100);
  {
    Carve carve(disk);
    carve.raw->EndSearch(1);
    EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.BMP:100"}));
  }
  HoleDevice device(disk, 0, 0);
  testsupport::RecordingBuilder builder;
  testsupport::RecordingProgress stopped;
  stopped.onContinued = [](int) { return 0; };
  ICompleteFileSystemSearchController* raw = CreateRAWSearcher();
  raw->SetIProgressSink(&stopped);
  raw->SetDevice(&device);
  raw->SetBlockSize(64);
  raw->SetDirecotryTreeBuilder(&builder);
  raw->PreparetoSearch();
  raw->AnalyzeBlock(0, 64);
  EXPECT_TRUE(builder.added.empty());
  delete raw;  // the sink is forgotten with the searcher
  RawFileBuffer after(&device, 0);
  EXPECT_NE(after.Get(0, 4), nullptr);
}

TEST(RawSearch, AnUnreadableBlockEntersTheRingAsZeros) {
  // A PNG in block 0 whose IEND sits at sector 24 (block 3); block 1 cannot
  // be read. A ring one block off would find the decoy IEND of sector 32.
  Bytes disk(30 * 8 * 512);
  Bytes png(kPngSignature, kPngSignature + 8);
  Chunk(png, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  Chunk(png, "IDAT", Bytes(24 * 512 - 33 - 12, 7));
  Chunk(png, "IEND", {});
  std::memcpy(disk.data(), png.data(), 3 * 512);
  std::memcpy(disk.data() + 24 * 512, png.data() + 24 * 512, 12);
  Bytes decoy;
  Chunk(decoy, "IEND", {1, 2, 3, 4, 5});
  std::memcpy(disk.data() + 32 * 512, decoy.data(), decoy.size());
  Carve carve(disk, 8, 8, 16);
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.PNG:12300"}));
}

TEST(RawSearch, NothingStartsInsideWhatAFileProvesItsOwnAndAFileEndsAtAHeadItDoesNot) {
  using rawsizing::OggPage;
  for (const bool firstCut : {false, true}) {
    SCOPED_TRACE(firstCut ? "first page cut" : "pages whole");
    // Pages of 1,024 bytes at 0 and 1,024, the last of 128 bytes, each at a
    // sector of its own; a BMP header at sector 1, inside the first page.
    // Closed by its third page, the stream is whole and holds the BMP; cut
    // in its first page (which then fails its checksum), it is kept as long
    // as that page says, nothing of it proven: the BMP starting inside it
    // ends it, and its second page is a file of its own.
    Bytes disk(64 * 512, 0x5A);
    PutBmp(disk, 512, 100);
    OggPage(disk, 0, 2, {255, 255, 255, 228});
    OggPage(disk, 1024, 0, {255, 255, 255, 228});
    OggPage(disk, 2048, 4, {100});
    if (firstCut) disk[600] ^= 1;
    Carve carve(disk);
    carve.raw->EndSearch(1);
    const std::vector<std::string> expected =
        firstCut ? std::vector<std::string>{"FILE000.OGG:512", "FILE000.BMP:100", "FILE001.OGG:1152"}
                 : std::vector<std::string>{"FILE000.OGG:2176"};
    EXPECT_EQ(carve.Files(), expected);
  }
}

// A PDF Ghostscript linearized, cut to half, the rest of its sector zeros,
// then the same file whole (the fuzz seed). The whole one's last
// "startxref" points at its first page's cross-reference table, which the
// cut one holds at the same offset; but that end lies past the length the
// cut one's linearization gives, so it is not the cut one's: the cut one
// ends at the whole one's head, and the whole one is carved whole.
TEST(RawSearch, ALinearizedPdfCutShortEndsAtTheHeadOfTheOneBehindIt) {
  Bytes disk = testsupport::ReadFile(testsupport::SourceDir() /
                                     "tests/engine/raw/fuzz/carver/linearized-pdf-cut-in-front-of-a-whole-one");
  ASSERT_GT(disk.size(), 2048u);
  const std::string head(disk.begin(), disk.begin() + 1024);
  ASSERT_NE(head.find("/Linearized"), std::string::npos);
  size_t behind = 512;
  while (behind < disk.size() && std::memcmp(disk.data() + behind, "%PDF-", 5) != 0) behind += 512;
  ASSERT_LT(behind, disk.size());
  const size_t whole = disk.size() - behind;
  disk.resize(disk.size() + 64 * 512, 0);
  Carve carve(disk);
  carve.raw->EndSearch(1);
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.PDF:" + std::to_string(behind),
                                                     "FILE001.PDF:" + std::to_string(whole)}));
}

// A tar of one member of 1,000 bytes whose data are a BMP: of the member's
// length, the BMP is that member; of another length (a file laid where a
// member of an archive cut short began), it ends the archive there.
TEST(RawSearch, APartAStructurePlacesIsItsOwnOnlyAsLongAsThePart) {
  for (const uint32_t bmp : {1000u, 3000u}) {
    SCOPED_TRACE(bmp);
    Bytes disk(64 * 512);
    uint8_t* header = disk.data() + 2 * 512;
    header[0] = 'p';
    std::memcpy(header + 124, "00000001750", 11);
    std::memcpy(header + 257, "ustar", 5);
    PutBmp(disk, 3 * 512, bmp);
    Carve carve(disk);
    carve.raw->EndSearch(1);
    const std::vector<std::string> expected = bmp == 1000
                                                  ? std::vector<std::string>{"FILE000.TAR:10240"}
                                                  : std::vector<std::string>{"FILE000.TAR:512", "FILE000.BMP:3000"};
    EXPECT_EQ(carve.Files(), expected);
  }
}

// An icon's head is four bytes and a few small numbers: pixels of a BMP
// (index 0 around a few 1s) read as a directory of one picture. Where that
// picture is not there, the head is carved beside the BMP, which stays
// whole; a real icon there (a bitmap of one pixel as its directory says)
// ends the BMP, cut in front of it.
TEST(RawSearch, AnIconHeadWhosePictureIsNotThereEndsNothing) {
  for (const bool real : {false, true}) {
    SCOPED_TRACE(real ? "an icon" : "pixels");
    Bytes disk(64 * 512);
    PutBmp(disk, 512, 8000);
    uint8_t* icon = disk.data() + 6 * 512;
    const uint8_t head[] = {0, 0, 1, 0, 1, 0};
    std::memcpy(icon, head, sizeof head);
    icon[40] = 1;  // more pixels
    if (real) {
      // One entry of 1 by 1 pixels, 56 bytes at 22: a 40-byte header (twice
      // the height for the mask), two colours, a row of pixels, a row of mask.
      const uint8_t entry[] = {1, 1, 0, 0, 1, 0, 1, 0, 56, 0, 0, 0, 22, 0, 0, 0};
      std::memcpy(icon + 6, entry, sizeof entry);
      const uint8_t bitmap[] = {40, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 0};
      std::memcpy(icon + 22, bitmap, sizeof bitmap);
    }
    Carve carve(disk);
    carve.raw->EndSearch(1);
    const std::vector<std::string> expected = real ? std::vector<std::string>{"FILE000.BMP:2560", "FILE000.ICO:78"}
                                                   : std::vector<std::string>{"FILE000.ICO:22", "FILE000.BMP:8000"};
    EXPECT_EQ(carve.Files(), expected);
  }
}

// A motion-JPEG film without an index, its second frame at a sector
// boundary: its stream data walked chunk by chunk to the end of their list
// show every frame but the last its own, so the film stays whole and its
// frame is not carved again.
TEST(RawSearch, AFilmWithoutAnIndexHoldsItsFramesBeforeTheLast) {
  Bytes frame = Jpeg(Plain(300));
  frame.insert(frame.end(), {0xFF, 0xD9});
  auto chunk = [](Bytes& avi, const char* id, const Bytes& data) {
    avi.insert(avi.end(), id, id + 4);
    const uint32_t n = static_cast<uint32_t>(data.size());
    avi.insert(avi.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    avi.insert(avi.end(), data.begin(), data.end());
    if (n % 2 != 0) avi.push_back(0);
  };
  Bytes header(4 + 8 + 56, 0);  // "hdrl" and a main header
  std::memcpy(header.data(), "hdrlavih", 8);
  header[8] = 56;
  Bytes frames(4, 0);
  std::memcpy(frames.data(), "movi", 4);
  chunk(frames, "00dc", Plain(396));  // the next frame's data at 512
  chunk(frames, "00dc", frame);
  chunk(frames, "00dc", Plain(600));
  Bytes avi(4, 0);
  std::memcpy(avi.data(), "AVI ", 4);
  chunk(avi, "LIST", header);
  chunk(avi, "LIST", frames);
  Bytes riff;
  chunk(riff, "RIFF", avi);
  ASSERT_EQ(std::memcmp(riff.data() + 512, frame.data(), 4), 0);
  Bytes disk(64 * 512);
  std::memcpy(disk.data() + 2 * 512, riff.data(), riff.size());
  Carve carve(disk);
  carve.raw->EndSearch(1);
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.AVI:" + std::to_string(riff.size())}));
}

// A database header that counts more pages than the device holds: it is
// not sized whole, so the files after it on the device are still found.
TEST(RawSearch, AWholeSizeClaimedPastTheDeviceHidesNothing) {
  Bytes disk(64 * 512);
  const uint8_t sqlite[] = {'S',  'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't',  ' ',  '3',  0,
                            0x10, 0,   1,   1,   0,   64,  32,  32,  0,   0,   0,   0,   0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(disk.data(), sqlite, sizeof sqlite);
  PutBmp(disk, 8 * 512, 100);
  Carve carve(disk);
  carve.raw->EndSearch(1);
  const std::vector<std::string> files = carve.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[1], "FILE000.BMP:100");
}

// Blocks lent in place carve what the carver's own reads carve: signatures
// in a block's last sectors (looked at in a copy with zeros behind, as a
// block read into the carver's buffer has), right before them, and across
// blocks; a block the device will not lend is read as before. The lent bytes
// are read-only: a write would fault.
TEST(RawSearch, ALentBlockCarvesWhatTheCarversOwnReadsCarve) {
  // 24 blocks: the first files are sized from the ring of 20 blocks.
  Bytes disk(24 * 16 * 512, 0x5A);
  for (const size_t sector : {11, 12, 31, 70, 383}) PutBmp(disk, sector * 512, 700);
  Bytes png(kPngSignature, kPngSignature + 8);
  Chunk(png, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  Chunk(png, "IDAT", Bytes(3000, 9));
  Chunk(png, "IEND", {});
  std::memcpy(disk.data() + 15 * 512, png.data(), png.size());
  rawsizing::OggPage(disk, 47 * 512, 2, {255, 255, 255, 228});
  rawsizing::OggPage(disk, 47 * 512 + 1024, 4, {100});
  // Matroska headers (sized by their segment) in blocks' last sectors.
  const uint8_t mkv[] = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x86, 0x81, 0x01, 0x18, 0x53,
                         0x80, 0x67, 0x01, 0,    0,    0,    0,    0,    0x10, 0};
  std::memcpy(disk.data() + 63 * 512, mkv, sizeof mkv);
  std::memcpy(disk.data() + 95 * 512, mkv, sizeof mkv);
  Carve own(disk, 16);
  own.raw->EndSearch(1);
  ASSERT_EQ(own.Files().size(), 9u);
  // A block with a sector a failing medium could not give is still looked
  // at, read around it (sector 25, in no file).
  for (const std::set<int64_t>& refused : {std::set<int64_t>{}, std::set<int64_t>{20, 64}, std::set<int64_t>{25}}) {
    testsupport::LendingDevice lender(disk);
    lender.refused = refused;
    if (refused.size() == 1) lender.lost = refused;
    Carve lent(lender, 16);
    lent.raw->EndSearch(1);
    EXPECT_EQ(lent.Files(), own.Files()) << refused.size() << " blocks refused";
    EXPECT_EQ(lender.borrows, 24 - static_cast<int>(refused.size()));
  }
}

// The ring (20 blocks of 1 MiB here) and the block buffer go when the pass
// ends, also when a stop skips EndSearch: nothing reads them afterwards.
TEST(RawSearch, TheRingAndTheBlockBufferGoWhenThePassEnds) {
  Bytes disk(4 * 2048 * 512, 0x5A);
  PutBmp(disk, 100 * 512, 700);
  for (const bool stopped : {true, false}) {
    SCOPED_TRACE(stopped ? "stopped" : "run to its end");
    const int64_t before = testsupport::HeapInUse();
    testsupport::BytesDevice device(disk.data(), disk.size());
    testsupport::RecordingBuilder builder;
    ICompleteFileSystemSearchController* raw = CreateRAWSearcher();
    raw->SetDevice(&device);
    raw->SetBlockSize(2048);
    raw->SetDirecotryTreeBuilder(&builder);
    raw->PreparetoSearch();
    for (int64_t first = 0; first < device.GetTotalSectors(); first += 2048) raw->AnalyzeBlock(first, 2048);
    const int64_t during = testsupport::HeapInUse();
    if (stopped) {
      raw->EndBlockPass();
    } else {
      raw->EndSearch(1);
    }
    const int64_t after = testsupport::HeapInUse();
    EXPECT_EQ(builder.added.size(), 2u) << "the folder and the picture";
    delete raw;
    if (before < 0) continue;  // a sanitizer keeps the books
    EXPECT_GT(during - before, 21 << 20);
    EXPECT_LT(after - before, 1 << 20);
  }
}

// A file's head at every 4 KiB of the first half of 8 MiB of foreign
// bytes; `ended`, its end at `at` in the last 4 KiB, whose first sector's
// last `zeros` bytes are zero.
struct Heads {
  std::string head;
  const char* ext;
  std::string end;
  size_t at = 100;
  size_t zeros = 0;
  static constexpr size_t kDisk = 8 << 20, kCount = kDisk / 2 / 4096, kEndSector = kDisk - 4096;
  std::unique_ptr<Carve> Carved(bool ended) const {
    Bytes disk(kDisk, 0x5A);
    for (size_t i = 0; i < kCount; ++i) std::memcpy(disk.data() + i * 4096, head.data(), head.size());
    if (ended) {
      std::memcpy(disk.data() + kEndSector + at, end.data(), end.size());
      std::memset(disk.data() + kEndSector + 512 - zeros, 0, zeros);
    }
    auto carve = std::make_unique<Carve>(disk, 2048);
    carve->raw->EndSearch(1);
    return carve;
  }
};

// Heads of one type one after the other, none with its end (every bzip2
// stream of level 1 starts as a compressed disk image does): each search for
// the end goes on from where the last one stopped instead of reading the
// device again. An end mark proves nothing of the bytes before it (another
// file's reads the same), so each file ends where the next head begins;
// the last one runs to the device's end, or to an end whose own pointers
// (the image's property list, the PDF's cross-reference table) count from
// its start, which makes it whole.
TEST(RawSearch, EndSearchesOfHeadsThatFollowEachOtherReadTheDeviceOnce) {
  constexpr size_t kLast = (Heads::kCount - 1) * 4096;
  // The property list, then the trailer that gives where it lies.
  std::string image = "<?xml" + std::string(95, ' ') + std::string("koly\0\0\0\x04\0\0\x02\0", 12);
  image.resize(100 + 512, '\0');
  auto be64 = [&image](size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) image[100 + at + i] = static_cast<char>(v >> (56 - 8 * i));
  };
  be64(32, Heads::kEndSector - kLast);   // the data fork, from the image's start
  be64(216, Heads::kEndSector - kLast);  // the property list
  be64(224, 100);
  const std::string pdf =
      "xref\n0 1\ntrailer\n<<>>\nstartxref\n" + std::to_string(Heads::kEndSector - kLast) + "\n%%EOF";
  struct Kind {
    Heads heads;
    size_t tail;  // bytes of the last file from its end's first byte on
  };
  const Kind kinds[] = {{{"BZh11AY&SY", "DMG", image, 0}, 100 + 512}, {{"%PDF-1.4\n", "PDF", pdf, 0}, pdf.size()}};
  for (const Kind& kind : kinds) {
    const char* ext = kind.heads.ext;
    for (const bool ended : {false, true}) {
      SCOPED_TRACE(std::string(ext) + (ended ? " ended near the device's end" : " without an end"));
      const std::unique_ptr<Carve> carve = kind.heads.Carved(ended);
      const std::vector<std::string> files = carve->Files();
      ASSERT_EQ(files.size(), Heads::kCount);
      EXPECT_EQ(files.front(), std::string("FILE000.") + ext + ":4096");
      EXPECT_EQ(files.back(), "FILE1023." + std::string(ext) + ":" +
                                  std::to_string((ended ? Heads::kEndSector + kind.tail : Heads::kDisk) - kLast));
      // The device about once, and a few windows at each head (its own, and
      // where the end it met points).
      EXPECT_LT(carve->owned->sectorsRead,
                static_cast<int64_t>(3 * Heads::kDisk / 512 + 3 * Heads::kCount * (RawFileBuffer::kWindowSectors + 1)));
    }
  }
}

// The same for the end searches that hang on where the file starts: a count
// of nested sections or groups, or a search whose first sector is looked at
// otherwise. Each file ends where the next head begins, but an RTF text,
// which another one's head cuts off, and gzip data that break off at once;
// the last one at its end or the device's. Each read all of the device's
// other half for each head.
TEST(RawSearch, EndSearchesThatHangOnTheFileStartReadTheDeviceAFewTimes) {
  struct Kind {
    Heads heads;
    size_t fileEnd;  // where the last file ends, from the end's sector
    size_t own = 0;  // else each file's own size, but the last one's
    // Whether its searches read again what the last one read: once they
    // have read twice the device, the last one may be refused its end.
    bool budgeted = false;
  };
  constexpr size_t kUnended = SIZE_MAX;  // the end does not end them
  const std::string fh11 =
      std::string("\x1C\x01\0\0\x02\0\x04\x1C\x01\x14\0\x02\0\x14\x1C\x01", 16) + std::string(18, 'Z') + "11";
  const Kind kinds[] = {
      {{"%!PS-Adobe-3.0 EPSF-3.0\n", "EPS", "%%EOF"}, 105, 0, true},
      {{"{\\rtf1", "RTF", std::string(1, '\0')}, 100, 4096},
      {{"FOVb", "X3F", "SECd", 508}, 584},
      {{std::string("II\x1a\0\0\0HEAPCCDR\x02", 15), "CRW", std::string("\x07\x28\xA8\0\0\0", 6), 100, 4}, 170},
      {{fh11, "FH11", std::string("Decode\0\xFF\xFF\xFF\xFF", 11), 100, 2}, 120},
      {{"  0\r\nSECTION\r\n  2\r\nHEADER\r\n", "DXF", "EOF\r\n", 100, 2}, 105},
      // Deflate data of a reserved block type: they break off at once.
      {{std::string("\x1F\x8B\x08\0\0\0\0\0\0\x03\x06", 11), "GZ", "", 0, 8}, 0, 11},
      // A name that never ends.
      {{std::string("\x1F\x8B\x08\x08\x5A\x5A\x5A\x5A\x02\x03", 10), "GZ", ""}, kUnended},
      // A stored block from each head over the next one's.
      {{std::string("\x1F\x8B\x08\0\0\0\0\0\0\x03\0\xFB\x0F\x04\xF0", 15), "GZ", "", 0, 8}, 512},
  };
  constexpr size_t kLast = (Heads::kCount - 1) * 4096;
  for (const Kind& kind : kinds) {
    const std::string ext = kind.heads.ext;
    for (const bool ended : {false, true}) {
      SCOPED_TRACE(ext + (ended ? " ended near the device's end" : " without an end"));
      const std::unique_ptr<Carve> carve = kind.heads.Carved(ended);
      const std::vector<std::string> files = carve->Files();
      auto size = [](const std::string& file) { return std::stoull(file.substr(file.rfind(':') + 1)); };
      ASSERT_EQ(files.size(), Heads::kCount);
      // (A gzip name is the files' names.)
      EXPECT_EQ(size(files.front()), kind.own != 0 ? kind.own : 4096);
      if (kind.own == 0 || kind.fileEnd != 0) {
        // The last one runs on to its end, or to the device's.
        const bool reached = ended && kind.fileEnd != kUnended;
        const size_t last = size(files.back()) + kLast;
        if (!kind.budgeted || last != Heads::kDisk) {
          EXPECT_LE(last, reached ? Heads::kEndSector + kind.fileEnd : Heads::kDisk);
          EXPECT_GE(last, reached ? Heads::kEndSector + kind.fileEnd : Heads::kDisk - 512);
        }
      }
      // The device a few times (EPS and gzip read again up to twice), and a
      // window or two at each head.
      EXPECT_LT(carve->owned->sectorsRead,
                static_cast<int64_t>(4 * Heads::kDisk / 512 + 2 * Heads::kCount * (RawFileBuffer::kWindowSectors + 1)));
    }
  }
}

TEST(RawSearch, HostileLengthsEndTheWalksInsideTheDevice) {
  Bytes disk(64 * 512);
  // A PSP block whose length would wrap a 32-bit position back onto itself.
  const char psp[] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
  std::memcpy(disk.data(), psp, 32);
  const uint8_t block[] = {0x7E, 'B', 'K', 0, 0, 0, 0xF6, 0xFF, 0xFF, 0xFF};
  std::memcpy(disk.data() + 36, block, sizeof block);
  // A raw PSD whose pixel count overflows 64 bits.
  const uint8_t psd[] = {'8',  'B',  'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 56, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0,   32,  0, 3, 0, 0, 0, 0, 0, 0, 0, 0,  0,    0,    0,    0,    0,    0};
  std::memcpy(disk.data() + 16 * 512, psd, sizeof psd);
  Carve carve(disk);
  carve.raw->EndSearch(1);
  EXPECT_EQ(carve.Files(), (std::vector<std::string>{"FILE000.PSP:" + std::to_string(disk.size())}));
}

TEST(RawHeaders, EdgesOfTheHeaderTests) {
  Bytes sector(512);
  CRawFileInfo info;
  FileBMPAnalyser bmp;
  PutBmp(sector, 0, 100);
  EXPECT_EQ(bmp.AnalyseBuffer(sector.data(), info), 1u);
  sector[14] = 124;
  EXPECT_EQ(bmp.AnalyseBuffer(sector.data(), info), 1u);
  sector[14] = 108;  // version 4 headers are not taken
  EXPECT_EQ(bmp.AnalyseBuffer(sector.data(), info), 0u);

  FileICOAnalyser ico;
  Bytes icon(512);
  icon[2] = 2;  // a cursor
  icon[4] = 16;
  for (int i = 0; i < 16; ++i) icon[6 + 16 * i + 8] = 10;
  CRawFileInfo cursor;
  ASSERT_EQ(ico.AnalyseBuffer(icon.data(), cursor), 1u);
  EXPECT_EQ(cursor.m_type, RAW_TYPE_CUR);
  testsupport::BytesDevice icons(icon.data(), icon.size());
  ASSERT_EQ(ico.GetRawFileSize(cursor, &icons), 1u);
  EXPECT_EQ(cursor.m_size, 6u + 16 * (10 + 16));
  // Its entries name no pictures (no offsets past the directory, zeros
  // where a bitmap's header would be): its end is not vouched for.
  EXPECT_TRUE(cursor.m_endUnknown);
  icon[4] = 17;
  EXPECT_EQ(ico.AnalyseBuffer(icon.data(), info), 0u);

  // A placeable metafile header; its checksum is the XOR of the words
  // before it. The metafile's own size left 0, as some writers leave it: the
  // records, walked to the end record, size it.
  FileWMFAnalyser wmf;
  Bytes meta(2048);
  const uint8_t head[] = {0xD7, 0xCD, 0xC6, 0x9A, 0, 0, 0, 0, 0, 0, 0x40, 1, 0xF0, 0, 0xA0, 5};
  std::memcpy(meta.data(), head, sizeof head);
  uint16_t sum = 0;
  for (int i = 0; i < 10; ++i) sum ^= static_cast<uint16_t>(meta[2 * i] | (meta[2 * i + 1] << 8));
  meta[20] = static_cast<uint8_t>(sum);
  meta[21] = static_cast<uint8_t>(sum >> 8);
  const uint8_t record[] = {1, 0, 9, 0, 0, 3, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0, 0, 0};
  std::memcpy(meta.data() + 22, record, sizeof record);
  // Records of 5, 200 and 3 words, the last the end record.
  const size_t records[][2] = {{5, 0x0103}, {200, 0x0B41}, {3, 0}};
  size_t at = 40;
  for (const auto& [words, function] : records) {
    meta[at] = static_cast<uint8_t>(words);
    meta[at + 4] = static_cast<uint8_t>(function);
    meta[at + 5] = static_cast<uint8_t>(function >> 8);
    at += 2 * words;
  }
  CRawFileInfo walked;
  ASSERT_EQ(wmf.AnalyseBuffer(meta.data(), walked), 1u);
  EXPECT_EQ(walked.m_size, 0u);
  testsupport::BytesDevice device(meta.data(), meta.size());
  ASSERT_EQ(wmf.GetRawFileSize(walked, &device), 1u);
  EXPECT_EQ(walked.m_size, at);
  EXPECT_FALSE(walked.m_endUnknown);
  // Cut in its second record, before its end record: the file ends before
  // the record the walk lost its way behind, its end not known. A record
  // larger than the header's largest loses the walk too: behind the first
  // record, that one is kept as long as it says.
  std::memset(meta.data() + 100, 0, meta.size() - 100);
  CRawFileInfo cut;
  ASSERT_EQ(wmf.GetRawFileSize(cut, &device), 1u);
  EXPECT_EQ(cut.m_size, 50u);
  EXPECT_TRUE(cut.m_endUnknown);
  meta[51] = 1;  // 256 + 200 words
  ASSERT_EQ(wmf.GetRawFileSize(cut, &device), 1u);
  EXPECT_EQ(cut.m_size, 50u);
  EXPECT_FALSE(cut.m_whole);
  meta[20] ^= 1;
  EXPECT_EQ(wmf.AnalyseBuffer(meta.data(), info), 0u);
}

// The sizing of `analyser` on `file` (zeros behind it) when its first
// sector matches.
rawsizing::Sized Sizing(IRawFileAnalyser& analyser, const Bytes& file) {
  const rawsizing::Sized sized = rawsizing::Size(analyser, rawsizing::Disk(file, 4096));
  EXPECT_TRUE(sized.matched);
  EXPECT_EQ(sized.answer, 1u);
  return sized;
}

void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(RawHeaders, MetafileRecordsEndWithTheEndRecordWhereTheHeaderSays) {
  FileEMFAnalyser emf;
  // The header record (108 bytes) and the end record (20 bytes, repeating
  // its length in its last word).
  Bytes file(128, 0);
  PutLe32(file, 0, 1);
  PutLe32(file, 4, 108);
  std::memcpy(file.data() + 40, " EMF", 4);
  PutLe32(file, 48, 128);
  PutLe32(file, 108, 14);
  PutLe32(file, 112, 20);
  PutLe32(file, 120, 16);
  PutLe32(file, 124, 20);
  const rawsizing::Sized whole = Sizing(emf, file);
  EXPECT_EQ(whole.size, 128u);
  EXPECT_FALSE(whole.endUnknown);
  EXPECT_EQ(whole.proven, 128u);
  Bytes last = file;
  PutLe32(last, 124, 0);  // the end record's last word lost
  EXPECT_TRUE(Sizing(emf, last).endUnknown);
  EXPECT_EQ(Sizing(emf, last).proven, 0u);
  Bytes empty = file;
  PutLe32(empty, 4, 0);  // a record of no length: the walk stops
  EXPECT_TRUE(Sizing(emf, empty).endUnknown);
  Bytes longer = file;
  PutLe32(longer, 48, 0xFFFFFFF0u);  // more than the records hold
  const rawsizing::Sized claimed = Sizing(emf, longer);
  EXPECT_EQ(claimed.size, 0xFFFFFFF0u);
  EXPECT_TRUE(claimed.endUnknown);
}

// An enhanced metafile of 2,048 bytes whose comment record holds a BMP
// header at a sector boundary: with its end record where its header says,
// its records prove every byte its own and the BMP is no file; with that
// record lost (a metafile cut short, a BMP laid behind it), nothing proves
// the sector its own, and the metafile ends at the BMP, which is carved.
TEST(RawSearch, ACheckThatHoldsProvesTheFileAndOneThatFailsEndsItAtTheNextHead) {
  for (const bool ended : {true, false}) {
    SCOPED_TRACE(ended ? "with its end record" : "its end record lost");
    constexpr size_t kAt = 4 * 512;
    Bytes file(2048, 0);
    PutLe32(file, 0, 1);  // the header record
    PutLe32(file, 4, 108);
    std::memcpy(file.data() + 40, " EMF", 4);
    PutLe32(file, 48, 2048);
    PutLe32(file, 108, 70);  // a comment record up to the end record
    PutLe32(file, 112, 2048 - 20 - 108);
    PutLe32(file, 2028, 14);  // the end record
    PutLe32(file, 2032, 20);
    PutLe32(file, 2044, ended ? 20 : 0);
    Bytes disk(64 * 512);
    std::copy(file.begin(), file.end(), disk.begin() + kAt);
    PutBmp(disk, kAt + 512, 1000);
    Carve carve(disk);
    carve.raw->EndSearch(1);
    const std::vector<std::string> expected = ended ? std::vector<std::string>{"FILE000.EMF:2048"}
                                                    : std::vector<std::string>{"FILE000.EMF:512", "FILE000.BMP:1000"};
    EXPECT_EQ(carve.Files(), expected);
  }
}

// Enhanced metafile heads one behind the other, each a header record as
// long as the 4,096 bytes up to the next one and claiming the device up to
// its end, none with an end record: each head's walk goes on over the
// records of all the heads behind it. The walks share a budget: the device
// is read a few times, not once for each head.
TEST(RawSearch, MetafileWalksOfHeadsThatFollowEachOtherReadTheDeviceAFewTimes) {
  constexpr size_t kDisk = 8 << 20, kCount = kDisk / 2 / 4096;
  Bytes disk(kDisk, 0x5A);
  for (size_t i = 0; i < kCount; ++i) {
    const size_t at = i * 4096;
    PutLe32(disk, at, 1);
    PutLe32(disk, at + 4, 4096);
    std::memcpy(disk.data() + at + 40, " EMF", 4);
    PutLe32(disk, at + 48, static_cast<uint32_t>(kDisk - at));
    std::memset(disk.data() + at + 52, 0, 8);
  }
  Carve carve(disk, 2048);
  carve.raw->EndSearch(1);
  const std::vector<std::string> files = carve.Files();
  ASSERT_EQ(files.size(), kCount);
  EXPECT_EQ(files.front(), "FILE000.EMF:4096");  // ended at the next head
  // The device a few times, and a window at each head.
  EXPECT_LT(carve.owned->sectorsRead,
            static_cast<int64_t>(3 * kDisk / 512 + kCount * (RawFileBuffer::kWindowSectors + 1)));
}

TEST(RawHeaders, PhotoshopRowsUnpackToTheirWidth) {
  FilePSDAnalyser psd;
  // One channel of two rows of four pixels, packed: four literal bytes,
  // then one byte repeated four times.
  Bytes file(26 + 12, 0);
  std::memcpy(file.data(), "8BPS\0\1", 6);
  file[13] = 1, file[17] = 2, file[21] = 4, file[23] = 8;
  file.insert(file.end(), {0, 1, 0, 5, 0, 2, 3, 'a', 'b', 'c', 'd', 0xFD, 'e'});
  const rawsizing::Sized whole = Sizing(psd, file);
  EXPECT_EQ(whole.size, file.size());
  EXPECT_FALSE(whole.endUnknown);
  EXPECT_EQ(whole.proven, file.size());
  Bytes over = file;
  over[38 + 6] = 4;  // five literal bytes in a row of four
  EXPECT_TRUE(Sizing(psd, over).endUnknown);
  EXPECT_EQ(Sizing(psd, over).proven, 40u);  // its sections and its compression method
  Bytes counted = file;
  counted[38 + 2 + 1] = 4;  // a count shorter than its row
  EXPECT_TRUE(Sizing(psd, counted).endUnknown);
}

}  // namespace
