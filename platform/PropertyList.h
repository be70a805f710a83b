// Property lists (XML and binary) read into Qt values.
//
// The application's own resources, the category table and the remote version
// list all arrive as property lists; the remote one comes from the network, so
// every input is treated as hostile. libplist does the parsing; before it sees
// a document we check its shape (nesting depth, and for the binary form the
// object graph), because the library recurses once per level and expands
// shared objects again at every reference.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace platform {

class PropertyList {
 public:
  // Largest document accepted, in bytes.
  static constexpr qsizetype kMaxBytes = 4 * 1024 * 1024;
  // Deepest nesting of arrays and dictionaries accepted.
  static constexpr int kMaxDepth = 128;
  // Most values a binary document may expand to once shared objects are
  // counted at every place that refers to them.
  static constexpr quint64 kMaxExpandedValues = 1000000;

  // Reads an XML or binary property list. Dictionaries become QVariantMap,
  // arrays QVariantList, strings QString, integers qlonglong (values above
  // 2^63-1 come back as negative numbers: the library stores both alike),
  // reals double, booleans bool, dates QDateTime (UTC), data QByteArray and
  // keyed-archive references quint64. Answers false with a message in `error`
  // for anything that is not a well-formed property list; `out` is then left
  // alone.
  static bool FromData(const QByteArray& data, QVariant* out, QString* error = nullptr);

  // Reads a property list file (at most kMaxBytes).
  static bool FromFile(const QString& path, QVariant* out, QString* error = nullptr);

  // Whether `data` is a binary property list (by its signature).
  static bool IsBinary(const QByteArray& data);
};

}  // namespace platform
