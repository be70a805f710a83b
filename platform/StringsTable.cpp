#include "platform/StringsTable.h"

#include <QStringDecoder>

namespace platform {

namespace {

void SetError(QString* error, const QString& text) {
  if (error != nullptr) *error = text;
}

class Parser {
 public:
  explicit Parser(const QString& text) : text_(text) {}

  bool Run(QHash<QString, QString>* table) {
    QHash<QString, QString> entries;
    for (;;) {
      if (!SkipSpaceAndComments()) return false;
      if (AtEnd()) break;
      QString key;
      if (!ReadString(&key)) return false;
      if (!SkipSpaceAndComments()) return false;
      QString value = key;
      if (Peek() == u'=') {
        ++pos_;
        if (!SkipSpaceAndComments()) return false;
        if (!ReadString(&value)) return false;
        if (!SkipSpaceAndComments()) return false;
      }
      if (Peek() != u';') return Fail(QStringLiteral("expected ';' after the entry"));
      ++pos_;
      entries.insert(key, value);
    }
    *table = std::move(entries);
    return true;
  }

  const QString& error() const { return error_; }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  QChar Peek() const { return AtEnd() ? QChar() : text_.at(pos_); }

  bool Fail(const QString& what) {
    int line = 1;
    for (qsizetype i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_.at(i) == u'\n') ++line;
    }
    error_ = QStringLiteral("line %1: %2").arg(line).arg(what);
    return false;
  }

  bool SkipSpaceAndComments() {
    while (!AtEnd()) {
      const QChar c = Peek();
      if (c.isSpace()) {
        ++pos_;
      } else if (c == u'/' && pos_ + 1 < text_.size() && text_.at(pos_ + 1) == u'*') {
        const qsizetype close = text_.indexOf(QStringLiteral("*/"), pos_ + 2);
        if (close < 0) return Fail(QStringLiteral("comment is not closed"));
        pos_ = close + 2;
      } else if (c == u'/' && pos_ + 1 < text_.size() && text_.at(pos_ + 1) == u'/') {
        const qsizetype eol = text_.indexOf(u'\n', pos_ + 2);
        pos_ = eol < 0 ? text_.size() : eol + 1;
      } else {
        break;
      }
    }
    return true;
  }

  static bool IsBareChar(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '$' ||
           u == '+' || u == '/' || u == ':' || u == '.' || u == '-';
  }

  bool ReadString(QString* out) {
    if (AtEnd()) return Fail(QStringLiteral("unexpected end of the table"));
    if (Peek() != u'"') {
      const qsizetype start = pos_;
      while (!AtEnd() && IsBareChar(Peek())) {
        // A comment may follow a bare word without a space.
        if (Peek() == u'/' && pos_ + 1 < text_.size() && (text_.at(pos_ + 1) == u'*' || text_.at(pos_ + 1) == u'/')) {
          break;
        }
        ++pos_;
      }
      if (pos_ == start) return Fail(QStringLiteral("expected a quoted string"));
      *out = text_.mid(start, pos_ - start);
      return true;
    }
    ++pos_;
    QString value;
    while (!AtEnd()) {
      const QChar c = text_.at(pos_++);
      if (c == u'"') {
        if (!CheckSurrogates(value)) return false;
        *out = value;
        return true;
      }
      if (c != u'\\') {
        value.append(c);
        continue;
      }
      if (AtEnd()) break;
      if (!ReadEscape(&value)) return false;
    }
    return Fail(QStringLiteral("string is not closed"));
  }

  bool ReadEscape(QString* value) {
    const QChar c = text_.at(pos_++);
    switch (c.unicode()) {
      case '"':
      case '\'':
      case '\\':
        value->append(c);
        return true;
      case 'n':
        value->append(u'\n');
        return true;
      case 't':
        value->append(u'\t');
        return true;
      case 'r':
        value->append(u'\r');
        return true;
      case 'a':
        value->append(QChar(0x07));
        return true;
      case 'b':
        value->append(QChar(0x08));
        return true;
      case 'f':
        value->append(QChar(0x0C));
        return true;
      case 'v':
        value->append(QChar(0x0B));
        return true;
      case 'U':
      case 'u': {
        uint code = 0;
        int digits = 0;
        while (digits < 4 && !AtEnd()) {
          const int d = HexValue(Peek());
          if (d < 0) break;
          code = code * 16 + static_cast<uint>(d);
          ++digits;
          ++pos_;
        }
        if (digits == 0) return Fail(QStringLiteral("\\U needs hex digits"));
        if (code == 0) return Fail(QStringLiteral("NUL character in a string"));
        value->append(QChar(static_cast<char16_t>(code)));
        return true;
      }
      default:
        break;
    }
    if (c >= u'0' && c <= u'7') {
      uint code = c.unicode() - '0';
      for (int i = 0; i < 2 && !AtEnd() && Peek() >= u'0' && Peek() <= u'7'; ++i) {
        code = code * 8 + (Peek().unicode() - '0');
        ++pos_;
      }
      if (code == 0) return Fail(QStringLiteral("NUL character in a string"));
      if (code > 0xFF) return Fail(QStringLiteral("octal escape above \\377"));
      value->append(QChar(static_cast<char16_t>(code)));
      return true;
    }
    --pos_;
    return Fail(QStringLiteral("unknown escape \\%1").arg(c));
  }

  static int HexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
  }

  bool CheckSurrogates(const QString& value) {
    for (qsizetype i = 0; i < value.size(); ++i) {
      const QChar c = value.at(i);
      if (c.isHighSurrogate() && i + 1 < value.size() && value.at(i + 1).isLowSurrogate()) {
        ++i;
      } else if (c.isSurrogate()) {
        return Fail(QStringLiteral("unpaired surrogate in a string"));
      }
    }
    return true;
  }

  const QString& text_;
  qsizetype pos_ = 0;
  QString error_;
};

}  // namespace

bool StringsTable::Decode(const QByteArray& data, QString* text, QString* error) {
  if (data.size() > kMaxBytes) {
    SetError(error, QStringLiteral("string table is too large"));
    return false;
  }
  QStringConverter::Encoding encoding = QStringConverter::Utf8;
  qsizetype skip = 0;
  const auto* b = reinterpret_cast<const unsigned char*>(data.constData());
  if (data.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    skip = 3;
  } else if (data.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    encoding = QStringConverter::Utf16LE;
    skip = 2;
  } else if (data.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    encoding = QStringConverter::Utf16BE;
    skip = 2;
  } else if (data.size() >= 2 && b[0] != 0 && b[1] == 0) {
    encoding = QStringConverter::Utf16LE;
  } else if (data.size() >= 2 && b[0] == 0 && b[1] != 0) {
    encoding = QStringConverter::Utf16BE;
  }
  const QByteArrayView body(data.constData() + skip, data.size() - skip);
  if (encoding != QStringConverter::Utf8 && body.size() % 2 != 0) {
    SetError(error, QStringLiteral("UTF-16 table has an odd number of bytes"));
    return false;
  }
  QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
  QString decoded = decoder.decode(body);
  if (decoder.hasError()) {
    SetError(error, QStringLiteral("string table is not valid %1")
                        .arg(encoding == QStringConverter::Utf8 ? QStringLiteral("UTF-8") : QStringLiteral("UTF-16")));
    return false;
  }
  for (qsizetype i = 0; i < decoded.size(); ++i) {
    const QChar c = decoded.at(i);
    if (c.isNull()) {
      SetError(error, QStringLiteral("string table holds a NUL character"));
      return false;
    }
    if (c.isHighSurrogate() && i + 1 < decoded.size() && decoded.at(i + 1).isLowSurrogate()) {
      ++i;
    } else if (c.isSurrogate()) {
      SetError(error, QStringLiteral("string table holds an unpaired surrogate"));
      return false;
    }
  }
  *text = std::move(decoded);
  return true;
}

bool StringsTable::Parse(const QString& text, QHash<QString, QString>* table, QString* error) {
  Parser parser(text);
  if (!parser.Run(table)) {
    SetError(error, parser.error());
    return false;
  }
  return true;
}

bool StringsTable::Load(const QByteArray& data, QHash<QString, QString>* table, QString* error) {
  QString text;
  return Decode(data, &text, error) && Parse(text, table, error);
}

}  // namespace platform
