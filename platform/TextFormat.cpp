#include "platform/TextFormat.h"

#include <algorithm>

namespace platform {

namespace {

constexpr int kMaxWidth = 256;

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;
};

QString Pad(QString text, const Spec& spec, bool numeric) {
  if (text.size() >= spec.width) return text;
  const qsizetype fill = spec.width - text.size();
  if (spec.left) return text + QString(fill, u' ');
  if (spec.zero && numeric) {
    qsizetype at = 0;
    if (!text.isEmpty() && (text[0] == u'-' || text[0] == u'+' || text[0] == u' ')) at = 1;
    if (text.mid(at, 2).compare(QStringLiteral("0x"), Qt::CaseInsensitive) == 0) at += 2;
    return text.left(at) + QString(fill, u'0') + text.mid(at);
  }
  return QString(fill, u' ') + text;
}

QString Signed(qlonglong value, const Spec& spec) {
  QString digits = QString::number(value);
  if (spec.precision >= 0) {
    const bool negative = value < 0;
    QString body = negative ? digits.mid(1) : digits;
    if (body.size() < spec.precision) body = QString(spec.precision - body.size(), u'0') + body;
    digits = negative ? QStringLiteral("-") + body : body;
  }
  if (value >= 0 && spec.plus) return QStringLiteral("+") + digits;
  if (value >= 0 && spec.space) return QStringLiteral(" ") + digits;
  return digits;
}

QString Unsigned(qulonglong value, int base, bool upper, const Spec& spec) {
  QString digits = QString::number(value, base);
  if (upper) digits = digits.toUpper();
  if (spec.precision >= 0 && digits.size() < spec.precision) {
    digits = QString(spec.precision - digits.size(), u'0') + digits;
  }
  if (spec.alternate && value != 0) {
    if (base == 16) digits = (upper ? QStringLiteral("0X") : QStringLiteral("0x")) + digits;
    if (base == 8 && !digits.startsWith(u'0')) digits = QStringLiteral("0") + digits;
  }
  return digits;
}

QString Real(double value, char form, const Spec& spec) {
  const int precision = spec.precision < 0 ? 6 : std::min(spec.precision, 64);
  char f = form;
  if (f == 'F') f = 'f';
  QString text = QString::number(value, f, precision);
  if (value >= 0 && spec.plus)
    text.prepend(u'+');
  else if (value >= 0 && spec.space)
    text.prepend(u' ');
  return text;
}

}  // namespace

QString FormatText(const QString& format, const QVariantList& args) {
  QString out;
  out.reserve(format.size());
  qsizetype nextArg = 0;
  qsizetype i = 0;
  const qsizetype n = format.size();
  while (i < n) {
    const QChar c = format[i];
    if (c != u'%') {
      out.append(c);
      ++i;
      continue;
    }
    const qsizetype start = i++;
    if (i < n && format[i] == u'%') {
      out.append(u'%');
      ++i;
      continue;
    }
    // Optional position "N$".
    qsizetype position = -1;
    {
      qsizetype j = i;
      qlonglong number = 0;
      while (j < n && format[j].isDigit() && number < 1000) number = number * 10 + format[j++].digitValue();
      if (j > i && j < n && format[j] == u'$' && number >= 1) {
        position = static_cast<qsizetype>(number - 1);
        i = j + 1;
      }
    }
    Spec spec;
    for (; i < n; ++i) {
      const QChar f = format[i];
      if (f == u'-')
        spec.left = true;
      else if (f == u'0')
        spec.zero = true;
      else if (f == u'+')
        spec.plus = true;
      else if (f == u' ')
        spec.space = true;
      else if (f == u'#')
        spec.alternate = true;
      else
        break;
    }
    while (i < n && format[i].isDigit()) spec.width = std::min(kMaxWidth, spec.width * 10 + format[i++].digitValue());
    if (i < n && format[i] == u'.') {
      ++i;
      spec.precision = 0;
      while (i < n && format[i].isDigit()) {
        spec.precision = std::min(kMaxWidth, spec.precision * 10 + format[i++].digitValue());
      }
    }
    while (i < n && (format[i] == u'l' || format[i] == u'h' || format[i] == u'q' || format[i] == u'z' ||
                     format[i] == u'j' || format[i] == u'L' || format[i] == u't')) {
      ++i;
    }
    if (i >= n) {
      out.append(format.mid(start));
      break;
    }
    const char conv = static_cast<char>(format[i].unicode() < 128 ? format[i].unicode() : 0);
    ++i;
    const QString known = QStringLiteral("@sdiuxXofFeEgGc");
    if (conv == 0 || !known.contains(QLatin1Char(conv))) {
      out.append(format.mid(start, i - start));
      continue;
    }
    const qsizetype index = position >= 0 ? position : nextArg++;
    if (index >= args.size()) continue;  // a conversion without a value gives nothing
    const QVariant& value = args[index];
    switch (conv) {
      case '@':
      case 's': {
        QString text = value.toString();
        if (spec.precision >= 0) text = text.left(spec.precision);
        out.append(Pad(text, spec, false));
        break;
      }
      case 'd':
      case 'i':
        out.append(Pad(Signed(value.toLongLong(), spec), spec, true));
        break;
      case 'u':
        out.append(Pad(Unsigned(value.toULongLong(), 10, false, spec), spec, true));
        break;
      case 'x':
      case 'X':
        out.append(Pad(Unsigned(value.toULongLong(), 16, conv == 'X', spec), spec, true));
        break;
      case 'o':
        out.append(Pad(Unsigned(value.toULongLong(), 8, false, spec), spec, true));
        break;
      case 'c': {
        const uint code = value.typeId() == QMetaType::QString
                              ? (value.toString().isEmpty() ? 0u : value.toString()[0].unicode())
                              : value.toUInt();
        if (code != 0 && code <= 0xFFFF && !QChar(static_cast<char16_t>(code)).isSurrogate()) {
          out.append(Pad(QString(QChar(static_cast<char16_t>(code))), spec, false));
        }
        break;
      }
      default:
        out.append(Pad(Real(value.toDouble(), conv, spec), spec, true));
        break;
    }
  }
  return out;
}

}  // namespace platform
