#include "base/TextConvert.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

// What a shell pipeline prints when fed `bytes` on its standard input.
testsupport::CommandResult Pipe(const std::string& bytes, const std::string& command) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "in", bytes);
  return RunCommand(command + " < " + ShellQuote((dir / "in").string()));
}

TEST(TextConvert, ValidTextConvertsAsTheIconvCommandEncodesIt) {
  const char* const kNames[] = {
      "plain ascii.txt",          "Photos été 2019 — Brière", "日本語のファイル名.doc", "Ελληνικά Кириллица עברית", "",
      "한국어 文件 😀 emoji 🎉.jpg"};
  const std::pair<const char*, TextEncoding> kForms[] = {{"UTF-16LE", TextEncoding::UTF16LE},
                                                         {"UTF-16BE", TextEncoding::UTF16BE},
                                                         {"UCS-2LE", TextEncoding::UCS2LE},
                                                         {"ISO-8859-1", TextEncoding::Latin1}};
  for (const auto& [charset, encoding] : kForms) {
    for (const std::string name : kNames) {
      // UCS-2 has no pairs, Latin-1 only its 256 characters: iconv refuses the rest.
      const auto encoded = Pipe(name, std::string("iconv -f UTF-8 -t ") + charset + " 2>/dev/null");
      if (encoded.exitCode != 0) continue;
      SCOPED_TRACE(std::string(charset) + ": " + name);
      EXPECT_EQ(ToUtf8(encoded.output.data(), encoded.output.size(), encoding), name);
    }
  }
  const std::string latin = "Brière café naïve ÀÉÎÕÜ ß ÿ";
  const auto bytes = Pipe(latin, "iconv -f UTF-8 -t ISO-8859-1").output;
  EXPECT_EQ(ToUtf8(bytes.data(), bytes.size(), TextEncoding::Latin1), latin);
}

// Python's decoder with errors='replace' is the oracle for broken input: each
// unit it cannot decode becomes U+FFFD and decoding goes on.
TEST(TextConvert, BrokenUtf16BecomesReplacementCharactersNeverACutName) {
  const std::string cases[] = {
      {'A', 0, 0x00, '\xD8', 'B', 0},                            // high surrogate before a plain unit
      {'A', 0, 0x00, '\xDC', 'B', 0},                            // lone low surrogate
      {'A', 0, 0x00, '\xD8'},                                    // high surrogate at the end
      {'A', 0, 'B'},                                             // odd trailing byte
      {0x00, '\xD8', 0x00, '\xD8', 0x00, '\xDC', 'z', 0},        // two highs, then a valid pair
      {0x3D, '\xD8', 0x00, '\xDE', 0x00, '\xDC', 0x00, '\xDC'},  // valid pair, then two lone lows
  };
  for (const std::string& le : cases) {
    std::string be = le;
    for (size_t i = 0; i + 1 < be.size(); i += 2) std::swap(be[i], be[i + 1]);
    for (const auto& [bytes, codec, encoding] :
         {std::tuple{le, "utf-16-le", TextEncoding::UTF16LE}, std::tuple{be, "utf-16-be", TextEncoding::UTF16BE}}) {
      const std::string decoded =
          Pipe(bytes, std::string("python3 -c 'import sys; sys.stdout.buffer.write(sys.stdin.buffer.read()"
                                  ".decode(\"") +
                          codec + "\", errors=\"replace\").encode())'")
              .output;
      EXPECT_EQ(ToUtf8(bytes.data(), bytes.size(), encoding), decoded) << testing::PrintToString(bytes);
    }
  }
  // UCS-2 knows no pairs: each half is refused on its own.
  const uint8_t pair[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0};
  EXPECT_EQ(ToUtf8(pair, sizeof pair, TextEncoding::UCS2LE),
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
}

TEST(TextConvert, Utf16LEStopsAtTheFirstZeroUnit) {
  const char16_t name[] = {u'a', u'b', 0, u'c'};
  EXPECT_EQ(Utf16LEToUtf8(name, 4), "ab");
  EXPECT_EQ(Utf16LEToUtf8(name, 1), "a");
  EXPECT_EQ(Utf16LEToUtf8(nullptr, 4), "");
}

TEST(TextConvert, Utf8ValidityAgreesWithTheIconvCommand) {
  for (const std::string s : {"plain", "été", "日本語", "😀", "\xC3\x28", "\xE0\x80\x80", "\xED\xA0\x80",
                              "\xF4\x90\x80\x80", "\xC0\xAF", "abc\xE6\x97", "\xFF", "\xF0\x9F\x98\x80z"}) {
    const bool iconvAccepts = Pipe(s, "iconv -f UTF-8 -t UTF-16LE >/dev/null 2>&1").exitCode == 0;
    EXPECT_EQ(IsValidUtf8(s.data(), s.size()), iconvAccepts) << testing::PrintToString(s);
  }
}

// The characters the file systems' own documentation forbids in a name, and
// no other unit of the whole 16-bit range.
TEST(TextConvert, ForbiddenNameUnitsAreExactlyTheNinePrintableOnes) {
  const std::u16string forbidden = u"\"*/:<>?\\|";
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const bool listed = forbidden.find(static_cast<char16_t>(unit)) != std::u16string::npos;
    ASSERT_EQ(IsForbiddenNameUnit(static_cast<uint16_t>(unit)), listed) << unit;
  }
}

}  // namespace
