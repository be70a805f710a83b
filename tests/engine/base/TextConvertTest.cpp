#include "base/TextConvert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;

const char* const kSamples[] = {
    "plain ascii.txt",
    "Photos été 2019 — Brière",
    "日本語のファイル名.doc",
    "한국어 文件 😀 emoji 🎉.jpg",
    "Ελληνικά Кириллица עברית",
    "",
};

// Encodes UTF-8 text with the iconv command, not with our code.
std::vector<uint8_t> EncodeWithIconv(const std::string& text, const char* charset) {
  TempDir dir;
  testsupport::WriteFile(dir / "in", text);
  const auto out = RunCommand("iconv -f UTF-8 -t " + std::string(charset) + " " + ShellQuote((dir / "in").string()));
  EXPECT_EQ(out.exitCode, 0);
  return std::vector<uint8_t>(out.output.begin(), out.output.end());
}

TEST(TextConvert, ValidTextRoundTripsThroughTheIconvCommand) {
  struct {
    const char* charset;
    TextEncoding encoding;
  } const kForms[] = {{"UTF-16LE", TextEncoding::UTF16LE}, {"UTF-16BE", TextEncoding::UTF16BE}};
  for (const char* sample : kSamples) {
    for (const auto& form : kForms) {
      SCOPED_TRACE(std::string(form.charset) + ": " + sample);
      const auto bytes = EncodeWithIconv(sample, form.charset);
      EXPECT_EQ(ToUtf8(bytes.data(), bytes.size(), form.encoding), sample);
    }
  }
}

TEST(TextConvert, Latin1AndUcs2MatchTheIconvCommand) {
  const std::string latin = "Brière café naïve ÀÉÎÕÜ ß ÿ";
  const auto latinBytes = EncodeWithIconv(latin, "ISO-8859-1");
  EXPECT_EQ(latinBytes.size(), 27u);  // one byte per character
  EXPECT_EQ(ToUtf8(latinBytes.data(), latinBytes.size(), TextEncoding::Latin1), latin);

  const std::string bmp = "日本語 Ελληνικά été";
  const auto ucs2 = EncodeWithIconv(bmp, "UCS-2LE");
  EXPECT_EQ(ToUtf8(ucs2.data(), ucs2.size(), TextEncoding::UCS2LE), bmp);
}

// Python's decoder with errors='replace' is the oracle for broken input: each
// unit it cannot decode becomes U+FFFD and decoding goes on.
std::string DecodeWithPython(const std::vector<uint8_t>& bytes, const char* codec) {
  TempDir dir;
  testsupport::WriteFile(dir / "in", bytes.data(), bytes.size());
  const std::string script =
      "import sys; d=open(sys.argv[1],'rb').read(); "
      "sys.stdout.buffer.write(d.decode(sys.argv[2], errors='replace').encode('utf-8'))";
  const auto out = RunCommand("python3 -c " + ShellQuote(script) + " " + ShellQuote((dir / "in").string()) + " " + codec);
  EXPECT_EQ(out.exitCode, 0);
  return out.output;
}

TEST(TextConvert, BrokenUtf16BecomesReplacementCharactersNeverACutName) {
  const std::vector<std::vector<uint8_t>> cases = {
      {'A', 0, 0x00, 0xD8, 'B', 0},              // high surrogate before a plain unit
      {'A', 0, 0x00, 0xDC, 'B', 0},              // lone low surrogate
      {'A', 0, 0x00, 0xD8},                      // high surrogate at the end
      {'A', 0, 'B'},                             // odd trailing byte
      {0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC, 'z', 0},  // two highs, then a valid pair
      {0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xDC, 0x00, 0xDC},  // valid pair, then two lone lows
  };
  for (const auto& bytes : cases) {
    const std::string expected = DecodeWithPython(bytes, "utf-16-le");
    EXPECT_EQ(ToUtf8(bytes.data(), bytes.size(), TextEncoding::UTF16LE), expected);
    std::vector<uint8_t> swapped = bytes;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(ToUtf8(swapped.data(), swapped.size(), TextEncoding::UTF16BE),
              DecodeWithPython(swapped, "utf-16-be"));
  }
}

TEST(TextConvert, Ucs2RefusesSurrogatesUnitByUnit) {
  const uint8_t bytes[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0};
  EXPECT_EQ(ToUtf8(bytes, sizeof bytes, TextEncoding::UCS2LE), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b");
}

TEST(TextConvert, Utf16LEStopsAtTheFirstZeroUnit) {
  const char16_t name[] = {u'a', u'b', 0, u'c'};
  EXPECT_EQ(Utf16LEToUtf8(name, 4), "ab");
  EXPECT_EQ(Utf16LEToUtf8(name, 1), "a");
  EXPECT_EQ(Utf16LEToUtf8(nullptr, 4), "");
}

TEST(TextConvert, Utf8ValidityAgreesWithTheIconvCommand) {
  const std::vector<std::string> samples = {
      "plain", "été", "日本語", "😀", "\xC3\x28", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
      "\xC0\xAF", "abc\xE6\x97", "\xFF", "\xF0\x9F\x98\x80z",
  };
  for (const std::string& s : samples) {
    TempDir dir;
    testsupport::WriteFile(dir / "in", s);
    const bool iconvAccepts =
        RunCommand("iconv -f UTF-8 -t UTF-16LE " + ShellQuote((dir / "in").string()) + " >/dev/null 2>&1").exitCode == 0;
    EXPECT_EQ(IsValidUtf8(s.data(), s.size()), iconvAccepts) << testing::PrintToString(s);
  }
}

}  // namespace
