// The archive walkers on hand-made bytes: the edge cases the real files of
// the rows (ArchiveRows.cpp) do not reach, and what hostile lengths, sizes
// and headers do.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "RawSizing.h"
#include "raw/ArchiveAnalysers.h"
#include "support/TestSupport.h"

namespace {

using rawsizing::Bytes;
using rawsizing::Disk;
using rawsizing::Size;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// A tar member: its header (the size field as given, else as the tools
// write it) and `size` bytes of data.
Bytes TarMember(uint64_t size, const char* field = nullptr) {
  Bytes b(512, 0);
  b[0] = 'm';
  char digits[13];
  std::snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
  std::memcpy(b.data() + 124, field != nullptr ? field : digits, 12);
  std::memcpy(b.data() + 257, "ustar  ", 8);
  b.resize(512 + (size + 511) / 512 * 512, 0x41);
  return b;
}

TEST(RawTar, EndBlocksBlocksOfTheArchiveAndHostileSizes) {
  FileTARAnalyser tar;
  Bytes archive = TarMember(0);  // a folder: it does not end the archive
  Append(archive, TarMember(1000));
  Append(archive, Bytes(512, 0));
  EXPECT_EQ(Size(tar, Disk(archive, 8192, true)).size, archive.size());
  // Its end blocks prove nothing of the last member's data (behind an
  // archive cut short, zeros read as them).
  EXPECT_FALSE(Size(tar, Disk(archive, 8192, true)).whole);
  EXPECT_FALSE(Size(tar, Disk(archive, 8192, true)).endUnknown);
  // Zeros behind it: the blocks that fill its last record of 10240 bytes.
  EXPECT_EQ(Size(tar, Disk(archive, 16384)).size, 10240u);
  // Blocks are the archive's 512 bytes on 4096-byte sectors too.
  EXPECT_EQ(Size(tar, Disk(archive, 8192, true, 4096), 4096).size, archive.size());
  // A size that is no number, a block that is no header: the walk ends there.
  Bytes bad = TarMember(100);
  Append(bad, TarMember(0, "12x45678901 "));
  EXPECT_EQ(Size(tar, Disk(bad, 4096, true)).size, 1024u);
  EXPECT_FALSE(Size(tar, Disk(bad, 4096, true)).whole);
  // Its members are whole, but no end block says the archive ends there.
  EXPECT_TRUE(Size(tar, Disk(bad, 4096, true)).endUnknown);
  EXPECT_EQ(Size(tar, Disk(TarMember(0, "9          "), 4096)).answer, 0u);
  Bytes stray = TarMember(10);
  Append(stray, Bytes(512, 0x20));
  EXPECT_EQ(Size(tar, Disk(stray, 4096)).size, 1024u);
  // Binary sizes: 8 GiB runs past the device, negative ones are none.
  const char binary[12] = {static_cast<char>(0x80), 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};
  EXPECT_EQ(Size(tar, Disk(TarMember(0, binary), 4096)).size, 512u + (uint64_t{2} << 32));
  const char negative[12] = {static_cast<char>(0xFF), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(TarMemberSize(reinterpret_cast<const uint8_t*>(negative)), -1);
  EXPECT_EQ(TarMemberSize(reinterpret_cast<const uint8_t*>("   1750 \0\0\0\0")), 1000);
}

Bytes RarBlock(uint8_t type, uint16_t flags, const Bytes& body, bool sum = true) {
  Bytes b = {0, 0, type, 0, 0, 0, 0};
  Append(b, body);
  Put16(b, 3, flags);
  Put16(b, 5, static_cast<uint16_t>(b.size()));
  if (sum) Put16(b, 0, static_cast<uint16_t>(crc32(0, b.data() + 2, static_cast<uInt>(b.size() - 2))));
  return b;
}

// A stored file: its header (with the high half of the packed size when
// `high`) and its data.
Bytes RarFile(uint32_t packed, uint32_t unpacked, bool sum = true, uint32_t high = 0) {
  Bytes body(25 + (high != 0 ? 8 : 0) + 1, 0);
  Put32(body, 0, packed);
  Put32(body, 4, unpacked);
  body[8] = 2;
  Put16(body, 19, 1);
  if (high != 0) Put32(body, 25, high);
  body.back() = 'a';
  Bytes b = RarBlock(0x74, high != 0 ? 0x8100 : 0x8000, body, sum);
  b.resize(b.size() + packed, 0x77);
  return b;
}

Bytes RarHead(uint8_t type = 0x73) {
  Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  Append(b, RarBlock(type, 0, Bytes(6, 0)));
  return b;
}

TEST(RawRar, EndsAfterItsLastValidBlockAndKeepsHighHalves) {
  FileRARAnalyser rar;
  Bytes archive = RarHead();
  Append(archive, RarFile(100, 400));
  auto sized = Size(rar, Disk(archive, 4096, true));
  EXPECT_EQ(sized.size, archive.size());  // no end block
  EXPECT_FALSE(sized.whole);
  // An end block with more than its seven fixed bytes ends it too.
  Append(archive, RarBlock(0x7B, 0x4002, {0x11, 0x22, 0x33, 0x44, 0, 0}));
  sized = Size(rar, Disk(archive, 4096, true));
  EXPECT_EQ(sized.size, archive.size());
  EXPECT_TRUE(sized.whole);
  // Stored bigger than it unpacks and without its sum: not the archive's.
  Bytes unsummed = RarHead();
  Append(unsummed, RarFile(300, 200, false));
  EXPECT_EQ(Size(rar, Disk(unsummed, 4096, true)).size, 20u);
  Bytes big = RarHead();
  Append(big, RarFile(0, 16, true, 1));
  EXPECT_EQ(Size(rar, Disk(big, 4096)).size, big.size() + (uint64_t{1} << 32));
  EXPECT_EQ(Size(rar, Disk(RarHead(0x79), 4096)).answer, 0u);
  // A packed size of nearly 2^64 bytes, which added to the header's length
  // wraps round to an end block written inside the header: the walk ends
  // before that header.
  Bytes body(34, 0);
  Put32(body, 0, 0xFFFFFFFFu - 41 + 16 + 1);
  Put32(body, 4, 0xFFFFFFFF);
  body[8] = 2;
  const Bytes endBlock = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
  std::memcpy(body.data() + 9, endBlock.data(), endBlock.size());
  Put32(body, 25, 0xFFFFFFFF);
  Bytes wraps = RarHead();
  Append(wraps, RarBlock(0x74, 0x8100, body));
  const auto wrapped = Size(rar, Disk(wraps, 4096));
  EXPECT_EQ(wrapped.size, 20u);
  EXPECT_FALSE(wrapped.whole);
}

TEST(RawCab, SizedFromTheHeaderAndRefusedWithoutASize) {
  FileCABAnalyser cab;
  Bytes head(512, 0);
  std::memcpy(head.data(), "MSCF", 4);
  Put32(head, 8, 70000);
  Put16(head, 24, 0x0103);
  EXPECT_EQ(Size(cab, head).size, 70000u);
  Put32(head, 8, 0);
  EXPECT_FALSE(Size(cab, head).matched);
}

TEST(RawCab, DataBlocksCarryTheirChecksumsAndEndTheCabinet) {
  FileCABAnalyser cab;
  // A cabinet from gcab (the fuzz seed): two files compressed in one folder.
  const Bytes made = testsupport::ReadFile(testsupport::SourceDir() / "tests/engine/raw/fuzz/cab/compressed.cab");
  ASSERT_GT(made.size(), 100u);
  const auto whole = Size(cab, Disk(made, 4096, true));
  EXPECT_EQ(whole.size, made.size());
  EXPECT_EQ(whole.proven, made.size());  // its last block's checksum holds
  EXPECT_FALSE(whole.endUnknown);
  Bytes changed = made;
  changed[made.size() - 3] ^= 0x10;  // a byte of the last block
  EXPECT_TRUE(Size(cab, Disk(changed, 4096)).endUnknown);
  Bytes cut(made.begin(), made.begin() + static_cast<std::ptrdiff_t>(made.size() / 2));
  const auto half = Size(cab, Disk(cut, 4096));
  EXPECT_EQ(half.size, made.size());
  EXPECT_TRUE(half.endUnknown);
  EXPECT_EQ(half.proven, 0u);
  // 65535 folders naming one stored block without a checksum: walked, and
  // read no more than the blocks' bound allows.
  Bytes many(36 + 8 * 65535 + 8 + 10, 0);
  std::memcpy(many.data(), "MSCF", 4);
  Put32(many, 8, static_cast<uint32_t>(many.size()));
  Put16(many, 24, 0x0103);
  Put16(many, 26, 65535);
  const uint32_t block = 36 + 8 * 65535;
  for (size_t f = 0; f < 65535; ++f) {
    Put32(many, 36 + 8 * f, block);
    Put16(many, 36 + 8 * f + 4, 1);
  }
  Put16(many, block + 4, 10);
  Put16(many, block + 6, 10);
  const auto walked = Size(cab, Disk(many, 4096));
  EXPECT_EQ(walked.size, many.size());
  EXPECT_FALSE(walked.endUnknown);
  EXPECT_EQ(walked.proven, many.size() - 10);  // a block without a checksum: its data only claimed
}

// A gzip member from zlib at the best level, or the default one.
Bytes Gzip(size_t lines, int level = 9) {
  std::string text;
  for (size_t i = 0; i < lines; ++i) text += "entry " + std::to_string(i * 7919 % 10007) + "\n";
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(text.size() + 1024);
  zs.next_in = reinterpret_cast<Bytef*>(text.data());
  zs.avail_in = static_cast<uInt>(text.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

TEST(RawGzip, MembersInARowAndDataThatDoNotInflate) {
  FileGZAnalyser gz;
  Bytes two = Gzip(5000);
  Append(two, Gzip(300, 1));
  EXPECT_EQ(Size(gz, Disk(two, 8192, true)).size, two.size());
  // Extra field, name and comment, then no deflate stream: the data break
  // off at their first byte (a reserved block type), where the file ends,
  // its end not known.
  Bytes file = {0x1F, 0x8B, 8, 4 | 8 | 16, 0, 0, 0, 0, 2, 3, 600 & 0xFF, 600 >> 8};
  file.resize(file.size() + 600, 0x11);
  for (const char* text : {"name.txt", "a comment"}) file.insert(file.end(), text, text + std::strlen(text) + 1);
  file.resize(3 * 512, 0xFF);  // the header ends at 631
  Bytes disk = Disk(file, 4096);
  const auto sized = Size(gz, disk);
  EXPECT_EQ(sized.size, 632u);
  EXPECT_FALSE(sized.whole);
  EXPECT_TRUE(sized.endUnknown);
  EXPECT_EQ(sized.prefix, "name.txt");
  // Cut inside its data: followed by zeros, it ends with the sector the cut
  // lies in (the first after the header whose last eight bytes are zero);
  // followed by random bytes, where the data break off.
  const Bytes whole = Gzip(60000);
  const Bytes half(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2));
  const auto inZeros = Size(gz, Disk(half, 8192));
  EXPECT_EQ(inZeros.size, (half.size() + 511) / 512 * 512);
  EXPECT_TRUE(inZeros.endUnknown);
  const auto inRandom = Size(gz, Disk(half, 65536, true));
  EXPECT_GT(inRandom.size, half.size());
  EXPECT_LT(inRandom.size, half.size() + 4096);
  EXPECT_TRUE(inRandom.endUnknown);
  // A trailer that disagrees with what came out.
  Bytes broken = Gzip(500);
  broken[broken.size() - 5] ^= 1;
  EXPECT_FALSE(Size(gz, Disk(broken, 4096)).whole);
  EXPECT_TRUE(Size(gz, Disk(broken, 4096)).endUnknown);
  // Extra flags 0, 2 and 4 only; systems below 14.
  Bytes plain = Gzip(100, 6);
  EXPECT_TRUE(Size(gz, Disk(plain, 512)).matched);
  plain[8] = 3;
  EXPECT_FALSE(Size(gz, Disk(plain, 512)).matched);
  plain[8] = 2;
  plain[9] = 14;
  EXPECT_FALSE(Size(gz, Disk(plain, 512)).matched);
}

// A member of header level 0 or 2 packed by `method`.
Bytes LzhMember(const char* method, uint32_t packed, int level = 0) {
  Bytes h(level == 2 ? 26 : 24, 0);
  h[0] = static_cast<uint8_t>(level == 2 ? 26 : 22);
  std::memcpy(h.data() + 2, method, 5);
  Put32(h, 7, packed);
  h[20] = static_cast<uint8_t>(level);
  h.resize(h.size() + packed, 0x5A);
  return h;
}

TEST(RawLzh, HeaderLevelsTheClosingZeroAndHeadersThatCannotBeWalked) {
  FileLZHAnalyser lzh;
  Bytes archive = LzhMember("-lh5-", 300);
  Append(archive, LzhMember("-lh0-", 40));
  Append(archive, LzhMember("-lh6-", 70, 2));
  const auto open = Size(lzh, Disk(archive, 4096, true));
  EXPECT_EQ(open.size, archive.size());
  EXPECT_FALSE(open.whole);
  archive.push_back(0);
  EXPECT_EQ(Size(lzh, Disk(archive, 4096, true)).size, archive.size());
  Bytes stuck = LzhMember("-lh5-", 0, 2);
  Put16(stuck, 0, 0);  // a level-2 header of no length would never move on
  EXPECT_EQ(Size(lzh, Disk(stuck, 4096)).answer, 0u);
  Bytes level3 = LzhMember("-lhd-", 0, 2);
  level3[20] = 3;
  EXPECT_FALSE(Size(lzh, Disk(level3, 4096)).matched);
}

TEST(RawSit, TheTypeComesFromTheSizingAndLoneMarksArePassedOver) {
  FileSITAnalyser sit;
  Bytes head(512, 0);
  std::memcpy(head.data(), "StuffIt (c)1997", 15);
  head[84] = 0x90;  // negative
  EXPECT_EQ(Size(sit, head).size, 0x82000000u);
  EXPECT_EQ(sit.GetAnalyserType(), RAW_TYPE_SIT);
  Bytes x(700, 0x33);
  std::memcpy(x.data(), "StuffIt!", 8);
  const uint8_t lone[] = {0x02, 0xD7, 0x0A, 0x19, 0, 0, 0, 0};
  std::memcpy(x.data() + 100, lone, sizeof lone);
  const uint8_t close[] = {0x02, 0xD7, 0x0A, 0x19, 0x98, 0xF6, 0x42, 0x88, 1, 2, 3, 4};
  x.resize(x.size() + sizeof close);
  std::memcpy(x.data() + x.size() - sizeof close, close, sizeof close);
  const auto sized = Size(sit, Disk(x, 4096, true));
  EXPECT_EQ(sized.size, x.size());
  EXPECT_EQ(sized.type, RAW_TYPE_SITX);
  EXPECT_EQ(sit.GetAnalyserType(), RAW_TYPE_SITX);
  head[7] = '?';
  EXPECT_EQ(Size(sit, head).answer, 0u);
}

TEST(RawDmg, OnlyATrailerOfItsVersionEndsTheImage) {
  FileDMGAnalyser dmg;
  Bytes image = {'B', 'Z', 'h', '1', '1', 'A', 'Y', '&', 'S', 'Y'};
  image.resize(3000, 0x61);
  std::memcpy(image.data() + 1000, "koly\0\0\0\3\0\0\2\0", 12);  // version 3
  const Bytes disk = Disk(image, 4096, true);
  EXPECT_EQ(Size(dmg, disk).size, disk.size());  // as far as the search got
  EXPECT_FALSE(Size(dmg, disk).whole);
}

}  // namespace
