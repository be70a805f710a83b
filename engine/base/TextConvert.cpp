#include "base/TextConvert.h"

#include <iconv.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

const char* IconvName(TextEncoding e) {
  switch (e) {
    case TextEncoding::UTF16LE:
      return "UTF-16LE";
    case TextEncoding::UCS2LE:
      return "UCS-2LE";
    case TextEncoding::UTF16BE:
      return "UTF-16BE";
    case TextEncoding::Latin1:
      return "ISO-8859-1";
  }
  return "UTF-16LE";
}

size_t UnitSize(TextEncoding e) { return e == TextEncoding::Latin1 ? 1 : 2; }

// iconv descriptors are costly to open and not thread-safe to share, and scans
// convert millions of names: one descriptor per encoding per thread.
class Converter {
 public:
  explicit Converter(TextEncoding from) : cd_(iconv_open("UTF-8", IconvName(from))) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

Converter& ConverterFor(TextEncoding from) {
  thread_local Converter utf16le(TextEncoding::UTF16LE);
  thread_local Converter ucs2le(TextEncoding::UCS2LE);
  thread_local Converter utf16be(TextEncoding::UTF16BE);
  thread_local Converter latin1(TextEncoding::Latin1);
  switch (from) {
    case TextEncoding::UTF16LE:
      return utf16le;
    case TextEncoding::UCS2LE:
      return ucs2le;
    case TextEncoding::UTF16BE:
      return utf16be;
    case TextEncoding::Latin1:
      return latin1;
  }
  return utf16le;
}

}  // namespace

std::string ToUtf8(const void* data, size_t bytes, TextEncoding from) {
  std::string out;
  if (data == nullptr || bytes == 0) return out;
  Converter& conv = ConverterFor(from);
  if (!conv.ok()) return out;
  const size_t unit = UnitSize(from);
  // Most names are plain ASCII, which UTF-8 keeps byte for unit: no iconv
  // needed for them.
  if (from != TextEncoding::UTF16BE && bytes % unit == 0) {
    const auto* in = static_cast<const uint8_t*>(data);
    bool ascii = true;
    for (size_t i = 0; i < bytes && ascii; i += unit) ascii = in[i] < 0x80 && (unit == 1 || in[i + 1] == 0);
    if (ascii) {
      out.resize(bytes / unit);
      for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(in[i * unit]);
      return out;
    }
  }
  conv.Reset();

  char* in = const_cast<char*>(static_cast<const char*>(data));
  size_t inLeft = bytes;
  // A UTF-16 unit gives at most 3 UTF-8 bytes, a pair 4 bytes for 2 units.
  out.resize(bytes / unit * 3 + 8);
  char* outPtr = out.data();
  size_t outLeft = out.size();

  while (inLeft > 0) {
    const size_t r = iconv(conv.get(), &in, &inLeft, &outPtr, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {  // cannot happen with the bound above; grow anyway
      const size_t used = outPtr - out.data();
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
      continue;
    }
    // EILSEQ (an invalid unit) or EINVAL (incomplete at the end): replace one
    // unit and go on. A lone high surrogate is refused with EINVAL at the end
    // or EILSEQ before a non-low unit: either way only its own unit is lost.
    const size_t skip = inLeft < unit ? inLeft : unit;
    in += skip;
    inLeft -= skip;
    if (outLeft < sizeof(kReplacement)) {
      const size_t used = outPtr - out.data();
      out.resize(out.size() + 16);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
    }
    std::memcpy(outPtr, kReplacement, 3);
    outPtr += 3;
    outLeft -= 3;
    conv.Reset();
  }
  out.resize(outPtr - out.data());
  return out;
}

std::string Utf16LEToUtf8(const char16_t* units, size_t maxUnits) {
  if (units == nullptr) return {};
  size_t n = 0;
  while (n < maxUnits && units[n] != 0) ++n;
  return ToUtf8(units, n * 2, TextEncoding::UTF16LE);
}

bool IsValidUtf8(const char* text, size_t bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < bytes) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (bytes - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    i += len;
  }
  return true;
}
