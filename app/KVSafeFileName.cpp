#include "app/KVSafeFileName.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace {

// Extensions longer than this are not worth keeping when a name is cut.
constexpr size_t kMaxKeptExtensionBytes = 32;

// The longest prefix of `text` (valid UTF-8) of at most `bytes` bytes that
// ends on a character boundary.
std::string_view CutUtf8(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// `stem` + `middle` + `extension`, with the stem cut so that the whole fits
// in a file name. An extension that leaves no room counts as part of the
// stem. `middle` is a short suffix.
std::string Fit(std::string_view stem, std::string_view middle, std::string_view extension) {
  if (middle.size() + extension.size() >= kKVMaxFileNameBytes) {
    std::string whole(stem);
    whole.append(extension);
    std::string out(CutUtf8(whole, kKVMaxFileNameBytes - middle.size()));
    out.append(middle);
    return out;
  }
  const size_t room = kKVMaxFileNameBytes - middle.size() - extension.size();
  std::string out(CutUtf8(stem, room));
  out.append(middle);
  out.append(extension);
  return out;
}

}  // namespace

size_t KVExtensionDot(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::string_view::npos;
  return dot;
}

std::string KVSafeFileName(std::string_view name) {
  // Qt's decoder turns every malformed, overlong or surrogate sequence into
  // U+FFFD and keeps NUL characters, which are replaced below.
  const QByteArray decoded = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).toUtf8();
  std::string safe(decoded.constData(), static_cast<size_t>(decoded.size()));
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (safe.empty() || safe == ".") return "_";
  if (safe == "..") return "__";
  if (safe.size() <= kKVMaxFileNameBytes) return safe;

  const size_t dot = KVExtensionDot(safe);
  const std::string_view view(safe);
  if (dot != std::string_view::npos && view.size() - dot <= kMaxKeptExtensionBytes) {
    return Fit(view.substr(0, dot), {}, view.substr(dot));
  }
  return std::string(CutUtf8(view, kKVMaxFileNameBytes));
}

namespace {

std::string NumberSuffix(int number) {
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "_%04d", number);
  return suffix;
}

}  // namespace

std::string KVNumberedFolderName(std::string_view safeName, int number) {
  return Fit(safeName, NumberSuffix(number), {});
}

std::string KVNumberedFileName(std::string_view safeName, int number) {
  const std::string suffix = NumberSuffix(number);
  const size_t dot = KVExtensionDot(safeName);
  if (dot == std::string_view::npos) return Fit(safeName, suffix, {});
  return Fit(safeName.substr(0, dot), suffix, safeName.substr(dot));
}
