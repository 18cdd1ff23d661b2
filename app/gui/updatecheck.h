// TUpdateChecker: asks the maker's web server whether a newer version exists.
//
// One asynchronous HTTP GET of a small text file (kUpdateInfoUrl, or $VELLUMO_UPDATE_URL)
// whose first line is the newest version text. The reply is capped at kMaxBytes and the request
// at kTimeoutMs; nothing is ever downloaded beyond that file, saved or run. Outcomes:
//   newer       the file names a later version than ours
//   upToDate    it names ours or an earlier one
//   noInfo      the server answered, but not with a version text (a missing file, say)
//   noConnection the server could not be reached, or the request timed out
// With VELLUMO_NO_UPDATE_CHECK=1 in the environment no request is made at all.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QNetworkReply>

class TUpdateChecker final : public QObject {
  Q_OBJECT
 public:
  enum class TOutcome : std::uint8_t { newer, upToDate, noInfo, noConnection };
  static constexpr int kTimeoutMs = 10000;
  static constexpr qint64 kMaxBytes = 4096;

  explicit TUpdateChecker(QObject* parent = nullptr);
  ~TUpdateChecker() override;
  static bool Disabled();
  // Stops a check in progress and starts a new one; `report` marks the outcome as to be
  // reported to the user. False when checking is switched off.
  bool Start(bool report);
  void Stop();
  bool Running() const { return reply_ != nullptr; }

  // Compares dotted version texts ("0.10" > "0.9"); false when either is not one.
  static bool IsNewer(const QString& candidate, const QString& current);
  // The version text of an information file, or "" when it holds none.
  static QString ParseVersion(const QByteArray& content);

 signals:
  // `report` as given to Start; `version` the newest version for `newer`.
  void Finished(TOutcome outcome, bool report, const QString& version);

 private:
  void OnFinished();
  QNetworkAccessManager manager_;
  QPointer<QNetworkReply> reply_;
  bool report_ = false;
  bool oversize_ = false;
};
