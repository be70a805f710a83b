#include "platform/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <cstring>
#include <memory>
#include <vector>

#include <plist/plist.h>

namespace platform {

namespace {

void SetError(QString* error, const QString& text) {
  if (error != nullptr) *error = text;
}

bool StartsWith(const char* at, const char* end, const char* word) {
  const size_t n = std::strlen(word);
  return static_cast<size_t>(end - at) >= n && std::memcmp(at, word, n) == 0;
}

// Skips from `at` past the first `terminator`; answers `end` when there is none.
const char* SkipPast(const char* at, const char* end, const char* terminator) {
  const size_t n = std::strlen(terminator);
  for (const char* p = at; static_cast<size_t>(end - p) >= n; ++p) {
    if (std::memcmp(p, terminator, n) == 0) return p + n;
  }
  return end;
}

// Whether an opening container tag starts at `at`; `self` tells whether it
// closes itself ("<array/>"), `after` points behind the name.
bool OpeningTag(const char* at, const char* end, bool* selfClosing, const char** after) {
  const char* p = nullptr;
  if (StartsWith(at, end, "<array")) {
    p = at + 6;
  } else if (StartsWith(at, end, "<dict")) {
    p = at + 5;
  } else {
    return false;
  }
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
  *selfClosing = StartsWith(p, end, "/>");
  *after = p;
  return true;
}

// An upper bound of the container nesting of an XML document. Opening tags
// count wherever they stand; closing tags count only outside comments,
// character data, processing instructions and declarations, so a document
// that hides tags in such places can only look deeper than it is.
int XmlNestingBound(const char* at, const char* end) {
  int depth = 0;
  int deepest = 0;
  auto countOpenings = [&](const char* from, const char* to) {
    for (const char* p = from; p < to; ++p) {
      bool selfClosing = false;
      const char* after = nullptr;
      if (*p == '<' && OpeningTag(p, to, &selfClosing, &after) && !selfClosing) {
        deepest = std::max(deepest, ++depth);
      }
    }
  };
  while (at < end) {
    if (*at != '<') {
      ++at;
      continue;
    }
    const char* skipTo = nullptr;
    if (StartsWith(at, end, "<!--")) {
      skipTo = SkipPast(at + 4, end, "-->");
    } else if (StartsWith(at, end, "<![CDATA[")) {
      skipTo = SkipPast(at + 9, end, "]]>");
    } else if (StartsWith(at, end, "<?")) {
      skipTo = SkipPast(at + 2, end, "?>");
    } else if (StartsWith(at, end, "<!")) {
      const char* p = at + 2;
      while (p < end && *p != '>' && *p != '[') ++p;
      if (p < end && *p == '[') p = SkipPast(p, end, "]");
      skipTo = SkipPast(p, end, ">");
    }
    if (skipTo != nullptr) {
      countOpenings(at + 1, skipTo);
      at = skipTo;
      continue;
    }
    bool selfClosing = false;
    const char* after = nullptr;
    if (StartsWith(at, end, "</array") || StartsWith(at, end, "</dict")) {
      if (depth > 0) --depth;
      at += 2;
    } else if (OpeningTag(at, end, &selfClosing, &after)) {
      if (!selfClosing) deepest = std::max(deepest, ++depth);
      at = after;
    } else {
      ++at;
    }
  }
  return deepest;
}

quint64 ReadBigEndian(const unsigned char* p, unsigned bytes) {
  quint64 value = 0;
  for (unsigned i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

// Checks the object graph of a binary property list before the library walks
// it: every reference in range, no object that contains itself, nesting at most
// kMaxDepth and at most kMaxExpandedValues values once every reference is
// expanded. Scalars are left to the library, which checks them itself.
bool CheckBinaryShape(const QByteArray& data, QString* error) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
  const quint64 size = static_cast<quint64>(data.size());
  if (size < 8 + 32) {
    SetError(error, QStringLiteral("binary property list is truncated"));
    return false;
  }
  const unsigned char* trailer = bytes + size - 32;
  const unsigned offsetSize = trailer[6];
  const unsigned refSize = trailer[7];
  const quint64 objectCount = ReadBigEndian(trailer + 8, 8);
  const quint64 top = ReadBigEndian(trailer + 16, 8);
  const quint64 tableOffset = ReadBigEndian(trailer + 24, 8);
  const quint64 objectsEnd = size - 32;
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objectCount == 0 || objectCount > objectsEnd ||
      top >= objectCount || tableOffset < 8 || tableOffset > objectsEnd ||
      objectCount > (objectsEnd - tableOffset) / offsetSize) {
    SetError(error, QStringLiteral("binary property list has a damaged trailer"));
    return false;
  }
  auto offsetOf = [&](quint64 index, quint64* offset) {
    *offset = ReadBigEndian(bytes + tableOffset + index * offsetSize, offsetSize);
    return *offset >= 8 && *offset < tableOffset;
  };

  // Children of a container object: the position of its references and their
  // count; answers false for a damaged object, true with count 0 for scalars.
  auto children = [&](quint64 index, quint64* first, quint64* count) {
    *count = 0;
    quint64 offset = 0;
    if (!offsetOf(index, &offset)) return false;
    const unsigned marker = bytes[offset];
    const unsigned kind = marker >> 4;
    const bool container = kind == 0xA || kind == 0xB || kind == 0xC || kind == 0xD;
    const bool text = kind == 0x5 || kind == 0x6;
    if (!container && !text) return true;
    quint64 pos = offset + 1;
    quint64 n = marker & 0x0F;
    if (n == 0x0F) {
      if (pos >= tableOffset || (bytes[pos] >> 4) != 0x1) return false;
      const unsigned width = 1u << (bytes[pos] & 0x0F);
      if (width > 8 || tableOffset - pos - 1 < width) return false;
      n = ReadBigEndian(bytes + pos + 1, width);
      pos += 1 + width;
    }
    if (text) {
      // The library cannot hold a NUL inside a string or key (it aborts on
      // reading one back), so such strings are refused here.
      const quint64 unit = kind == 0x6 ? 2 : 1;
      if (n > (tableOffset - pos) / unit) return false;
      for (quint64 i = 0; i < n; ++i) {
        if (bytes[pos + i * unit] == 0 && (unit == 1 || bytes[pos + i * unit + 1] == 0)) return false;
      }
      return true;
    }
    const quint64 refs = kind == 0xD ? n * 2 : n;
    if (kind == 0xD && n > (tableOffset / 2)) return false;
    if (refs > (tableOffset - pos) / refSize) return false;
    *first = pos;
    *count = refs;
    return true;
  };

  enum : unsigned char { kUnseen, kOpen, kDone };
  std::vector<unsigned char> state(objectCount, kUnseen);
  std::vector<quint32> expanded(objectCount, 0);
  struct Frame {
    quint64 index, first, count, next, total;
  };
  std::vector<Frame> stack;
  auto open = [&](quint64 index) {
    Frame frame{index, 0, 0, 0, 1};
    if (!children(index, &frame.first, &frame.count)) {
      SetError(error, QStringLiteral("binary property list has a damaged object"));
      return false;
    }
    if (stack.size() > static_cast<size_t>(PropertyList::kMaxDepth)) {
      SetError(error, QStringLiteral("property list is nested too deeply"));
      return false;
    }
    state[index] = kOpen;
    stack.push_back(frame);
    return true;
  };
  if (!open(top)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      state[frame.index] = kDone;
      expanded[frame.index] = static_cast<quint32>(frame.total);
      const quint64 total = frame.total;
      stack.pop_back();
      if (!stack.empty()) {
        stack.back().total += total;
        if (stack.back().total > PropertyList::kMaxExpandedValues) {
          SetError(error, QStringLiteral("property list expands to too many values"));
          return false;
        }
      }
      continue;
    }
    const quint64 child = ReadBigEndian(bytes + frame.first + frame.next * refSize, refSize);
    ++frame.next;
    if (child >= objectCount) {
      SetError(error, QStringLiteral("binary property list refers to a missing object"));
      return false;
    }
    if (state[child] == kOpen) {
      SetError(error, QStringLiteral("binary property list contains itself"));
      return false;
    }
    if (state[child] == kDone) {
      frame.total += expanded[child];
      if (frame.total > PropertyList::kMaxExpandedValues) {
        SetError(error, QStringLiteral("property list expands to too many values"));
        return false;
      }
      continue;
    }
    if (!open(child)) return false;
  }
  return true;
}

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

QVariant Convert(plist_t node, int depth, bool* ok) {
  if (depth > PropertyList::kMaxDepth) {
    *ok = false;
    return {};
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return QVariant(value != 0);
    }
    case PLIST_UINT: {
      uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return QVariant(static_cast<qlonglong>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return QVariant(value);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text == nullptr || length > static_cast<uint64_t>(PropertyList::kMaxBytes)) return QVariant(QString());
      return QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length)));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      QByteArray value(bytes != nullptr ? bytes : "", bytes != nullptr ? static_cast<qsizetype>(length) : 0);
      std::free(bytes);
      return QVariant(value);
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // Property-list dates count from 2001-01-01 00:00:00 UTC.
      const qint64 ms = (978307200LL + sec) * 1000 + usec / 1000;
      return QVariant(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
    }
    case PLIST_UID: {
      uint64_t value = 0;
      plist_get_uid_val(node, &value);
      return QVariant(static_cast<quint64>(value));
    }
    case PLIST_ARRAY: {
      QVariantList list;
      const uint32_t count = plist_array_get_size(node);
      list.reserve(static_cast<qsizetype>(count));
      for (uint32_t i = 0; i < count && *ok; ++i) list.append(Convert(plist_array_get_item(node, i), depth + 1, ok));
      return QVariant(list);
    }
    case PLIST_DICT: {
      QVariantMap map;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      while (*ok && it != nullptr) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (key == nullptr) break;
        const QString name = QString::fromUtf8(key);
        std::free(key);
        if (value != nullptr) map.insert(name, Convert(value, depth + 1, ok));
      }
      std::free(it);
      return QVariant(map);
    }
    default:
      *ok = false;
      return {};
  }
}

}  // namespace

bool PropertyList::IsBinary(const QByteArray& data) {
  return data.size() >= 8 && std::memcmp(data.constData(), "bplist00", 8) == 0;
}

bool PropertyList::FromData(const QByteArray& data, QVariant* out, QString* error) {
  if (data.isEmpty()) {
    SetError(error, QStringLiteral("property list is empty"));
    return false;
  }
  if (data.size() > kMaxBytes) {
    SetError(error, QStringLiteral("property list is too large"));
    return false;
  }
  if (IsBinary(data)) {
    if (!CheckBinaryShape(data, error)) return false;
  } else if (data.contains('\0')) {
    SetError(error, QStringLiteral("XML property list holds a NUL byte"));
    return false;
  } else if (XmlNestingBound(data.constData(), data.constData() + data.size()) > kMaxDepth) {
    SetError(error, QStringLiteral("property list is nested too deeply"));
    return false;
  }
  plist_t root = nullptr;
  if (IsBinary(data)) {
    plist_from_bin(data.constData(), static_cast<uint32_t>(data.size()), &root);
  } else {
    plist_from_xml(data.constData(), static_cast<uint32_t>(data.size()), &root);
  }
  if (root == nullptr) {
    SetError(error, QStringLiteral("not a well-formed property list"));
    return false;
  }
  std::unique_ptr<void, PlistDeleter> owner(root);
  bool ok = true;
  QVariant value = Convert(root, 0, &ok);
  if (!ok) {
    SetError(error, QStringLiteral("property list holds a value of an unknown kind"));
    return false;
  }
  if (out != nullptr) *out = value;
  return true;
}

bool PropertyList::FromFile(const QString& path, QVariant* out, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    SetError(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    return false;
  }
  const QByteArray data = file.read(kMaxBytes + 1);
  if (file.error() != QFileDevice::NoError) {
    SetError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return false;
  }
  return FromData(data, out, error);
}

}  // namespace platform
