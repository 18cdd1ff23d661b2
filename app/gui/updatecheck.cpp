#include "app/gui/updatecheck.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>

#include <cstdlib>

#include "app/shell/version.h"

TUpdateChecker::TUpdateChecker(QObject* parent) : QObject(parent) {}

TUpdateChecker::~TUpdateChecker() { Stop(); }

bool TUpdateChecker::Disabled() {
  const char* off = std::getenv("VELLUMO_NO_UPDATE_CHECK");
  return off && *off && std::string(off) != "0";
}

bool TUpdateChecker::Start(bool report) {
  Stop();
  if (Disabled())
    return false;
  report_ = report;
  const char* custom = std::getenv("VELLUMO_UPDATE_URL");
  QNetworkRequest request(QUrl(QString::fromUtf8(custom && *custom ? custom : kUpdateInfoUrl)));
  request.setTransferTimeout(kTimeoutMs);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Vellumo/%1").arg(QString::fromUtf8(kVersionText)));
  QNetworkReply* reply = manager_.get(request);
  reply_ = reply;
  oversize_ = false;
  connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64) {
    if (received > kMaxBytes) {
      oversize_ = true;  // an information file is a few bytes; anything bigger is not one
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::finished, this, &TUpdateChecker::OnFinished);
  return true;
}

void TUpdateChecker::Stop() {
  if (QNetworkReply* r = reply_.data()) {
    reply_ = nullptr;
    r->disconnect(this);
    r->abort();
    r->deleteLater();
  }
}

QString TUpdateChecker::ParseVersion(const QByteArray& content) {
  const QString first = QString::fromUtf8(content.left(kMaxBytes)).section(QLatin1Char('\n'), 0, 0).trimmed();
  static const QRegularExpression kVersion(QStringLiteral("^\\d{1,6}(\\.\\d{1,6}){0,3}$"));
  return kVersion.match(first).hasMatch() ? first : QString();
}

bool TUpdateChecker::IsNewer(const QString& candidate, const QString& current) {
  const QStringList a = candidate.split(QLatin1Char('.')), b = current.split(QLatin1Char('.'));
  for (int i = 0; i < std::max(a.size(), b.size()); ++i) {
    bool okA = true, okB = true;
    const qlonglong x = i < a.size() ? a[i].toLongLong(&okA) : 0;
    const qlonglong y = i < b.size() ? b[i].toLongLong(&okB) : 0;
    if (!okA || !okB)
      return false;
    if (x != y)
      return x > y;
  }
  return false;
}

void TUpdateChecker::OnFinished() {
  QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
  if (!reply || reply != reply_.data())
    return;
  reply_ = nullptr;
  reply->deleteLater();
  const QNetworkReply::NetworkError err = reply->error();
  TOutcome outcome;
  QString version;
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (err == QNetworkReply::NoError && status >= 200 && status < 300) {
    version = ParseVersion(reply->read(kMaxBytes));
    if (version.isEmpty())
      outcome = TOutcome::noInfo;
    else
      outcome = IsNewer(version, QString::fromUtf8(kVersionText)) ? TOutcome::newer : TOutcome::upToDate;
  } else if (oversize_ || status >= 300 || err == QNetworkReply::ContentNotFoundError ||
             err == QNetworkReply::ContentAccessDenied || err == QNetworkReply::ContentGoneError) {
    // The server answered, but not with the file (or with far more than a version text).
    outcome = TOutcome::noInfo;
  } else {
    outcome = TOutcome::noConnection;
  }
  emit Finished(outcome, report_, version);
}
