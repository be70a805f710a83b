#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>
#include <map>
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
QJsonValue Canon(const QVariant& v) {
  if (v.typeId() == QMetaType::QVariantMap) {
    QJsonObject object;
    for (const auto& [key, item] : v.toMap().asKeyValueRange()) object.insert(key, Canon(item));
    return object;
  }
  if (v.typeId() == QMetaType::QVariantList) {
    QJsonArray array;
    for (const QVariant& item : v.toList()) array.append(Canon(item));
    return array;
  }
  char real[64];
  std::string text(real, std::to_chars(real, real + sizeof real, v.toDouble()).ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";  // Python writes 2.0, not 2
  const std::map<int, std::pair<const char*, QJsonValue>> forms = {
      {QMetaType::Bool, {"bool", v.toBool()}},
      {QMetaType::LongLong, {"int", QString::number(v.toLongLong())}},
      {QMetaType::Double, {"real", QString::fromStdString(text)}},
      {QMetaType::QString, {"str", v.toString()}},
      {QMetaType::QByteArray, {"data", QString::fromLatin1(v.toByteArray().toBase64())}},
      {QMetaType::QDateTime, {"date", v.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"))}}};
  const auto form = forms.find(v.typeId());
  if (form == forms.end()) return QJsonObject{{"unexpected", QString::fromLatin1(v.typeName())}};
  return QJsonObject{{QString::fromLatin1(form->second.first), form->second.second}};
}

// Python's plistlib writes the XML form and its own reading of the values;
// plistutil converts the XML to the binary form. Both forms must read as
// Python reads them, and every cut binary must be refused cleanly.
TEST(PropertyListFiles, XmlAndBinaryReadAsPythonAndPlistutilMakeThem) {
  REQUIRE_TOOL("python3");
  REQUIRE_TOOL("plistutil");
  testsupport::TempDir dir;
  const std::string xmlPath = (dir / "sample.plist").string(), binPath = (dir / "sample.bplist").string();
  testsupport::RunCommandOrFail(
      "python3 " + ShellQuote((testsupport::SourceDir() / "tests/platform/make_plist_sample.py").string()) + " " +
      ShellQuote(xmlPath) + " " + ShellQuote((dir / "expected.json").string()));
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
  }  // damaged bytes are the fuzz target's
  const qsizetype lastClose = xml.lastIndexOf("</dict>");
  for (qsizetype cut = 0; cut < lastClose; cut += 7)
    EXPECT_FALSE(PropertyList::FromData(xml.left(cut), nullptr)) << cut;
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

QByteArray Xml(const QByteArray& body) { return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>"; }

// Shapes no tool makes: what must be refused (with words of the message) and what must still read.
TEST(PropertyListHostile, MalformedAndExplosiveDocumentsAreRefusedAndOddSoundOnesRead) {
  const QByteArray good = BinaryPlist({Bytes({0xA1, 1}), Bytes({0x09})});
  const QByteArray hiddenClose = QByteArray("<array><!-- </array> --><![CDATA[</array>]]>").repeated(5000);
  const QByteArray entities =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
      "<plist version=\"1.0\"><string>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</string></plist>";
  const QVariant read = QStringLiteral("any value");
  const struct {
    const char* what;
    QByteArray data;
    const char* error;  // null: reads, to `expected` unless that is `read`
    QVariant expected = {};
  } cases[] = {
      {"array holding itself", BinaryPlist({Bytes({0xA1, 0})}), ""},
      {"two arrays holding each other", BinaryPlist({Bytes({0xA1, 1}), Bytes({0xA1, 0})}), ""},
      {"2^40 values once shared objects expand", Chain(39, 2, Bytes({0xA0})), "too many"},
      {"2047 values once shared objects expand", Chain(10, 2, Bytes({0x10, 7})), nullptr, read},
      {"binary nested 3000 deep", Chain(2999, 1, Bytes({0xA0}), 2), "deeply"},
      {"XML nested 100000 deep", Xml(QByteArray("<array>").repeated(100000) + QByteArray("</array>").repeated(100000)),
       "deeply"},
      {"XML nested 100 deep", Xml(QByteArray("<array>").repeated(100) + QByteArray("</array>").repeated(100)), nullptr,
       read},
      {"closing tags hidden in comments", Xml(hiddenClose + QByteArray("</array>").repeated(5000)), ""},
      {"offset size 0", Patched(good, 26, {0}), ""},
      {"reference size 9", Patched(good, 25, {9}), ""},
      {"object count", Patched(good, 24, {0x7F, 0, 0, 0, 0, 0, 0, 0}), ""},
      {"top object", Patched(good, 16, {0, 0, 0, 0, 0, 0, 0, 5}), ""},
      {"table offset", Patched(good, 8, {0xFF, 0, 0, 0, 0, 0, 0, 0}), ""},
      {"reference past the objects", BinaryPlist({Bytes({0xA1, 7}), Bytes({0x09})}), ""},
      {"array of 2^63", BinaryPlist({Bytes({0xAF, 0x13, 0x80, 0, 0, 0, 0, 0, 0, 0, 1}), Bytes({0x09})}), ""},
      {"dictionary past the objects", BinaryPlist({Bytes({0xD3, 1, 1}), Bytes({0x09})}), ""},
      {"hand-made array", BinaryPlist({Bytes({0xA2, 1, 2}), Bytes({0x51, 'a'}), Bytes({0x09})}), nullptr,
       QVariantList{QStringLiteral("a"), true}},
      {"key holding NUL", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x53, 'k', 0, 'x'}), Bytes({0x52, 'o', 'k'})}), ""},
      {"ASCII value holding NUL", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x53, 'a', 0, 'b'})}),
       ""},
      {"UTF-16 value holding NUL", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0, 0})}),
       ""},
      {"UTF-16 value", BinaryPlist({Bytes({0xD1, 1, 2}), Bytes({0x51, 'k'}), Bytes({0x62, 0, 'a', 0, 0xE9})}), nullptr,
       QVariantMap{{"k", QString::fromUtf8("a\xC3\xA9")}}},
      {"XML string holding NUL", Xml(QByteArray("<string>a\0b</string>", 20)), "NUL"},
      {"XML character reference to NUL", Xml("<string>a&#0;b</string>"), ""},
      {"empty", QByteArray(), ""},
      {"garbage", "not a property list at all", ""},
      {"signature only", "bplist00", ""},
      {"oversized", QByteArray(PropertyList::kMaxBytes + 1, ' '), "large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QVariant value;
    QString error;
    EXPECT_EQ(PropertyList::FromData(c.data, &value, &error), c.error == nullptr) << error.toStdString();
    if (c.error != nullptr) {
      EXPECT_TRUE(error.contains(QString::fromLatin1(c.error))) << error.toStdString();
    } else if (c.expected != read) {
      EXPECT_EQ(value, c.expected);
    }
  }
  EXPECT_FALSE(PropertyList::FromFile("/nonexistent/file.plist", nullptr));
  QVariant value;
  PropertyList::FromData(entities, &value);  // either answer will do; it must not hang or explode
  EXPECT_LT(value.toString().size(), 1000000);
}

}  // namespace
