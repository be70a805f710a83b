// The journal of the journal-recovery fixture with damaged fields: each
// damage either makes the journal unusable (0x501, live scan unchanged) or
// leaves a sweep that ends within one lap of the buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "HFSPlusQuickScan.h"
#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Swept {
  ResultCode journalError;
  bool usable;
  uint64_t bytesSwept;
  uint64_t lap;
  size_t live = 0;
  size_t deleted = 0;
};

Swept Sweep(const Bytes& image) {
  testsupport::BytesDevice device(image.data(), image.size());
  CHFSPlusVolume volume(&device, false);
  EXPECT_TRUE(result::IsSuccess(volume.GetLastError()));
  CHFSPlusJournal* journal = volume.GetJournal();
  Swept s{journal->GetLastError(), journal->IsUsable(), 0, 0};
  testsupport::KeepingTreeBuilder builder;
  CHFSPlusQuickFileSystemSearchProgress progress;
  EXPECT_TRUE(result::IsSuccess(volume.QuickSearchFiles(&builder, &progress)));
  s.bytesSwept = journal->GetCounters().bytesSwept;
  s.lap = journal->GetJournalSize() - journal->GetHeaderSize();
  for (IFileNode* n : builder.nodes) (n->IsDeleted() ? s.deleted : s.live)++;
  return s;
}

class JournalDamage : public ::testing::Test {
 public:
  void SetUp() override {
    std::string why;
    const auto dir = hfsquick::Fixtures(&why);
    REQUIRE_OR_SKIP(!dir.empty(), why);
    std::ifstream in(dir / "lx-hfsplus-jdel.img", std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), {});
    ASSERT_GT(image_.size(), 0x20000u);
    intact_ = Sweep(image_);
    ASSERT_TRUE(intact_.usable);
    ASSERT_GT(intact_.deleted, 0u);
  }
  // The journal header sits at 12288 (info block at block 2 says so).
  static constexpr size_t kHeader = 12288;
  void Put32(size_t at, uint32_t v) { std::memcpy(&image_[at], &v, 4); }
  void Put64(size_t at, uint64_t v) { std::memcpy(&image_[at], &v, 8); }
  Bytes image_;
  Swept intact_{};
};

TEST_F(JournalDamage, BadHeaderFieldsMakeTheJournalUnusable) {
  const std::vector<std::pair<const char*, std::function<void(JournalDamage*)>>> damages = {
      {"journal-header size 0", [](JournalDamage* t) { t->Put32(kHeader + 40, 0); }},
      {"journal-header size not a power of two", [](JournalDamage* t) { t->Put32(kHeader + 40, 768); }},
      {"block-list size 1 GiB", [](JournalDamage* t) { t->Put32(kHeader + 32, 1u << 30); }},
      {"size differs from the info block", [](JournalDamage* t) { t->Put64(kHeader + 24, 4096); }},
      {"end offset past the journal", [](JournalDamage* t) { t->Put64(kHeader + 16, 1u << 30); }},
      {"journal size 0 in the info block", [](JournalDamage* t) { std::memset(&t->image_[8192 + 44], 0, 8); }},
      {"journal beyond the volume",
       [](JournalDamage* t) {
         t->image_[8192 + 36] = 0x40;  // offset 2^62
       }},
      {"big-endian magic with little-endian fields", [](JournalDamage* t) { t->Put32(kHeader, 0x784C4E4A); }},
  };
  const Bytes original = image_;
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    image_ = original;
    damage(this);
    const Swept s = Sweep(image_);
    EXPECT_FALSE(s.usable);
    EXPECT_EQ(result::Error(s.journalError), 0x501u);
    EXPECT_EQ(s.deleted, 0u);
    EXPECT_EQ(s.live, intact_.live);
  }
}

TEST_F(JournalDamage, BlockListsThatLieEndWithinOneLap) {
  // The first block list follows the header (start offset 512).
  const size_t list = kHeader + 512;
  const std::vector<std::pair<const char*, std::function<void(JournalDamage*)>>> damages = {
      {"entry count beyond the list", [](JournalDamage* t) { t->image_[list + 2] = 0xFF; }},
      {"entry size 4 GiB", [](JournalDamage* t) { t->Put32(list + 32 + 8, 0xFFFFFFFFu); }},
      {"entry size not a node", [](JournalDamage* t) { t->Put32(list + 32 + 8, 1000); }},
      {"end offset off the block grid",
       [](JournalDamage* t) {
         uint64_t end;
         std::memcpy(&end, &t->image_[kHeader + 16], 8);
         t->Put64(kHeader + 16, end + 3);
       }},
  };
  const Bytes original = image_;
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    image_ = original;
    damage(this);
    const Swept s = Sweep(image_);
    EXPECT_TRUE(s.usable);
    EXPECT_GE(s.bytesSwept, s.lap);
    // At most the last block list's own length beyond the lap.
    EXPECT_LE(s.bytesSwept, 2 * s.lap);
    EXPECT_EQ(s.live, intact_.live);
    EXPECT_LE(s.deleted, intact_.deleted);
  }
}

}  // namespace
