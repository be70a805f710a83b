// The application's resources: property lists ("FileType",
// "LocalVersionMessage") and localised string tables, read-only.
//
// The resource root is, in order: the folder named by CLIPMENDER_RESOURCE_DIR,
// the folder given to SetRoot (tests), "<executable folder>/../share/clipmender"
// when it exists (an installed copy), and the source tree's resources/ folder
// (a build run from its build folder).
//
// String tables live in "<root>/strings/<language>/<table>.strings". The
// language is the first preferred language (UserDefaults, else the system's
// languages) that has a folder there, tried as given ("pt_BR") and then by its
// base ("pt"); a key missing there is taken from English, and a key missing in
// English gives the key itself.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace platform {

class Resources {
 public:
  static constexpr const char* kDefaultTable = "Localizable";
  static constexpr const char* kFallbackLanguage = "en";

  // The resource root, resolved on first use.
  static QString Root();
  // Replaces the root (tests) and forgets every cached table.
  static void SetRoot(const QString& root);

  // "<root>/<name>.<type>" when that file exists, else the empty text.
  static QString PathForResource(const QString& name, const QString& type);
  // Reads the property list "<root>/<name>.plist".
  static bool ReadPropertyList(const QString& name, QVariant* out, QString* error = nullptr);

  // The text of `key` in the interface language (see above).
  static QString LocalizedString(const QString& key, const QString& table = QLatin1String(kDefaultTable));
  // The language whose tables are used ("en" when none of the preferred ones
  // has tables).
  static QString Localization();
  // The preferred languages, most preferred first, as stored or as the system
  // reports them; entries that are not language codes are left out.
  static QStringList PreferredLanguages();
  // Forgets the chosen language and the cached tables (after the preferred
  // languages changed).
  static void ReloadStrings();

  // Whether `code` looks like a language code: 1 to 35 letters, digits, "_"
  // or "-", starting with a letter. Nothing else is used to build a path.
  static bool IsLanguageCode(const QString& code);
};

}  // namespace platform
