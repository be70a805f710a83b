// Pictures, sound and films made by real tools, laid into images by a script
// and by file systems (tests/fixtures/raw/make-raw-images.sh): each comes
// back under its folder and name, per type byte for byte at least as often as
// PhotoRec and foremost bring it back, and the JPEG cut in two by foreign
// bytes ends within its first piece.
#include <cstring>

#include "RawCarveCheck.h"
#include "RawFixtures.h"

namespace {

using rawcheck::Carved;
using rawcheck::CarveImage;
using rawcheck::Expected;
using rawcheck::ReadCarve;
namespace fs = std::filesystem;

class CarveFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(CarveFixture, EveryTypeComesBackIdenticalAtLeastAsOftenAsThePeers) {
  const std::string why = rawfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  rawcheck::CheckAgainstPeers(rawfixtures::Dir() / GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Images, CarveFixture, ::testing::Values("zeros.img", "random.img", "fat.img", "ntfs.img"),
                         [](const auto& info) {
                           return std::string(info.param).substr(0, std::strlen(info.param) - 4);
                         });

// Behind the first piece lie foreign bytes, then the rest of the picture:
// the carved file keeps none of them and loses none of the first piece's
// last sector but where no byte of it shows it to be the picture's.
TEST(CarveFixtureCut, TheCutJpegEndsWithinItsFirstPiece) {
  const std::string why = rawfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  for (const char* name : {"zeros.img", "random.img"}) {
    SCOPED_TRACE(name);
    const fs::path image = rawfixtures::Dir() / name;
    int cut = 0;
    Carved carved;
    CarveImage(image, carved);
    for (const Expected& e : ReadCarve(image)) {
      if (e.firstPiece == e.length) continue;
      ++cut;
      const auto found = carved.byOffset.find(e.offset);
      ASSERT_NE(found, carved.byOffset.end());
      const uint64_t size = found->second->GetFileSize();
      std::printf("%s: cut JPEG of %llu bytes, first piece %llu, carved %llu\n", name,
                  static_cast<unsigned long long>(e.length), static_cast<unsigned long long>(e.firstPiece),
                  static_cast<unsigned long long>(size));
      EXPECT_LE(size, e.firstPiece);
      EXPECT_GT(size, e.firstPiece - 4096);
    }
    EXPECT_EQ(cut, 1);
  }
}

}  // namespace
