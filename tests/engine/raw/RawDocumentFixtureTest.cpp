// Documents made by real tools and office samples, laid into images by a
// script and by a file system (tests/fixtures/docs/make-docs-images.sh): each
// comes back under its type's folder and name (a DOCX as a Word document, not
// as a ZIP), with the original as its first bytes, and per type byte for
// byte at least as often as PhotoRec and foremost bring it back.
#include <cstring>

#include "DocFixtures.h"
#include "RawCarveCheck.h"

namespace {

class DocumentCarve : public ::testing::TestWithParam<const char*> {};

TEST_P(DocumentCarve, EveryTypeComesBackWholeAtLeastAsOftenAsThePeers) {
  const std::string why = docfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  rawcheck::CheckAgainstPeers(docfixtures::Dir() / GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Images, DocumentCarve, ::testing::Values("zeros.img", "random.img", "fat.img"),
                         [](const auto& info) {
                           return std::string(info.param).substr(0, std::strlen(info.param) - 4);
                         });

}  // namespace
