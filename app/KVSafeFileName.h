// File and folder names made from names read off a scanned medium or out of
// a saved scan result. Such names are untrusted: a "/" or ".." in them, or an
// empty or over-long name, would put a recovered file outside the folder the
// user chose or make its creation fail. Every name that becomes a path
// component goes through KVSafeFileName first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest file name, in bytes, that Linux file systems take.
inline constexpr size_t kKVMaxFileNameBytes = 255;

// `name` as one safe path component, always valid UTF-8 and never empty:
// - bytes that are not UTF-8 become U+FFFD;
// - "/" and NUL become "_";
// - the empty name becomes "_", "." becomes "_" and ".." becomes "__";
// - a name longer than kKVMaxFileNameBytes is cut on a character boundary,
//   keeping its extension when that is short (at most 32 bytes).
// Every other name comes back unchanged.
std::string KVSafeFileName(std::string_view name);

// Where the extension of `name` starts: the position of its last ".", when
// that is neither the first nor the last character; npos when there is none.
size_t KVExtensionDot(std::string_view name);

// The clash variant `number` of a safe name: "_%04d" of the number before the
// extension ("a.jpg", 1 -> "a_0001.jpg"), or appended when there is none
// ("a" -> "a_0001"). The part before the extension is shortened when the
// result would be longer than kKVMaxFileNameBytes.
std::string KVNumberedFileName(std::string_view safeName, int number);

// The clash variant `number` of a safe folder name: "_%04d" of the number
// appended ("2019.05", 1 -> "2019.05_0001"), shortened like a file name.
std::string KVNumberedFolderName(std::string_view safeName, int number);
