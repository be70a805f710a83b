#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using platform::PropertyList;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

std::string Script() { return (testsupport::SourceDir() / "tests/platform/make_plist_sample.py").string(); }

QByteArray ReadAll(const std::filesystem::path& path) {
  const std::vector<uint8_t> bytes = testsupport::ReadFile(path);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// The same canonical form as make_plist_sample.py writes.
QJsonValue Canon(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::QVariantMap: {
      QJsonObject object;
      const QVariantMap map = value.toMap();
      for (auto it = map.begin(); it != map.end(); ++it) object.insert(it.key(), Canon(it.value()));
      return object;
    }
    case QMetaType::QVariantList: {
      QJsonArray array;
      for (const QVariant& item : value.toList()) array.append(Canon(item));
      return array;
    }
    case QMetaType::Bool:
      return QJsonObject{{"bool", value.toBool()}};
    case QMetaType::LongLong:
      return QJsonObject{{"int", QString::number(value.toLongLong())}};
    case QMetaType::Double: {
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, value.toDouble());
      std::string text(buffer, result.ptr);
      if (text.find_first_of(".e") == std::string::npos) text += ".0";  // Python writes 2.0, not 2
      return QJsonObject{{"real", QString::fromStdString(text)}};
    }
    case QMetaType::QString:
      return QJsonObject{{"str", value.toString()}};
    case QMetaType::QByteArray:
      return QJsonObject{{"data", QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QDateTime:
      return QJsonObject{{"date", value.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"))}};
    default:
      return QJsonObject{{"unexpected", QString::fromLatin1(value.typeName())}};
  }
}

class PropertyListFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("plistutil");
    RunCommandOrFail("python3 " + ShellQuote(Script()) + " " + ShellQuote((dir / "sample.plist").string()) + " " +
                     ShellQuote((dir / "expected.json").string()));
    RunCommandOrFail("plistutil -i " + ShellQuote((dir / "sample.plist").string()) + " -o " +
                     ShellQuote((dir / "sample.bplist").string()) + " -f bin");
    expected = QJsonDocument::fromJson(ReadAll(dir / "expected.json"));
    ASSERT_TRUE(expected.isObject());
  }
  TempDir dir;
  QJsonDocument expected;
};

TEST_F(PropertyListFiles, XmlReadsAsPythonReadsIt) {
  QVariant value;
  QString error;
  ASSERT_TRUE(PropertyList::FromFile(QString::fromStdString((dir / "sample.plist").string()), &value, &error))
      << error.toStdString();
  EXPECT_EQ(QJsonDocument(Canon(value).toObject()), expected)
      << QJsonDocument(Canon(value).toObject()).toJson().toStdString();
}

TEST_F(PropertyListFiles, BinaryMadeByPlistutilReadsToTheSameValues) {
  const QByteArray binary = ReadAll(dir / "sample.bplist");
  ASSERT_TRUE(PropertyList::IsBinary(binary));
  QVariant fromBinary, fromXml;
  QString error;
  ASSERT_TRUE(PropertyList::FromData(binary, &fromBinary, &error)) << error.toStdString();
  ASSERT_TRUE(PropertyList::FromData(ReadAll(dir / "sample.plist"), &fromXml, &error)) << error.toStdString();
  EXPECT_EQ(fromBinary, fromXml);
  EXPECT_EQ(QJsonDocument(Canon(fromBinary).toObject()), expected);
}

TEST_F(PropertyListFiles, ValuesHaveTheirQtTypes) {
  QVariant value;
  ASSERT_TRUE(PropertyList::FromData(ReadAll(dir / "sample.bplist"), &value));
  const QVariantMap map = value.toMap();
  EXPECT_EQ(map.value("VersionCheck").typeId(), QMetaType::LongLong);
  EXPECT_EQ(map.value("VersionCheck").toInt(), 42);
  EXPECT_EQ(map.value("Negative").toLongLong(), -17);
  EXPECT_EQ(map.value("Stamp").toDateTime(), QDateTime(QDate(2013, 5, 31), QTime(23, 59, 58), QTimeZone::utc()));
  EXPECT_EQ(map.value("Links").toMap().value("fr").toMap().value("IniURL").toString(),
            "http://example.invalid/fr/version.plist");
  EXPECT_EQ(map.value("1").toStringList(), (QStringList{"jpg", "png", "gif"}));
}

TEST_F(PropertyListFiles, EveryTruncationOfTheBinaryFormIsRefused) {
  const QByteArray binary = ReadAll(dir / "sample.bplist");
  for (qsizetype cut = 0; cut < binary.size(); ++cut) {
    QVariant value = QStringLiteral("untouched");
    QString error;
    EXPECT_FALSE(PropertyList::FromData(binary.left(cut), &value, &error)) << "cut at " << cut;
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(value.toString(), "untouched");
  }
}

TEST_F(PropertyListFiles, TruncationsOfTheXmlFormBeforeItsEndAreRefused) {
  const QByteArray xml = ReadAll(dir / "sample.plist");
  const qsizetype lastClose = xml.lastIndexOf("</dict>");
  ASSERT_GT(lastClose, 0);
  for (qsizetype cut = 0; cut < lastClose; cut += 7) {
    QVariant value;
    EXPECT_FALSE(PropertyList::FromData(xml.left(cut), &value)) << "cut at " << cut;
  }
}

TEST_F(PropertyListFiles, CorruptedBytesNeverCrash) {
  // Every single byte of the binary form overwritten with values that break
  // markers, counts and offsets; results may be values or errors.
  const QByteArray binary = ReadAll(dir / "sample.bplist");
  int refused = 0;
  for (qsizetype at = 0; at < binary.size(); ++at) {
    for (unsigned char b : {0x00, 0x0F, 0x7F, 0xAF, 0xDF, 0xFF}) {
      QByteArray damaged = binary;
      damaged[at] = static_cast<char>(b);
      QVariant value;
      if (!PropertyList::FromData(damaged, &value)) ++refused;
    }
  }
  EXPECT_GT(refused, 0);
}

// A small writer of binary property lists for shapes no tool makes: each
// object is given as raw bytes, references are one byte wide.
QByteArray BinaryPlist(const std::vector<QByteArray>& objects, unsigned top = 0, unsigned offsetSize = 4,
                       unsigned refSize = 1) {
  QByteArray out("bplist00");
  std::vector<quint64> offsets;
  for (const QByteArray& object : objects) {
    offsets.push_back(static_cast<quint64>(out.size()));
    out += object;
  }
  const quint64 table = static_cast<quint64>(out.size());
  auto big = [&](quint64 value, unsigned bytes) {
    for (int i = static_cast<int>(bytes) - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  for (quint64 offset : offsets) big(offset, offsetSize);
  out += QByteArray(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  big(objects.size(), 8);
  big(top, 8);
  big(table, 8);
  return out;
}

QByteArray Bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

TEST(PropertyListHostile, AWellFormedHandMadeBinaryReads) {
  // [ "a", true ] : array of two references, an ASCII string and a boolean.
  const QByteArray data = BinaryPlist({Bytes({0xA2, 1, 2}), Bytes({0x51, 'a'}), Bytes({0x09})});
  QVariant value;
  QString error;
  ASSERT_TRUE(PropertyList::FromData(data, &value, &error)) << error.toStdString();
  EXPECT_EQ(value.toList(), (QVariantList{QStringLiteral("a"), true}));
}

TEST(PropertyListHostile, AnArrayThatContainsItselfIsRefused) {
  QString error;
  EXPECT_FALSE(PropertyList::FromData(BinaryPlist({Bytes({0xA1, 0})}), nullptr, &error));
  EXPECT_FALSE(PropertyList::FromData(BinaryPlist({Bytes({0xA1, 1}), Bytes({0xA1, 0})}), nullptr, &error));
}

TEST(PropertyListHostile, SharedObjectsThatExpandWithoutBoundAreRefused) {
  // Forty arrays each holding the next one twice: 2^40 values once expanded.
  std::vector<QByteArray> objects;
  for (int i = 0; i < 39; ++i) objects.push_back(Bytes({0xA2, i + 1, i + 1}));
  objects.push_back(Bytes({0xA0}));
  QString error;
  EXPECT_FALSE(PropertyList::FromData(BinaryPlist(objects), nullptr, &error));
  EXPECT_TRUE(error.contains("too many")) << error.toStdString();
}

TEST(PropertyListHostile, ModestSharingIsFine) {
  // Ten levels of doubling: 2047 values.
  std::vector<QByteArray> objects;
  for (int i = 0; i < 10; ++i) objects.push_back(Bytes({0xA2, i + 1, i + 1}));
  objects.push_back(Bytes({0x10, 7}));
  QVariant value;
  ASSERT_TRUE(PropertyList::FromData(BinaryPlist(objects), &value));
  EXPECT_EQ(value.toList().size(), 2);
}

TEST(PropertyListHostile, DeepNestingIsRefusedInBothForms) {
  const int depth = 100000;
  QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  xml += QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth) + "</plist>";
  QString error;
  EXPECT_FALSE(PropertyList::FromData(xml, nullptr, &error));
  EXPECT_TRUE(error.contains("deeply")) << error.toStdString();

  // 3000 arrays, each holding the next, with two-byte references.
  QByteArray data("bplist00");
  std::vector<quint64> offsets;
  for (int i = 0; i < 3000; ++i) {
    offsets.push_back(static_cast<quint64>(data.size()));
    if (i + 1 < 3000) {
      data += Bytes({0xA1, (i + 1) >> 8, (i + 1) & 0xFF});
    } else {
      data += Bytes({0xA0});
    }
  }
  const quint64 table = static_cast<quint64>(data.size());
  for (quint64 o : offsets) data += Bytes({0, 0, static_cast<int>((o >> 8) & 0xFF), static_cast<int>(o & 0xFF)});
  data += QByteArray(6, '\0') + Bytes({4, 2});
  for (quint64 v : {quint64{3000}, quint64{0}, table}) {
    for (int i = 7; i >= 0; --i) data += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  EXPECT_FALSE(PropertyList::FromData(data, nullptr, &error));
  EXPECT_TRUE(error.contains("deeply")) << error.toStdString();
}

TEST(PropertyListHostile, ClosingTagsHiddenInCommentsDoNotHideDepth) {
  QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (int i = 0; i < 5000; ++i) xml += "<array><!-- </array> --><![CDATA[</array>]]>";
  xml += QByteArray("</array>").repeated(5000) + "</plist>";
  EXPECT_FALSE(PropertyList::FromData(xml, nullptr));
}

TEST(PropertyListHostile, NestingWithinTheLimitReads) {
  const int depth = 100;
  QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  xml +=
      QByteArray("<array>").repeated(depth) + "<array/><dict/>" + QByteArray("</array>").repeated(depth) + "</plist>";
  QVariant value;
  QString error;
  ASSERT_TRUE(PropertyList::FromData(xml, &value, &error)) << error.toStdString();
  for (int i = 0; i < depth - 1; ++i) {
    ASSERT_EQ(value.toList().size(), 1);
    value = value.toList().first();
  }
  EXPECT_EQ(value.toList().size(), 2);
}

TEST(PropertyListHostile, DamagedTrailersAndReferencesAreRefused) {
  const QByteArray good = BinaryPlist({Bytes({0xA1, 1}), Bytes({0x09})});
  ASSERT_TRUE(PropertyList::FromData(good, nullptr));
  auto patched = [&](qsizetype fromEnd, std::initializer_list<int> bytes) {
    QByteArray data = good;
    qsizetype at = data.size() - fromEnd;
    for (int b : bytes) data[at++] = static_cast<char>(b);
    return data;
  };
  EXPECT_FALSE(PropertyList::FromData(patched(26, {0}), nullptr));                                // offset size 0
  EXPECT_FALSE(PropertyList::FromData(patched(25, {9}), nullptr));                                // reference size 9
  EXPECT_FALSE(PropertyList::FromData(patched(24, {0x7F, 0, 0, 0, 0, 0, 0, 0}), nullptr));        // object count
  EXPECT_FALSE(PropertyList::FromData(patched(16, {0, 0, 0, 0, 0, 0, 0, 5}), nullptr));           // top object
  EXPECT_FALSE(PropertyList::FromData(patched(8, {0xFF, 0, 0, 0, 0, 0, 0, 0}), nullptr));         // table offset
  EXPECT_FALSE(PropertyList::FromData(BinaryPlist({Bytes({0xA1, 7}), Bytes({0x09})}), nullptr));  // bad reference
  // An array claiming 2^63 elements through its extended count.
  EXPECT_FALSE(
      PropertyList::FromData(BinaryPlist({Bytes({0xAF, 0x13, 0x80, 0, 0, 0, 0, 0, 0, 0, 1}), Bytes({0x09})}), nullptr));
  // A dictionary whose references run past the object area.
  EXPECT_FALSE(PropertyList::FromData(BinaryPlist({Bytes({0xD3, 1, 1}), Bytes({0x09})}), nullptr));
}

TEST(PropertyListHostile, StringsAndKeysHoldingNulAreRefused) {
  // { "k\0x": "ok" } and { "k": "a\0b" } in ASCII, and a UTF-16 value with a zero unit.
  EXPECT_FALSE(PropertyList::FromData(
      BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x53, 'k', 0, 'x'}), Bytes({0x52, 'o', 'k'})}), nullptr));
  EXPECT_FALSE(PropertyList::FromData(
      BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x53, 'a', 0, 'b'})}), nullptr));
  EXPECT_FALSE(PropertyList::FromData(
      BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0, 0})}), nullptr));
  QVariant value;
  ASSERT_TRUE(PropertyList::FromData(
      BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0x00, 0xE9})}), &value));
  EXPECT_EQ(value.toMap().value("k").toString(), QString::fromUtf8("a\xC3\xA9"));
  static const char kXml[] = "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>a\0b</string></plist>";
  QString error;
  EXPECT_FALSE(PropertyList::FromData(QByteArray(kXml, sizeof kXml - 1), nullptr, &error));
  EXPECT_TRUE(error.contains("NUL")) << error.toStdString();
  EXPECT_FALSE(PropertyList::FromData("<plist version=\"1.0\"><string>a&#0;b</string></plist>", nullptr));
}

TEST(PropertyListHostile, GarbageEmptyAndOversizedInputsAreRefused) {
  QString error;
  EXPECT_FALSE(PropertyList::FromData(QByteArray(), nullptr, &error));
  EXPECT_FALSE(PropertyList::FromData("not a property list at all", nullptr, &error));
  EXPECT_FALSE(PropertyList::FromData(QByteArray("bplist00"), nullptr, &error));
  EXPECT_FALSE(PropertyList::FromData(QByteArray(PropertyList::kMaxBytes + 1, ' '), nullptr, &error));
  EXPECT_TRUE(error.contains("large"));
  EXPECT_FALSE(PropertyList::FromFile("/nonexistent/file.plist", nullptr, &error));
}

TEST(PropertyListHostile, EntityExpansionEndsQuickly) {
  QByteArray xml =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
      "<plist version=\"1.0\"><string>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</string></plist>";
  QVariant value;
  PropertyList::FromData(xml, &value);  // either answer will do; it must not hang or explode
  EXPECT_LT(value.toString().size(), 1000000);
}

}  // namespace
