#include "ui/windows/KVUrlOpener.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "app/KVUIRecovery.h"
#include "base/CatchExeception.h"

namespace {

std::function<void(const QUrl&)>& Handler() {
  static std::function<void(const QUrl&)> handler;
  return handler;
}

QString UserName(qint64 uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return QString();
  return QString::fromLocal8Bit(found->pw_name);
}

}  // namespace

bool KVUrlOpener::Open(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  const bool web = (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
  const bool local = url.isLocalFile() && !url.toLocalFile().isEmpty();
  if (!url.isValid() || !(web || local)) return false;
  if (Handler()) {
    Handler()(url);
    return true;
  }
  Command command;
  if (CommandForUser(url, geteuid(), KVUIRecovery::InvokingUser(), QProcessEnvironment::systemEnvironment(),
                     &command)) {
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setProcessEnvironment(command.environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (process.startDetached()) return true;
    CatchExeception::WriteLog("cannot start %s to open a link\n", command.program.toUtf8().constData());
    return false;
  }
  return QDesktopServices::openUrl(url);
}

void KVUrlOpener::SetHandler(std::function<void(const QUrl&)> handler) { Handler() = std::move(handler); }

bool KVUrlOpener::CommandForUser(const QUrl& url, uid_t euid, qint64 uid, const QProcessEnvironment& environment,
                                 Command* command) {
  if (euid != 0 || uid <= 0) return false;
  const QString name = UserName(uid);
  if (name.isEmpty()) return false;
  // runuser keeps the display variables; the session bus and runtime folder
  // are the user's, not root's.
  QProcessEnvironment env = environment;
  const QString runtime = QStringLiteral("/run/user/%1").arg(uid);
  env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
  env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
  if (QFileInfo(runtime).isDir()) {
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + runtime + QStringLiteral("/bus"));
  }
  command->program = QStringLiteral("runuser");
  command->arguments = {QStringLiteral("-u"), name, QStringLiteral("--"), QStringLiteral("xdg-open"),
                        url.toString(QUrl::FullyEncoded)};
  command->environment = env;
  return true;
}
