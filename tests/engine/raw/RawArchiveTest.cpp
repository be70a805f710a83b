// The archive walkers on hand-made bytes: what each format's own structure
// says about where it ends, and what hostile lengths, sizes and headers do.
// Files made by the real tools are carved in the rows (ArchiveRows.cpp).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "RawSizing.h"
#include "raw/ArchiveAnalysers.h"

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

// ---- tar ----

// A header block; `size` is written as the tools write it unless `field` is
// given.
Bytes TarHeader(const std::string& name, uint64_t size, char kind, const char* field = nullptr) {
  Bytes h(512, 0);
  std::memcpy(h.data(), name.data(), name.size());
  char digits[13];
  std::snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
  std::memcpy(h.data() + 124, field != nullptr ? field : digits, 12);
  h[156] = static_cast<uint8_t>(kind);
  std::memcpy(h.data() + 257, "ustar  ", 8);
  return h;
}

Bytes TarMember(const std::string& name, size_t size, char kind = '0') {
  Bytes b = TarHeader(name, size, kind);
  b.resize(512 + (size + 511) / 512 * 512, 0x41);
  return b;
}

TEST(RawTar, FoldersAndEmptyFilesDoNotEndTheArchiveOnlyAZeroBlockDoes) {
  FileTARAnalyser tar;
  Bytes archive = TarMember("top/", 0, '5');
  Append(archive, TarMember("top/empty", 0));
  Append(archive, TarMember("top/a.txt", 1000));
  Append(archive, Bytes(512, 0));
  const auto sized = Size(tar, Disk(archive, 64 * 1024, true));
  EXPECT_EQ(sized.size, archive.size());
  EXPECT_TRUE(sized.whole);
  EXPECT_EQ(sized.type, RAW_TYPE_TAR);
  // With zeros behind it the archive takes in the blocks that fill its
  // last record of 10240 bytes, as the archiver writes them.
  EXPECT_EQ(Size(tar, Disk(archive, 64 * 1024)).size, 10240u);
}

TEST(RawTar, OneMemberOf1000BytesAndItsEndBlock) {
  FileTARAnalyser tar;
  Bytes archive = TarMember("a", 1000);
  Append(archive, Bytes(512, 0));
  EXPECT_EQ(Size(tar, Disk(archive, 8192, true)).size, 512u + 1024 + 512);
  // Blocks are the archive's own 512 bytes on 4096-byte sectors too.
  const auto big = Size(tar, Disk(archive, 8192, true, 4096), 4096);
  EXPECT_EQ(big.size, 512u + 1024 + 512);
}

TEST(RawTar, HostileSizeFieldsEndTheWalkWhereTheyStand) {
  FileTARAnalyser tar;
  Bytes archive = TarMember("a", 100);
  Append(archive, TarHeader("b", 0, '0', "12x45678901 "));
  const auto bad = Size(tar, Disk(archive, 4096, true));
  EXPECT_EQ(bad.size, 1024u);
  EXPECT_FALSE(bad.whole);
  EXPECT_EQ(Size(tar, Disk(TarHeader("c", 0, '0', "9          "), 4096)).answer, 0u);
  // A binary size of 8 GiB runs far past the device: the walk stops there.
  char binary[12] = {static_cast<char>(0x80), 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};
  const auto huge = Size(tar, Disk(TarHeader("d", 0, '0', binary), 4096));
  EXPECT_EQ(huge.size, 512u + (uint64_t{2} << 32));
  char negative[12] = {static_cast<char>(0xFF), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(TarMemberSize(reinterpret_cast<const uint8_t*>(negative)), -1);
  EXPECT_EQ(TarMemberSize(reinterpret_cast<const uint8_t*>("   1750 \0\0\0\0")), 1000);
  // A block that is no header and no end: the walk ends before it.
  Bytes stray = TarMember("e", 10);
  Append(stray, Bytes(512, 0x20));
  EXPECT_EQ(Size(tar, Disk(stray, 4096)).size, 1024u);
}

// ---- RAR ----

Bytes RarBlock(uint8_t type, uint16_t flags, const Bytes& body, bool sum = true) {
  Bytes b = {0, 0, type, 0, 0, 0, 0};
  Append(b, body);
  Put16(b, 3, flags);
  Put16(b, 5, static_cast<uint16_t>(b.size()));
  if (sum) Put16(b, 0, static_cast<uint16_t>(crc32(0, b.data() + 2, static_cast<uInt>(b.size() - 2))));
  return b;
}

Bytes RarFile(uint32_t packed, uint32_t unpacked, bool sum = true, uint32_t high = 0) {
  Bytes body(25 + (high != 0 ? 8 : 0) + 5, 0);
  Put32(body, 0, packed);
  Put32(body, 4, unpacked);
  body[8] = 2;      // host
  body[18] = 0x30;  // stored
  Put16(body, 19, 5);
  if (high != 0) Put32(body, 25, high);
  std::memcpy(body.data() + body.size() - 5, "a.bin", 5);
  Bytes b = RarBlock(0x74, high != 0 ? 0x8100 : 0x8000, body, sum);
  b.resize(b.size() + packed, 0x77);
  return b;
}

Bytes RarHead() {
  Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  Append(b, RarBlock(0x73, 0, Bytes(6, 0)));
  return b;
}

const Bytes kRarEnd = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

TEST(RawRar, AFileStoredBiggerThanItUnpacksBelongsWhenItsHeaderSumHolds) {
  FileRARAnalyser rar;
  Bytes archive = RarHead();
  Append(archive, RarFile(300, 200));
  Append(archive, RarFile(100, 400));
  Append(archive, kRarEnd);
  const auto sized = Size(rar, Disk(archive, 4096, true));
  EXPECT_EQ(sized.size, archive.size());
  EXPECT_TRUE(sized.whole);
  // Without its sum such a header ends the walk after the archive header.
  Bytes unsummed = RarHead();
  Append(unsummed, RarFile(300, 200, false));
  EXPECT_EQ(Size(rar, Disk(unsummed, 4096, true)).size, 20u);
}

TEST(RawRar, WithoutTheEndBlockTheArchiveEndsAfterItsLastValidBlock) {
  FileRARAnalyser rar;
  Bytes archive = RarHead();
  Append(archive, RarFile(100, 400));
  const auto sized = Size(rar, Disk(archive, 4096, true));
  EXPECT_EQ(sized.size, archive.size());
  EXPECT_FALSE(sized.whole);
  // An end block with more than its seven fixed bytes ends it as well.
  Bytes withSum = archive;
  Append(withSum, RarBlock(0x7B, 0x4002, {0x11, 0x22, 0x33, 0x44, 0, 0}));
  EXPECT_EQ(Size(rar, Disk(withSum, 4096, true)).size, withSum.size());
}

TEST(RawRar, TheNewerFormatAndABadArchiveHeaderGiveNothing) {
  FileRARAnalyser rar;
  const Bytes newer = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00, 0x33, 0x92};
  EXPECT_FALSE(Size(rar, Disk(newer, 4096)).matched);
  Bytes bad = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  Append(bad, RarBlock(0x79, 0, Bytes(6, 0)));
  const auto sized = Size(rar, Disk(bad, 4096));
  EXPECT_TRUE(sized.matched);
  EXPECT_EQ(sized.answer, 0u);
}

TEST(RawRar, PackedSizesOf4GiBAndMoreKeepTheirHighHalf) {
  FileRARAnalyser rar;
  Bytes archive = RarHead();
  const Bytes file = RarFile(16, 16, true, 1);
  Append(archive, Bytes(file.begin(), file.end() - 16));
  const auto sized = Size(rar, Disk(archive, 4096));
  EXPECT_EQ(sized.size, 20 + (file.size() - 16) + (uint64_t{1} << 32) + 16);
}

// ---- CAB ----

TEST(RawCab, SizedFromTheHeaderAndRefusedWithoutASize) {
  FileCABAnalyser cab;
  Bytes head(512, 0);
  std::memcpy(head.data(), "MSCF", 4);
  Put32(head, 8, 70000);
  Put16(head, 24, 0x0103);
  const auto sized = Size(cab, head);
  EXPECT_EQ(sized.size, 70000u);
  EXPECT_EQ(sized.type, RAW_TYPE_CAB);
  Put32(head, 8, 0);
  EXPECT_FALSE(Size(cab, head).matched);
  Put32(head, 8, 100);
  Put16(head, 24, 0x0104);
  EXPECT_FALSE(Size(cab, head).matched);
}

// ---- gzip ----

// A gzip member from zlib, with the stored name when given.
Bytes Gzip(const Bytes& data, const char* name, int level = 9) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  gz_header header{};
  header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
  header.os = 3;
  if (name != nullptr) deflateSetHeader(&zs, &header);
  Bytes out(data.size() + 1024);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Bytes Text(size_t n) {
  Bytes b;
  for (size_t i = 0; b.size() < n; ++i) {
    const std::string line = "entry " + std::to_string(i * 7919 % 10007) + "\n";
    b.insert(b.end(), line.begin(), line.end());
  }
  return b;
}

TEST(RawGzip, TheStreamEndsTheFileAndMembersRightBehindBelongToIt) {
  FileGZAnalyser gz;
  const Bytes one = Gzip(Text(50000), "notes.txt");
  const auto sized = Size(gz, Disk(one, 8192, true));
  EXPECT_EQ(sized.size, one.size());
  EXPECT_TRUE(sized.whole);
  EXPECT_EQ(sized.prefix, "notes.txt");
  Bytes two = one;
  Append(two, Gzip(Text(3000), nullptr, 1));
  EXPECT_EQ(Size(gz, Disk(two, 8192, true)).size, two.size());
}

TEST(RawGzip, DataThatDoNotInflateEndAtTheFirstZeroTailedSectorAfterTheHeader) {
  FileGZAnalyser gz;
  // Extra field, name and comment; then bytes that are no deflate stream.
  Bytes file = {0x1F, 0x8B, 8, 4 | 8 | 16, 0, 0, 0, 0, 2, 3, 600 & 0xFF, 600 >> 8};
  file.resize(file.size() + 600, 0x11);
  for (const char* text : {"name.txt", "a comment"}) file.insert(file.end(), text, text + std::strlen(text) + 1);
  const size_t header = file.size();  // 637: the scan starts at 1024
  file.resize(3 * 512, 0xFF);
  Bytes disk = Disk(file, 4096);
  disk[1024 + 511] = 0x01;  // the sector at 1024 does not end in zeros; the one at 1536 does
  const auto sized = Size(gz, disk);
  EXPECT_GT(header, 512u);
  EXPECT_EQ(sized.size, 2048u);
  EXPECT_FALSE(sized.whole);
  EXPECT_EQ(sized.prefix, "name.txt");
  // A member whose trailer disagrees with what came out is sized the same way.
  Bytes broken = Gzip(Text(5000), nullptr);
  broken[broken.size() - 5] ^= 1;
  EXPECT_EQ(Size(gz, Disk(broken, 4096)).size, (broken.size() / 512 + 1) * 512);
}

TEST(RawGzip, ExtraFlagsAndSystemAreChecked) {
  FileGZAnalyser gz;
  Bytes file = Gzip(Text(2000), nullptr, 6);
  ASSERT_EQ(file[8], 0);  // zlib's default level, like the compressor's
  EXPECT_TRUE(Size(gz, Disk(file, 512)).matched);
  file[8] = 3;
  EXPECT_FALSE(Size(gz, Disk(file, 512)).matched);
  file[8] = 2;
  file[9] = 14;
  EXPECT_FALSE(Size(gz, Disk(file, 512)).matched);
}

// ---- LZH ----

// A member with a header of level 0 (or 2), packed by `method`, holding
// `packed` bytes.
Bytes LzhMember(const char* method, uint32_t packed, int level = 0) {
  Bytes h;
  if (level == 2) {
    h.assign(26, 0);
    Put16(h, 0, 26);
    std::memcpy(h.data() + 2, method, 5);
    Put32(h, 7, packed);
    h[20] = 2;
  } else {
    h.assign(24, 0);  // 22 + a name of 2
    h[0] = 22;
    std::memcpy(h.data() + 2, method, 5);
    Put32(h, 7, packed);
    h[21] = 2;
    h[22] = 'a';
    h[23] = 'b';
  }
  h.resize(h.size() + packed, 0x5A);
  return h;
}

TEST(RawLzh, MembersOfEveryHeaderLevelAndTheClosingZero) {
  FileLZHAnalyser lzh;
  Bytes archive = LzhMember("-lh5-", 300);
  Append(archive, LzhMember("-lh0-", 40));
  archive.push_back(0);
  const auto sized = Size(lzh, Disk(archive, 4096, true));
  EXPECT_EQ(sized.size, archive.size());
  EXPECT_TRUE(sized.whole);
  // A folder first, level 2 headers, another method.
  Bytes tree = LzhMember("-lhd-", 0, 2);
  Append(tree, LzhMember("-lh6-", 500, 2));
  tree.push_back(0);
  EXPECT_EQ(Size(lzh, Disk(tree, 4096, true)).size, tree.size());
  // Without the closing zero: where the last member ends.
  Bytes open = LzhMember("-lh5-", 300);
  const auto unclosed = Size(lzh, Disk(open, 4096, true));
  EXPECT_EQ(unclosed.size, open.size());
  EXPECT_FALSE(unclosed.whole);
}

TEST(RawLzh, HeadersThatCannotBeWalkedGiveNothing) {
  FileLZHAnalyser lzh;
  Bytes stuck = LzhMember("-lh5-", 0, 2);
  Put16(stuck, 0, 0);  // a level-2 header claiming no length would never move on
  EXPECT_EQ(Size(lzh, Disk(stuck, 4096)).answer, 0u);
  Bytes level3 = LzhMember("-lhd-", 0, 2);
  level3[20] = 3;
  EXPECT_FALSE(Size(lzh, Disk(level3, 4096)).matched);
}

// ---- SIT, SITX ----

TEST(RawSit, TheSignatureTakesItsTypeFromTheSizing) {
  FileSITAnalyser sit;
  Bytes head(512, 0);
  std::memcpy(head.data(), "StuffIt (c)1997", 15);
  head[86] = 0x12;  // big-endian 0x1200 at 84
  auto sized = Size(sit, head);
  EXPECT_EQ(sized.size, 0x1200u);
  EXPECT_EQ(sized.type, RAW_TYPE_SIT);
  EXPECT_EQ(sit.GetAnalyserType(), RAW_TYPE_SIT);
  head[84] = 0x90;
  EXPECT_EQ(Size(sit, head).size, 0x82000000u);
  // SITX: the closing record; a lone 02 D7 0A before it is passed over.
  Bytes x(700, 0x33);
  std::memcpy(x.data(), "StuffIt!", 8);
  const uint8_t lone[] = {0x02, 0xD7, 0x0A, 0x19, 0, 0, 0, 0};
  std::memcpy(x.data() + 100, lone, sizeof lone);
  const uint8_t close[] = {0x02, 0xD7, 0x0A, ';', 0x98, 0xF6, 0x42, 0x88, 1, 2, 3, 4, 5};
  x.resize(x.size() + sizeof close);
  std::memcpy(x.data() + x.size() - sizeof close, close, sizeof close);
  sized = Size(sit, Disk(x, 4096, true));
  EXPECT_EQ(sized.size, x.size());
  EXPECT_TRUE(sized.whole);
  EXPECT_EQ(sized.type, RAW_TYPE_SITX);
  EXPECT_EQ(sit.GetAnalyserType(), RAW_TYPE_SITX);
  head[7] = '?';
  EXPECT_EQ(Size(sit, head).answer, 0u);
}

// ---- DMG ----

TEST(RawDmg, TheTrailerEndsTheImageWhereverItLies) {
  FileDMGAnalyser dmg;
  Bytes image = {'B', 'Z', 'h', '1', '1', 'A', 'Y', '&', 'S', 'Y'};
  image.resize(3000, 0x61);
  Bytes trailer(512, 0);
  std::memcpy(trailer.data(), "koly", 4);
  trailer[7] = 4;   // version 4, big-endian
  trailer[10] = 2;  // header size 512
  Bytes wrong = trailer;
  wrong[7] = 3;
  image.insert(image.begin() + 1000, wrong.begin(), wrong.begin() + 16);  // not a trailer
  Append(image, trailer);
  const auto sized = Size(dmg, Disk(image, 4096, true));
  EXPECT_EQ(sized.size, image.size());
  EXPECT_TRUE(sized.whole);
  // Without one: as far as the search got (here the device's end).
  Bytes none(image.begin(), image.end() - 512);
  const Bytes disk = Disk(none, 4096, true);
  EXPECT_EQ(Size(dmg, disk).size, disk.size());
}

}  // namespace
