#include "platform/NetworkFetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThreadStorage>

#include <memory>

#include "platform/PropertyList.h"

namespace platform {

namespace {

QNetworkAccessManager* Manager() {
  // One per thread: a manager may only be used from the thread it lives in.
  static QThreadStorage<QNetworkAccessManager*> managers;
  if (!managers.hasLocalData()) managers.setLocalData(new QNetworkAccessManager);
  return managers.localData();
}

}  // namespace

void FetchUrl(const QUrl& url, int timeoutMs, qint64 maxBytes, std::function<void(const FetchResult&)> done,
              QObject* context) {
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setTransferTimeout(timeoutMs > 0 ? timeoutMs : 1);
  QNetworkReply* reply = Manager()->get(request);
  auto tooLarge = std::make_shared<bool>(false);
  if (context != nullptr) {
    // Aborting finishes the reply at once; the mark keeps `done` from a
    // caller that is gone.
    QObject::connect(context, &QObject::destroyed, reply, [reply] {
      reply->setProperty("abandoned", true);
      reply->abort();
    });
  }
  auto checkSize = [reply, maxBytes, tooLarge](qint64 received) {
    if (received > maxBytes && !*tooLarge) {
      *tooLarge = true;
      reply->abort();
    }
  };
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                   [checkSize](qint64 received, qint64) { checkSize(received); });
  QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, checkSize] { checkSize(reply->bytesAvailable()); });
  QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, checkSize] {
    // A declared length beyond the limit ends the transfer before any data.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) checkSize(length.toLongLong());
  });
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, maxBytes, tooLarge, done = std::move(done)] {
    reply->deleteLater();
    if (reply->property("abandoned").toBool()) return;
    FetchResult result;
    result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (*tooLarge) {
      result.error = QStringLiteral("the answer is larger than %1 bytes").arg(maxBytes);
    } else if (reply->error() != QNetworkReply::NoError) {
      result.error = reply->errorString();
    } else {
      result.data = reply->read(maxBytes + 1);
      if (result.data.size() > maxBytes) {
        result.data.clear();
        result.error = QStringLiteral("the answer is larger than %1 bytes").arg(maxBytes);
      } else {
        result.ok = true;
      }
    }
    if (done) done(result);
  });
}

void FetchPropertyList(const QUrl& url, int timeoutMs, std::function<void(const QVariant&, const QString&)> done,
                       QObject* context) {
  auto parse = [done = std::move(done)](const FetchResult& result) {
    if (!done) return;
    if (!result.ok) {
      done(QVariant(), result.error);
      return;
    }
    QVariant value;
    QString error;
    if (!PropertyList::FromData(result.data, &value, &error)) {
      done(QVariant(), error);
      return;
    }
    done(value, QString());
  };
  FetchUrl(url, timeoutMs, PropertyList::kMaxBytes, std::move(parse), context);
}

}  // namespace platform
