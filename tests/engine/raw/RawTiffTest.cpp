// The TIFF and camera-raw analyser: directories that loop, lie or point far
// away end the walk inside the file; strips, tiles and maker notes that lie
// anywhere reach the file's end; the camera samples of the shared fixtures
// folder are typed, named and sized from their own structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "raw/FileTIFAnalyser.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using TiffEntry = std::array<uint32_t, 4>;  // tag, type, count, value

// A TIFF laid out by hand in either byte order.
struct Tiff {
  bool big = false;
  Bytes bytes;
  explicit Tiff(bool bigEndian, size_t size = 4096) : big(bigEndian), bytes(size, 0) {
    std::memcpy(bytes.data(), big ? "MM\0*" : "II*\0", 4);
  }
  void U16(size_t at, uint32_t v) {
    if (bytes.size() < at + 2) bytes.resize(at + 2, 0);
    bytes[at + (big ? 0 : 1)] = uint8_t(v >> 8);
    bytes[at + (big ? 1 : 0)] = uint8_t(v);
  }
  void U32(size_t at, uint32_t v) {
    if (bytes.size() < at + 4) bytes.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i) bytes[at + (big ? i : 3 - i)] = uint8_t(v >> (24 - 8 * i));
  }
  void First(uint32_t at) { U32(4, at); }
  // A directory at `at`; SHORT values of count 1 go in the value field's
  // first two bytes.
  void Ifd(size_t at, const std::vector<TiffEntry>& entries, uint32_t next = 0) {
    U16(at, static_cast<uint32_t>(entries.size()));
    size_t e = at + 2;
    for (const auto& [tag, type, count, value] : entries) {
      U16(e, tag);
      U16(e + 2, type);
      U32(e + 4, count);
      if (type == 3 && count == 1)
        U16(e + 8, value);
      else
        U32(e + 8, value);
      e += 12;
    }
    U32(e, next);
  }
};

struct Sized {
  uint32_t answer;
  CRawFileInfo info;
};

// Sector 0 through the analyser, then its sizing over the bytes followed by
// `tail` bytes (zeros, or random).
Sized Carve(FileTIFAnalyser& tif, Bytes disk, size_t tail = 8192, bool random = false) {
  std::mt19937 rng(3);
  const size_t end = (disk.size() + 511) / 512 * 512 + tail;
  while (disk.size() < end) disk.push_back(random ? uint8_t(rng()) : 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  Sized out{};
  out.answer = tif.AnalyseBuffer(disk.data(), out.info);
  if (out.answer != 0) out.answer = tif.GetRawFileSize(out.info, &device);
  return out;
}

TEST(RawTiff, DirectoriesThatLoopOrLieEndTheWalkInsideTheFile) {
  FileTIFAnalyser tif;
  // Its next directory is itself; its EXIF directory is the first one.
  Tiff loop(false);
  loop.First(8);
  loop.Ifd(8, {{256, 3, 1, 16}, {273, 4, 1, 200}, {279, 4, 1, 100}, {34665, 4, 1, 8}}, 8);
  const Sized looped = Carve(tif, loop.bytes);
  ASSERT_EQ(looped.answer, 1u);
  EXPECT_EQ(looped.info.m_size, 300u);
  // Strip arrays of four billion elements, a strip far beyond any file and
  // out-of-line data past the end of the address space: bounded, ignored.
  Tiff lying(true);
  lying.First(8);
  lying.Ifd(8, {{273, 4, 0xFFFFFFFF, 1000},
                {279, 4, 0xFFFFFFFF, 2000},
                {305, 2, 0xFFFFFFF0, 0xFFFFFFF0},
                {320, 3, 2, 0x7F000000}});
  const Sized lied = Carve(tif, lying.bytes, 1 << 16);
  ASSERT_EQ(lied.answer, 1u);
  EXPECT_EQ(lied.info.m_size, 8u + 2 + 4 * 12 + 4);
  // A first directory of unknown value types is no TIFF.
  Tiff garbage(false);
  garbage.First(8);
  garbage.Ifd(8, {{256, 3, 1, 16}, {257, 99, 1, 16}});
  CRawFileInfo info;
  EXPECT_EQ(tif.AnalyseBuffer(garbage.bytes.data(), info), 0u);
  garbage.First(600);  // beyond the sector: judged when sized
  garbage.Ifd(600, {{256, 3, 1, 16}, {257, 99, 1, 16}});
  EXPECT_EQ(Carve(tif, garbage.bytes).answer, 0u);
}

// A TIFF header on a device of 1.25 GiB that holds `bytes` first and zeros
// behind them; it counts the sectors the walk reads.
class FarTiffDevice : public testsupport::StubDevice {
 public:
  explicit FarTiffDevice(const Bytes& bytes) : bytes_(bytes) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, static_cast<size_t>(count) * 512);
    const uint64_t from = uint64_t(first) * 512, to = from + uint64_t(count) * 512;
    if (from < bytes_.size()) std::memcpy(out, bytes_.data() + from, std::min<uint64_t>(to, bytes_.size()) - from);
    read_ += uint64_t(count);
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return int64_t{0x50000000} / 512; }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  uint64_t SectorsRead() const { return read_; }

 private:
  const Bytes& bytes_;
  uint64_t read_ = 0;
};

// Offsets that a walk reading them in turn finds never in the window it
// read last: a low one and a high one by turns.
uint32_t Far(uint32_t i) { return (i % 2 == 0 ? 0x01000000u : 0x28000000u) + (i / 2) * 0x1000u; }

TEST(RawTiff, HostileOffsetsCostAFewWindowsNotTheWholeDeviceOverAndOver) {
  // Strip offsets and byte counts in two arrays far apart, 65536 each.
  Tiff strips(false, 1024);
  strips.First(8);
  strips.Ifd(8, {{273, 4, 65536, 0x01000000}, {279, 4, 65536, 0x30000000}});
  // 512 sub-directory lists of 512 directories each, every one of them
  // empty and far from the one before.
  Tiff subs(false, 8192 + 512 * 2048);
  subs.First(8);
  std::vector<TiffEntry> lists;
  for (uint32_t k = 0; k < 512; ++k) lists.push_back({330, 4, 512, 8192 + k * 2048});
  subs.Ifd(8, lists);
  for (uint32_t k = 0; k < 512; ++k) {
    for (uint32_t i = 0; i < 512; ++i) subs.U32(8192 + k * 2048 + 4 * i, Far(k * 512 + i));
  }
  for (const Tiff* tiff : {&strips, &subs}) {
    FarTiffDevice device(tiff->bytes);
    FileTIFAnalyser tif;
    CRawFileInfo info;
    ASSERT_EQ(tif.AnalyseBuffer(const_cast<uint8_t*>(tiff->bytes.data()), info), 1u);
    ASSERT_EQ(tif.GetRawFileSize(info, &device), 1u);
    EXPECT_LT(device.SectorsRead() * 512, uint64_t{256} << 20);
  }
}

TEST(RawTiff, StripsTilesAndMakerNotesReachTheEndWhereverTheyLie) {
  FileTIFAnalyser tif;
  // Three strips, the furthest listed first; the directory at the start.
  Tiff strips(false, 8192);
  strips.First(8);
  strips.Ifd(8, {{273, 4, 3, 100}, {279, 3, 3, 120}});
  for (const auto& [at, v] : {std::pair{100u, 6000u}, {104u, 1000u}, {108u, 2000u}}) strips.U32(at, v);
  for (const auto& [at, v] : {std::pair{120u, 1500u}, {122u, 500u}, {124u, 500u}}) strips.U16(at, v);
  EXPECT_EQ(Carve(tif, strips.bytes).info.m_size, 7500u);
  // Tiles.
  Tiff tiles(true, 8192);
  tiles.First(8);
  tiles.Ifd(8, {{324, 4, 2, 100}, {325, 4, 2, 108}});
  for (const auto& [at, v] : {std::pair{100u, 200u}, {104u, 5000u}, {108u, 300u}, {112u, 2345u}}) tiles.U32(at, v);
  EXPECT_EQ(Carve(tif, tiles.bytes).info.m_size, 7345u);
  // A maker note with a TIFF header of its own, whose preview directory's
  // picture lies furthest: its offsets count from that header.
  Tiff note(true, 8192);
  note.First(8);
  note.Ifd(8, {{271, 2, 6, 100}, {34665, 4, 1, 200}});
  std::memcpy(note.bytes.data() + 100, "NIKON", 6);
  note.Ifd(200, {{37500, 7, 64, 300}});
  std::memcpy(note.bytes.data() + 300, "Nikon\0\2\0\0\0MM\0*", 14);
  note.U32(314, 8);                     // its first directory, 8 from its header at 310
  note.Ifd(318, {{0x0011, 4, 1, 40}});  // the preview directory, 40 from the header
  note.Ifd(350, {{513, 4, 1, 6000}, {514, 4, 1, 1200}});
  const Sized carved = Carve(tif, note.bytes);
  ASSERT_EQ(carved.answer, 1u);
  EXPECT_EQ(carved.info.m_size, 310u + 6000 + 1200);
  EXPECT_EQ(carved.info.m_type, RAW_TYPE_NEF);
}

TEST(RawTiff, TypesTheHeadersAndMakesTheFixturesCannotShow) {
  // RW2 headers from makers and models that no TIFF writer here produces.
  EXPECT_EQ(FileTIFAnalyser::TypeFromMake("Panasonic", "DMC-GH1", false, true), RAW_TYPE_RW2);
  EXPECT_EQ(FileTIFAnalyser::TypeFromMake("Panasonic", "LX100", false, true), RAW_TYPE_RAW);
  EXPECT_EQ(FileTIFAnalyser::TypeFromMake("LEICA", "D-LUX 4", false, true), RAW_TYPE_RAW);
  EXPECT_EQ(FileTIFAnalyser::TypeFromMake("LEICA", "M9", false, false), RAW_TYPE_TIF);
  EXPECT_EQ(FileTIFAnalyser::TypeFromMake("NIKON", "D3", true, false), RAW_TYPE_DNG);
  // A RAF whose header points beyond any file is not sized.
  FileTIFAnalyser tif;
  Bytes raf(512, 0);
  std::memcpy(raf.data(), "FUJIFILMCCD-RAW 0201", 20);
  raf[84] = 0x7F;
  EXPECT_EQ(Carve(tif, raf).answer, 0u);
  std::memcpy(raf.data() + 4, "FILMCCD-RAX ", 12);
  CRawFileInfo info;
  EXPECT_EQ(tif.AnalyseBuffer(raf.data(), info), 0u);
}

Bytes Sample(const char* name) {
  std::ifstream in(testsupport::SharedFixturesDir() / "carve" / name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

// Stripped camera files, as published: what their structures say.
TEST(RawTiff, CameraSamplesAreTypedNamedAndSizedFromTheirStructures) {
  const Bytes cr2 = Sample("cr2/CanonRaw.cr2"), rw2 = Sample("rw2/Panasonic.rw2"), raf = Sample("raf/FujiFilm.raf");
  REQUIRE_OR_SKIP(!cr2.empty() && !rw2.empty() && !raf.empty(), "no camera samples in the shared fixtures folder");
  FileTIFAnalyser tif;
  // Behind its last strip the CR2 sample holds 18 bytes no directory points
  // at: taken where the rest of the sector is zero, not where it is not.
  const Sized zeros = Carve(tif, cr2);
  EXPECT_EQ(zeros.info.m_size, cr2.size());
  EXPECT_EQ(zeros.info.m_type, RAW_TYPE_CR2);
  EXPECT_EQ(zeros.info.m_namePrefix, "Canon EOS 350D DIGITAL");
  EXPECT_EQ(zeros.info.m_timeText, "2005:08:03 18:59:18");
  EXPECT_EQ(Carve(tif, cr2, 8192, true).info.m_size, cr2.size() - 18);
  // The RW2 sample's raw data was cut away; its header still says where it
  // starts and how long it is.
  const Sized panasonic = Carve(tif, rw2, 1 << 16);
  EXPECT_EQ(panasonic.info.m_type, RAW_TYPE_RW2);
  EXPECT_EQ(panasonic.info.m_namePrefix, "DMC-LX3");
  EXPECT_EQ(panasonic.info.m_size, 12322u + 20511792u);
  // RAF: named from the EXIF block of the JPEG picture it holds.
  const Sized fuji = Carve(tif, raf, 8192, true);
  EXPECT_EQ(fuji.info.m_type, RAW_TYPE_RAF);
  EXPECT_EQ(fuji.info.m_size, raf.size());
  EXPECT_EQ(fuji.info.m_namePrefix, "FinePix S5Pro");
  RAW_FILE_TAG tag;
  std::string model;
  EXPECT_EQ(tif.GetRawFileTagAndValue(tag, model), 1);
  EXPECT_EQ(tag, RAW_FILE_TAG_MODEL);
}

}  // namespace
