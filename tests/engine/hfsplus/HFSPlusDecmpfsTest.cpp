// The compressed-file content reader and the LZVN decoder, on samples that
// Python's zlib and a separately written LZVN encoder made
// (make-decmpfs-samples.py), and on damaged copies of them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "hfsplus/Decmpfs.h"
#include "hfsplus/Lzvn.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path Samples() {
  static const fs::path dir = [] {
    const fs::path out = fs::path(CLIPMENDER_HFSPLUS_QUICK_DIR) / "decmpfs";
    fs::create_directories(out);
    testsupport::RunCommandOrFail("flock " + testsupport::ShellQuote((out / ".lock").string()) + " python3 " +
                                  testsupport::ShellQuote(CLIPMENDER_HFSPLUS_TEST_SOURCE "/make-decmpfs-samples.py") +
                                  " " + testsupport::ShellQuote(out.string()));
    return out;
  }();
  return dir;
}

Bytes Load(const std::string& name) {
  std::ifstream in(Samples() / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Sample {
  Bytes raw, attr, fork;
};
Sample LoadSample(const std::string& name) {
  Sample s{Load(name + ".raw"), Load(name + ".attr"), {}};
  if (fs::exists(Samples() / (name + ".fork"))) s.fork = Load(name + ".fork");
  return s;
}

// Opens `attr` over an in-memory fork; counts the fork bytes read.
struct Content {
  hfsplus::CDecmpfsContent content;
  uint64_t forkBytesRead = 0;
  bool Open(const Bytes& attr, const Bytes& fork) {
    return content.Open(attr.data(), attr.size(), fork.size(), [this, &fork](uint64_t at, uint8_t* to, uint64_t n) {
      if (at >= fork.size()) return uint64_t{0};
      n = std::min<uint64_t>(n, fork.size() - at);
      std::memcpy(to, fork.data() + at, n);
      forkBytesRead += n;
      return n;
    });
  }
  // The whole content in `piece`-byte reads, or what failed.
  std::optional<Bytes> ReadAll(uint64_t piece) {
    Bytes out(content.GetSize());
    for (uint64_t at = 0; at < out.size(); at += piece) {
      const int64_t n = content.Read(at, out.data() + at, std::min<uint64_t>(piece, out.size() - at));
      if (n <= 0) return std::nullopt;
    }
    return out;
  }
};

class DecmpfsSamples : public ::testing::TestWithParam<const char*> {};

TEST_P(DecmpfsSamples, DecodeToTheOriginal) {
  const Sample s = LoadSample(GetParam());
  Content c;
  ASSERT_TRUE(c.Open(s.attr, s.fork)) << c.content.GetError();
  EXPECT_EQ(c.content.GetSize(), s.raw.size());
  EXPECT_EQ(c.ReadAll(4096), s.raw);
  EXPECT_EQ(c.ReadAll(777), s.raw);
  // From the middle of a chunk.
  if (s.raw.size() >= 74000) {
    Bytes part(5000);
    ASSERT_EQ(c.content.Read(69000, part.data(), part.size()), 5000);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), s.raw.begin() + 69000));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DecmpfsSamples,
                         ::testing::Values("zlib-inline", "zlib-inline-stored", "lzvn-inline", "lzvn-inline-tiny",
                                           "lzvn-inline-stored", "zlib-fork", "lzvn-fork", "zlib-fork-short",
                                           "lzvn-fork-short"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& ch : n) ch = ch == '-' ? '_' : ch;
                           return n;
                         });

TEST(DecmpfsBounds, AReadDecodesOnlyTheChunksItNeeds) {
  const Sample s = LoadSample("lzvn-fork");
  Content c;
  ASSERT_TRUE(c.Open(s.attr, s.fork));
  const uint64_t table = c.forkBytesRead;
  Bytes tail(100);
  ASSERT_EQ(c.content.Read(s.raw.size() - 100, tail.data(), 100), 100);
  EXPECT_LT(c.forkBytesRead - table, s.fork.size() / 2);
}

TEST(DecmpfsBounds, SizesTheDataCannotHoldAreRefused) {
  Sample s = LoadSample("zlib-inline");
  Content bomb;
  Bytes attr = s.attr;
  const uint64_t huge = uint64_t{1} << 40;
  std::memcpy(&attr[8], &huge, 8);
  EXPECT_FALSE(bomb.Open(attr, {}));

  s = LoadSample("zlib-fork");
  Content more;  // a size claiming one chunk more than the table has
  attr = s.attr;
  const uint64_t bigger = s.raw.size() + 0x10000;
  std::memcpy(&attr[8], &bigger, 8);
  EXPECT_FALSE(more.Open(attr, s.fork));
}

TEST(DecmpfsBounds, TablesOutsideTheForkAreRefused) {
  Sample s = LoadSample("zlib-fork");
  Bytes fork = s.fork;
  fork[0x100 + 8 + 8 + 4] = 0xFF;  // second chunk's size
  fork[0x100 + 8 + 8 + 7] = 0x7F;
  Content c1;
  EXPECT_FALSE(c1.Open(s.attr, fork));
  Content c2;  // fork cut inside its table
  EXPECT_FALSE(c2.Open(s.attr, Bytes(s.fork.begin(), s.fork.begin() + 0x10C)));

  s = LoadSample("lzvn-fork");
  fork = s.fork;
  std::swap(fork[4], fork[8]);  // offsets out of order
  std::swap(fork[5], fork[9]);
  Content c3;
  EXPECT_FALSE(c3.Open(s.attr, fork));
  Content c4;  // last offset beyond the fork
  EXPECT_FALSE(c4.Open(s.attr, Bytes(s.fork.begin(), s.fork.end() - 1)));
}

TEST(DecmpfsBounds, DamagedStreamsGiveWhatDecodesAndSaySo) {
  Sample s = LoadSample("lzvn-fork");
  Bytes fork = s.fork;
  // Undefined opcodes over the first chunk's end: it decodes in part; the
  // bytes before the damage are the original's, zeros follow, and the next
  // chunk is whole.
  const uint32_t second = fork[4] | fork[5] << 8 | fork[6] << 16 | uint32_t{fork[7]} << 24;
  std::memset(&fork[second - 40], 0xD5, 40);
  Content c;
  ASSERT_TRUE(c.Open(s.attr, fork));
  Bytes first(0x10000);
  ASSERT_EQ(c.content.Read(0, first.data(), first.size()), 0x10000);
  EXPECT_TRUE(c.content.IsIncomplete());
  size_t same = 0;
  while (same < first.size() && first[same] == s.raw[same]) ++same;
  EXPECT_GT(same, 0u);
  EXPECT_LT(same, first.size());
  EXPECT_EQ(Bytes(first.begin() + static_cast<long>(same) + 1, first.end()), Bytes(first.size() - same - 1, 0))
      << "zeros after what decoded";
  Bytes out(4096);
  EXPECT_EQ(c.content.Read(0x10000, out.data(), out.size()), 4096);
  EXPECT_EQ(out, Bytes(s.raw.begin() + 0x10000, s.raw.begin() + 0x10000 + 4096));

  s = LoadSample("zlib-inline");
  s.attr[s.attr.size() - 3] ^= 0x55;
  Content z;
  ASSERT_TRUE(z.Open(s.attr, {}));
  EXPECT_EQ(z.content.Read(0, out.data(), 100), 100);
  EXPECT_TRUE(z.content.IsIncomplete());
  Content whole;
  ASSERT_TRUE(whole.Open(LoadSample("zlib-inline").attr, {}));
  EXPECT_EQ(whole.content.Read(0, out.data(), 100), 100);
  EXPECT_FALSE(whole.content.IsIncomplete());

  Bytes unknown = LoadSample("zlib-inline").attr;
  unknown[4] = 12;  // a kind not read
  Content u;
  EXPECT_FALSE(u.Open(unknown, {}));
}

TEST(Lzvn, EndsAtTheEndOfStreamOrTheDestination) {
  const uint8_t onlyEnd[] = {0x06, 0, 0, 0, 0, 0, 0, 0};
  uint8_t out[64];
  EXPECT_EQ(hfsplus::LzvnDecode(onlyEnd, sizeof(onlyEnd), out, sizeof(out)), 0);
  // "abc" then a match of 6 at distance 3 (small-distance opcode, no literals
  // inside it), then the end.
  const uint8_t stream[] = {0xE3, 'a', 'b', 'c', 0x18, 0x03, 0x06, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(hfsplus::LzvnDecode(stream, sizeof(stream), out, sizeof(out)), 9);
  EXPECT_EQ(std::memcmp(out, "abcabcabc", 9), 0);
  // Any capacity, the smallest included, gets exactly its bytes.
  for (size_t cap = 1; cap < 9; ++cap) {
    uint8_t small[9] = {};
    EXPECT_EQ(hfsplus::LzvnDecode(stream, sizeof(stream), small, cap), static_cast<int64_t>(cap));
    EXPECT_EQ(std::memcmp(small, "abcabcabc", cap), 0);
    EXPECT_EQ(small[cap], cap < 9 ? 0 : small[cap]);
  }
  // Cut before its end: an error.
  EXPECT_EQ(hfsplus::LzvnDecode(stream, 6, out, sizeof(out)), -1);
  EXPECT_EQ(lzvn_decode(out, sizeof(out), stream, 6), 0u);
}

TEST(Lzvn, RefusesWhatNoEncoderWrites) {
  uint8_t out[64];
  const uint8_t before[] = {0xE1, 'a', 0x18, 0x05, 0x06};  // distance 5 after one byte
  EXPECT_EQ(hfsplus::LzvnDecode(before, sizeof(before), out, sizeof(out)), -1);
  const uint8_t undefinedOp[] = {0xE1, 'a', 0x72, 0x06};
  EXPECT_EQ(hfsplus::LzvnDecode(undefinedOp, sizeof(undefinedOp), out, sizeof(out)), -1);
  const uint8_t noDistance[] = {0xF3, 0x06};  // a repeat with no previous distance
  EXPECT_EQ(hfsplus::LzvnDecode(noDistance, sizeof(noDistance), out, sizeof(out)), -1);
  const uint8_t longLiteral[] = {0xE0, 0x05};  // 21 literals announced, none there
  EXPECT_EQ(hfsplus::LzvnDecode(longLiteral, sizeof(longLiteral), out, sizeof(out)), -1);
}

}  // namespace
