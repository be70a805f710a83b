#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using platform::PropertyList;
using testsupport::ShellQuote;

QByteArray ReadAll(const std::filesystem::path& path) {
  const std::vector<uint8_t> bytes = testsupport::ReadFile(path);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// The canonical JSON form that make_plist_sample.py writes.
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
      std::string text(buffer, std::to_chars(buffer, buffer + sizeof buffer, value.toDouble()).ptr);
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

// Python's plistlib writes the XML form and its own reading of the values;
// plistutil converts the XML to the binary form. Both forms must read as
// Python reads them, and every cut or damaged binary must be refused cleanly.
TEST(PropertyListFiles, XmlAndBinaryReadAsPythonAndPlistutilMakeThem) {
  REQUIRE_TOOL("python3");
  REQUIRE_TOOL("plistutil");
  testsupport::TempDir dir;
  const std::string xmlPath = (dir / "sample.plist").string(), binPath = (dir / "sample.bplist").string();
  testsupport::RunCommandOrFail("python3 " +
                                ShellQuote((testsupport::SourceDir() / "tests/platform/make_plist_sample.py").string()) +
                                " " + ShellQuote(xmlPath) + " " + ShellQuote((dir / "expected.json").string()));
  testsupport::RunCommandOrFail("plistutil -i " + ShellQuote(xmlPath) + " -o " + ShellQuote(binPath) + " -f bin");
  const QJsonDocument expected = QJsonDocument::fromJson(ReadAll(dir / "expected.json"));
  ASSERT_TRUE(expected.isObject());

  const QByteArray xml = ReadAll(xmlPath), binary = ReadAll(binPath);
  ASSERT_TRUE(PropertyList::IsBinary(binary));
  for (const QByteArray& data : {xml, binary}) {
    QVariant value;
    QString error;
    ASSERT_TRUE(PropertyList::FromData(data, &value, &error)) << error.toStdString();
    EXPECT_EQ(QJsonDocument(Canon(value).toObject()), expected)
        << QJsonDocument(Canon(value).toObject()).toJson().toStdString();
  }

  for (qsizetype at = 0; at < binary.size(); ++at) {
    QVariant value = QStringLiteral("untouched");
    QString error;
    EXPECT_FALSE(PropertyList::FromData(binary.left(at), &value, &error)) << "cut at " << at;
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(value.toString(), "untouched");
    for (unsigned char b : {0x00, 0x0F, 0x7F, 0xDF, 0xFF}) {  // must not crash; either answer will do
      QByteArray damaged = binary;
      damaged[at] = static_cast<char>(b);
      PropertyList::FromData(damaged, &value);
    }
  }
  const qsizetype lastClose = xml.lastIndexOf("</dict>");
  for (qsizetype cut = 0; cut < lastClose; cut += 7) EXPECT_FALSE(PropertyList::FromData(xml.left(cut), nullptr)) << cut;
}

QByteArray Bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// A binary property list of the given raw objects, for shapes no tool makes.
QByteArray BinaryPlist(const std::vector<QByteArray>& objects, unsigned refSize = 1) {
  QByteArray out("bplist00");
  std::vector<quint64> offsets;
  for (const QByteArray& object : objects) {
    offsets.push_back(static_cast<quint64>(out.size()));
    out += object;
  }
  const quint64 table = static_cast<quint64>(out.size());
  auto big = [&](quint64 value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  for (quint64 offset : offsets) big(offset, 4);
  out += QByteArray(6, '\0') + Bytes({4, static_cast<int>(refSize)});
  big(objects.size(), 8);
  big(0, 8);
  big(table, 8);
  return out;
}

// Arrays each holding the next one `width` times, `levels` deep, ending in `last`.
QByteArray Chain(int levels, int width, const QByteArray& last, unsigned refSize = 1) {
  std::vector<QByteArray> objects;
  for (int i = 1; i <= levels; ++i) {
    QByteArray array = Bytes({0xA0 | width});
    for (int w = 0; w < width; ++w) array += refSize == 1 ? Bytes({i}) : Bytes({i >> 8, i & 0xFF});
    objects.push_back(array);
  }
  objects.push_back(last);
  return BinaryPlist(objects, refSize);
}

QByteArray Patched(QByteArray data, qsizetype fromEnd, std::initializer_list<int> bytes) {
  qsizetype at = data.size() - fromEnd;
  for (int b : bytes) data[at++] = static_cast<char>(b);
  return data;
}

const QByteArray kXmlHead = "<?xml version=\"1.0\"?><plist version=\"1.0\">";

TEST(PropertyListHostile, MalformedAndExplosiveDocumentsAreRefused) {
  const QByteArray good = BinaryPlist({Bytes({0xA1, 1}), Bytes({0x09})});
  QByteArray commentsHideDepth = kXmlHead;
  for (int i = 0; i < 5000; ++i) commentsHideDepth += "<array><!-- </array> --><![CDATA[</array>]]>";
  commentsHideDepth += QByteArray("</array>").repeated(5000) + "</plist>";
  static const char kXmlNul[] = "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>a\0b</string></plist>";
  const struct {
    const char* what;
    QByteArray data;
    const char* error;
  } cases[] = {
      {"array holding itself", BinaryPlist({Bytes({0xA1, 0})}), ""},
      {"two arrays holding each other", BinaryPlist({Bytes({0xA1, 1}), Bytes({0xA1, 0})}), ""},
      {"2^40 values once shared objects expand", Chain(39, 2, Bytes({0xA0})), "too many"},
      {"binary nested 3000 deep", Chain(2999, 1, Bytes({0xA0}), 2), "deeply"},
      {"XML nested 100000 deep",
       kXmlHead + QByteArray("<array>").repeated(100000) + QByteArray("</array>").repeated(100000) + "</plist>",
       "deeply"},
      {"closing tags hidden in comments", commentsHideDepth, ""},
      {"offset size 0", Patched(good, 26, {0}), ""},
      {"reference size 9", Patched(good, 25, {9}), ""},
      {"object count", Patched(good, 24, {0x7F, 0, 0, 0, 0, 0, 0, 0}), ""},
      {"top object", Patched(good, 16, {0, 0, 0, 0, 0, 0, 0, 5}), ""},
      {"table offset", Patched(good, 8, {0xFF, 0, 0, 0, 0, 0, 0, 0}), ""},
      {"reference past the objects", BinaryPlist({Bytes({0xA1, 7}), Bytes({0x09})}), ""},
      {"array of 2^63", BinaryPlist({Bytes({0xAF, 0x13, 0x80, 0, 0, 0, 0, 0, 0, 0, 1}), Bytes({0x09})}), ""},
      {"dictionary past the objects", BinaryPlist({Bytes({0xD3, 1, 1}), Bytes({0x09})}), ""},
      {"key holding NUL", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x53, 'k', 0, 'x'}), Bytes({0x52, 'o', 'k'})}), ""},
      {"ASCII value holding NUL", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x53, 'a', 0, 'b'})}),
       ""},
      {"UTF-16 value holding NUL",
       BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0, 0})}), ""},
      {"XML string holding NUL", QByteArray(kXmlNul, sizeof kXmlNul - 1), "NUL"},
      {"XML character reference to NUL", "<plist version=\"1.0\"><string>a&#0;b</string></plist>", ""},
      {"empty", QByteArray(), ""},
      {"garbage", "not a property list at all", ""},
      {"signature only", "bplist00", ""},
      {"oversized", QByteArray(PropertyList::kMaxBytes + 1, ' '), "large"},
  };
  ASSERT_TRUE(PropertyList::FromData(good, nullptr));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QString error;
    EXPECT_FALSE(PropertyList::FromData(c.data, nullptr, &error));
    EXPECT_TRUE(error.contains(QString::fromLatin1(c.error))) << error.toStdString();
  }
  EXPECT_FALSE(PropertyList::FromFile("/nonexistent/file.plist", nullptr));

  QByteArray entities =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
      "<plist version=\"1.0\"><string>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</string></plist>";
  QVariant value;
  PropertyList::FromData(entities, &value);  // either answer will do; it must not hang or explode
  EXPECT_LT(value.toString().size(), 1000000);
}

TEST(PropertyListHostile, UnusualButSoundDocumentsRead) {
  QVariant value;
  ASSERT_TRUE(PropertyList::FromData(BinaryPlist({Bytes({0xA2, 1, 2}), Bytes({0x51, 'a'}), Bytes({0x09})}), &value));
  EXPECT_EQ(value.toList(), (QVariantList{QStringLiteral("a"), true}));
  ASSERT_TRUE(PropertyList::FromData(Chain(10, 2, Bytes({0x10, 7})), &value));  // 2047 values
  EXPECT_EQ(value.toList().size(), 2);
  ASSERT_TRUE(PropertyList::FromData(
      BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0x00, 0xE9})}), &value));
  EXPECT_EQ(value.toMap().value("k").toString(), QString::fromUtf8("a\xC3\xA9"));

  const int depth = 100;
  QString error;
  ASSERT_TRUE(PropertyList::FromData(kXmlHead + QByteArray("<array>").repeated(depth) + "<array/><dict/>" +
                                         QByteArray("</array>").repeated(depth) + "</plist>",
                                     &value, &error))
      << error.toStdString();
  for (int i = 0; i < depth - 1; ++i) {
    ASSERT_EQ(value.toList().size(), 1);
    value = value.toList().first();
  }
  EXPECT_EQ(value.toList().size(), 2);
}

}  // namespace
