// Localised string tables: "key" = "value"; entries with C and C++ comments,
// as UTF-8 or UTF-16 (either order, with or without a byte-order mark).
//
// The parser is strict: text that does not follow the format is refused as a
// whole with the line of the first fault, so a damaged translation shows up as
// missing texts (English, then the key) rather than as half a table.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

namespace platform {

class StringsTable {
 public:
  // Largest table accepted, in bytes.
  static constexpr qsizetype kMaxBytes = 4 * 1024 * 1024;

  // Decodes the bytes of a table to text: a byte-order mark decides; without
  // one, zero bytes in the first unit mark UTF-16, anything else must be valid
  // UTF-8. NUL characters and unpaired surrogates are refused.
  static bool Decode(const QByteArray& data, QString* text, QString* error = nullptr);

  // Parses the text of a table. Keys and values are quoted strings (or bare
  // words of letters, digits and _$+/:.-); a key alone ("key";) maps to itself;
  // a later entry replaces an earlier one. Escapes: \" \' \\ \n \t \r \a \b \f
  // \v, octal \ooo and \Uhhhh or \uhhhh (one to four hex digits; surrogate
  // pairs combine). Answers false with "line N: ..." in `error`; `table` is
  // then left alone.
  static bool Parse(const QString& text, QHash<QString, QString>* table, QString* error = nullptr);

  // Decode and Parse together.
  static bool Load(const QByteArray& data, QHash<QString, QString>* table, QString* error = nullptr);
};

}  // namespace platform
