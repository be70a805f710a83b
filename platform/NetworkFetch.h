// Asynchronous downloads of small documents (the remote version list, the
// network probe of the update check), never blocking the main thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

class QObject;

namespace platform {

struct FetchResult {
  bool ok = false;
  int httpStatus = 0;  // 0 when no HTTP answer came
  QByteArray data;     // the body, when ok
  QString error;       // why not, otherwise
};

// Fetches `url` with GET from the network (never from a cache), following
// redirects that do not lower security. Fails when no data has moved for
// `timeoutMs`, when the server answers with an HTTP error, or when the body
// grows beyond `maxBytes`. `done` is called exactly once, on the calling
// thread, which must run an event loop (the main thread). With a `context`,
// the transfer is abandoned when the context is destroyed first, and `done`
// is then never called.
void FetchUrl(const QUrl& url, int timeoutMs, qint64 maxBytes, std::function<void(const FetchResult&)> done,
              QObject* context = nullptr);

// FetchUrl, then the body read as a property list (PropertyList::FromData).
// `done` gets the value, or an invalid QVariant with the reason.
void FetchPropertyList(const QUrl& url, int timeoutMs, std::function<void(const QVariant&, const QString&)> done,
                       QObject* context = nullptr);

}  // namespace platform
