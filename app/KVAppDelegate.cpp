#include "app/KVAppDelegate.h"

#include <QPointer>
#include <QVariantMap>

#include <cstdlib>

#include "app/KVLinkUrl.h"
#include "app/KVPublicUtilities.h"
#include "app/KVUSBNotifier.h"
#include "base/CatchExeception.h"
#include "platform/NetworkFetch.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"

namespace {

const QString kWillTerminate = QStringLiteral("appWillTerminate");

QVariant LocalVersionList() {
  QVariant list;
  if (!platform::Resources::ReadPropertyList(QStringLiteral("LocalVersionMessage"), &list)) return QVariant();
  return list;
}

}  // namespace

KVAppDelegate::KVAppDelegate(Hooks hooks, QObject* parent) : QObject(parent), m_hooks(std::move(hooks)) {
  if (!m_hooks.startWatcher) m_hooks.startWatcher = [] { return USBNotifier_init(); };
  if (!m_hooks.closeApp) m_hooks.closeApp = [] { std::exit(0); };
  if (!m_hooks.now) m_hooks.now = [] { return QDateTime::currentDateTime(); };
  m_remoteUrl = DefaultRemoteListUrl();
}

KVAppDelegate::~KVAppDelegate() { platform::NotificationCenter::DefaultCenter().RemoveObserver(this); }

QUrl KVAppDelegate::DefaultRemoteListUrl() {
  // The address ships with the resources (or the build) so a release can
  // move it; only web addresses are taken.
  return KVLinkUrl::WebUrl(QStringLiteral("IniURL"));
}

bool KVAppDelegate::ShouldCheckForUpdate(const QVariant& stamp, const QDateTime& now) {
  const QString text = stamp.toString();
  if (text.isEmpty() || text == QLatin1String(" ")) return true;
  const QDateTime last = QDateTime::fromString(text, QString::fromLatin1(kStampFormat));
  if (!last.isValid()) return true;
  const qint64 seconds = last.secsTo(now);
  if (seconds < 0) return true;
  return static_cast<qint64>(static_cast<double>(seconds) / 86400.0) >= kCheckIntervalDays;
}

qlonglong KVAppDelegate::VersionCheck(const QVariant& list) {
  if (list.typeId() != QMetaType::QVariantMap) return 0;
  const QVariant value = list.toMap().value(QStringLiteral("VersionCheck"));
  bool ok = false;
  qlonglong number = 0;
  switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::ULongLong:
      number = value.toLongLong(&ok);
      break;
    case QMetaType::QString:
      number = value.toString().trimmed().toLongLong(&ok, 10);
      break;
    default:
      break;
  }
  return ok && number > 0 ? number : 0;
}

void KVAppDelegate::applicationDidFinishLaunching() {
  platform::NotificationCenter::DefaultCenter().AddObserver(
      kWillTerminate, this, [this](const platform::Notification&) { applicationWillTerminate(); });
  m_hooks.startWatcher();

  m_checkStarted = ShouldCheckForUpdate(KVPublicUtilities::getUpDataTimeStr(), m_hooks.now());
  if (m_checkStarted && m_remoteUrl.isEmpty()) {
    // A build that names no version list has nothing to check; the stamp is
    // left as it is, so the next start says so again.
    CatchExeception::WriteLog("update check skipped: no address for the remote version list (IniURL)\n");
    m_checkStarted = false;
  }
  if (!m_checkStarted) {
    runRootWindow();
    return;
  }
  // The stamp goes first: a check that crashes or hangs must not run again on
  // every start.
  KVPublicUtilities::writeUpDataTimeStr(m_hooks.now().toString(QString::fromLatin1(kStampFormat)));
  QPointer<KVAppDelegate> self(this);
  platform::FetchPropertyList(
      m_remoteUrl, kFetchTimeoutMs,
      [self](const QVariant& remote, const QString&) {
        if (self) self->OnRemoteList(remote);
      },
      this);
}

void KVAppDelegate::OnRemoteList(const QVariant& remote) {
  // A list that arrived proves the network works, so no separate probe is
  // made; a failed fetch gives an invalid value, whose number reads as 0.
  if (VersionCheck(remote) > VersionCheck(LocalVersionList()) && m_hooks.showUpdateWindow) {
    m_hooks.showUpdateWindow();
    return;
  }
  runRootWindow();
}

void KVAppDelegate::runRootWindow() {
  if (m_rootShown) return;
  m_rootShown = true;
  if (m_hooks.showRootWindow) m_hooks.showRootWindow();
}

bool KVAppDelegate::applicationShouldTerminate() {
  if (!m_hooks.isOperationRunning || !m_hooks.isOperationRunning()) return true;
  if (m_asking) return false;
  if (m_hooks.isOperationPaused && !m_hooks.isOperationPaused() && m_hooks.pauseOrResumeOperation)
    m_hooks.pauseOrResumeOperation();
  if (!m_hooks.askToQuit) return false;
  m_asking = true;
  QPointer<KVAppDelegate> self(this);
  m_hooks.askToQuit([self](bool quit) {
    if (self) self->alertEnded(quit ? 1 : 0);
  });
  return false;
}

void KVAppDelegate::alertEnded(int code) {
  m_asking = false;
  if (code != 0) {
    applicationWillTerminate();
    return;
  }
  // Declining goes on with the operation the question paused.
  if (m_hooks.isOperationRunning && m_hooks.isOperationRunning() && m_hooks.isOperationPaused &&
      m_hooks.isOperationPaused() && m_hooks.pauseOrResumeOperation)
    m_hooks.pauseOrResumeOperation();
}

void KVAppDelegate::aboutAction() {
  if (m_hooks.showAboutWindow) m_hooks.showAboutWindow();
}

void KVAppDelegate::CheckUpAction() {
  if (canCheckForUpdates() && m_hooks.showUpdateWindowFromMenu) m_hooks.showUpdateWindowFromMenu();
}

bool KVAppDelegate::hasOnlineHelp() { return !KVLinkUrl::WebUrl(QStringLiteral("HelpURL")).isEmpty(); }

void KVAppDelegate::onlineHelp() {
  const QUrl url = KVLinkUrl::WebUrl(QStringLiteral("HelpURL"));
  if (!url.isEmpty() && m_hooks.openUrl) m_hooks.openUrl(url);
}

void KVAppDelegate::applicationWillTerminate() {
  platform::NotificationCenter::DefaultCenter().RemoveObserver(this);
  if (m_hooks.hideMainWindow) m_hooks.hideMainWindow();
  m_hooks.closeApp();
}
