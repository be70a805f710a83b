// Documents made by real tools and office samples, laid into images by a
// script and by a file system (tests/fixtures/docs/make-docs-images.sh): each
// comes back under its type's folder and name (a DOCX as a Word document, not
// as a ZIP), with the original as its first bytes, and per type byte for
// byte at least as often as PhotoRec and foremost bring it back.
#include <cstring>
#include <fstream>
#include <iterator>

#include "DocFixtures.h"
#include "RawCarveCheck.h"

namespace {

namespace fs = std::filesystem;

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

// A text that ends at its closing mark without a line end may be followed by
// a CR or LF that is no part of it: nothing tells the carver, so the copy may
// take that line end in (the rows leave such a size unknown). It takes no
// other byte, and one whose own line end ends it takes nothing more.
TEST(DocumentCarveTextEnds, ATextTakesInAtMostTheLineEndBehindIt) {
  const std::string why = docfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  for (const char* name : {"zeros.img", "random.img"}) {
    SCOPED_TRACE(name);
    const fs::path image = docfixtures::Dir() / name;
    std::ifstream in(image, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rawcheck::Carved carved;
    rawcheck::CarveImage(image, carved);
    int texts = 0;
    for (const rawcheck::Expected& e : rawcheck::ReadCarve(image)) {
      if (e.type != "RTF" && e.type != "HTM" && e.type != "PDF" && e.type != "EPS" && e.type != "SVG") continue;
      const auto found = carved.byOffset.find(e.offset);
      if (found == carved.byOffset.end() || e.offset + e.length + 2 > bytes.size()) continue;
      ++texts;
      const uint64_t end = e.offset + e.length;
      // The line end the text's own last bytes leave room for.
      uint64_t lineEnd = 0;
      if (bytes[end - 1] == '\r') {
        lineEnd = bytes[end] == '\n' ? 1 : 0;
      } else if (bytes[end - 1] != '\n') {
        lineEnd = bytes[end] == '\r' && bytes[end + 1] == '\n' ? 2 : bytes[end] == '\r' || bytes[end] == '\n' ? 1 : 0;
      }
      const uint64_t size = found->second->GetFileSize();
      EXPECT_TRUE(size == e.length || (lineEnd != 0 && size == e.length + lineEnd))
          << e.type << " at " << e.offset << ": " << size << " bytes carved of " << e.length;
    }
    EXPECT_GE(texts, 8);
  }
}

}  // namespace
