#include "platform/Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <mutex>

#include "base/CatchExeception.h"
#include "platform/PropertyList.h"
#include "platform/StringsTable.h"
#include "platform/UserDefaults.h"

#ifndef CLIPMENDER_SOURCE_RESOURCES
#define CLIPMENDER_SOURCE_RESOURCES ""
#endif

namespace platform {

namespace {

struct State {
  std::mutex mutex;
  QString root;  // empty until resolved
  QString overrideRoot;
  QString localization;                            // empty until chosen
  QHash<QString, QHash<QString, QString>> tables;  // "language/table" -> entries
};

State& GetState() {
  static State* state = new State;  // never destroyed: any thread may still ask
  return *state;
}

QString ExecutableDir() {
  if (QCoreApplication::instance() != nullptr) return QCoreApplication::applicationDirPath();
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

QString ResolveRoot(const State& state) {
  const QByteArray fromEnv = qgetenv("CLIPMENDER_RESOURCE_DIR");
  if (!fromEnv.isEmpty()) return QString::fromLocal8Bit(fromEnv);
  if (!state.overrideRoot.isEmpty()) return state.overrideRoot;
  const QString installed = ExecutableDir() + QStringLiteral("/../share/clipmender");
  if (QFileInfo(installed).isDir()) return QDir::cleanPath(installed);
  return QString::fromUtf8(CLIPMENDER_SOURCE_RESOURCES);
}

QString RootLocked(State& state) {
  if (state.root.isEmpty()) state.root = ResolveRoot(state);
  return state.root;
}

QString StringsDir(State& state) { return RootLocked(state) + QStringLiteral("/strings"); }

// "pt-BR" -> {"pt_BR", "pt"}.
QStringList Candidates(const QString& language) {
  QString code = language;
  code.replace(u'-', u'_');
  QStringList out{code};
  const qsizetype cut = code.indexOf(u'_');
  if (cut > 0) out << code.left(cut);
  return out;
}

QString ChooseLocalization(State& state) {
  const QString dir = StringsDir(state);
  for (const QString& language : Resources::PreferredLanguages()) {
    for (const QString& candidate : Candidates(language)) {
      if (QFileInfo(dir + QLatin1Char('/') + candidate).isDir()) return candidate;
    }
  }
  return QLatin1String(Resources::kFallbackLanguage);
}

const QHash<QString, QString>& TableLocked(State& state, const QString& language, const QString& table) {
  const QString cacheKey = language + QLatin1Char('/') + table;
  auto it = state.tables.find(cacheKey);
  if (it != state.tables.end()) return *it;
  QHash<QString, QString> entries;
  const QString path = StringsDir(state) + QLatin1Char('/') + cacheKey + QStringLiteral(".strings");
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray data = file.read(StringsTable::kMaxBytes + 1);
    QString error;
    if (!StringsTable::Load(data, &entries, &error)) {
      entries.clear();
      CatchExeception::WriteLog("string table %s is unusable: %s\n", path.toUtf8().constData(),
                                error.toUtf8().constData());
    }
  }
  return *state.tables.insert(cacheKey, entries);
}

bool IsTableName(const QString& table) {
  if (table.isEmpty() || table.size() > 64) return false;
  for (QChar c : table) {
    if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'_' && c != u'-') return false;
  }
  return true;
}

}  // namespace

QString Resources::Root() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return RootLocked(state);
}

void Resources::SetRoot(const QString& root) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.overrideRoot = root;
  state.root.clear();
  state.localization.clear();
  state.tables.clear();
}

QString Resources::PathForResource(const QString& name, const QString& type) {
  if (name.isEmpty() || name.contains(u'/') || type.contains(u'/') || name.startsWith(u'.')) return {};
  const QString path = Root() + QLatin1Char('/') + name + (type.isEmpty() ? QString() : QLatin1Char('.') + type);
  return QFileInfo(path).isFile() ? path : QString();
}

bool Resources::ReadPropertyList(const QString& name, QVariant* out, QString* error) {
  const QString path = PathForResource(name, QStringLiteral("plist"));
  if (path.isEmpty()) {
    if (error != nullptr) *error = QStringLiteral("no resource %1.plist in %2").arg(name, Root());
    return false;
  }
  return PropertyList::FromFile(path, out, error);
}

QString Resources::LocalizedString(const QString& key, const QString& table) {
  if (!IsTableName(table)) return key;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.localization.isEmpty()) state.localization = ChooseLocalization(state);
  const auto& chosen = TableLocked(state, state.localization, table);
  if (auto it = chosen.find(key); it != chosen.end()) return *it;
  const QString fallback = QLatin1String(kFallbackLanguage);
  if (state.localization != fallback) {
    const auto& english = TableLocked(state, fallback, table);
    if (auto it = english.find(key); it != english.end()) return *it;
  }
  return key;
}

QString Resources::Localization() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.localization.isEmpty()) state.localization = ChooseLocalization(state);
  return state.localization;
}

QStringList Resources::PreferredLanguages() {
  QStringList languages = UserDefaults::Standard().PreferredLanguages();
  if (languages.isEmpty()) languages = QLocale::system().uiLanguages();
  QStringList out;
  for (const QString& language : languages) {
    if (IsLanguageCode(language)) out << language;
  }
  return out;
}

void Resources::ReloadStrings() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.localization.clear();
  state.tables.clear();
}

bool Resources::IsLanguageCode(const QString& code) {
  if (code.isEmpty() || code.size() > 35) return false;
  if (!(code[0].unicode() < 128 && code[0].isLetter())) return false;
  for (QChar c : code) {
    if (!(c.unicode() < 128 && c.isLetterOrNumber()) && c != u'_' && c != u'-') return false;
  }
  return true;
}

}  // namespace platform
