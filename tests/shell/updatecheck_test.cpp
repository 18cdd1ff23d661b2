// The update check against a small local HTTP server.
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui/mainform.h"
#include "app/gui/updatecheck.h"
#include "shell_test_support.h"

namespace {

// Answers every request with one fixed HTTP response.
class TTinyServer : public QTcpServer {
 public:
  QByteArray response;
  int requests = 0;
  TTinyServer() {
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = nextPendingConnection()) {
        connect(s, &QTcpSocket::readyRead, s, [this, s] {
          if (!s->readAll().contains("\r\n\r\n"))
            return;
          ++requests;
          s->write(response);
          s->disconnectFromHost();
        });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      }
    });
  }
  static QByteArray Http(int status, const QByteArray& body) {
    return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Not Found") +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }
};

// Switches the check on for one test, pointed at a local address.
class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("VELLUMO_NO_UPDATE_CHECK");
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    Point(QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server.serverPort()));
  }
  void TearDown() override {
    ::setenv("VELLUMO_NO_UPDATE_CHECK", "1", 1);
    ::unsetenv("VELLUMO_UPDATE_URL");
  }
  void Point(const QString& url) { ::setenv("VELLUMO_UPDATE_URL", url.toUtf8().constData(), 1); }
  // Runs one check and returns its outcome.
  TUpdateChecker::TOutcome Run(TUpdateChecker& c, bool report, QString* version = nullptr) {
    QSignalSpy spy(&c, &TUpdateChecker::Finished);
    EXPECT_TRUE(c.Start(report));
    EXPECT_TRUE(spy.wait(5000));
    if (spy.isEmpty())
      return TUpdateChecker::TOutcome::noConnection;
    EXPECT_EQ(spy[0][1].toBool(), report);
    if (version)
      *version = spy[0][2].toString();
    return spy[0][0].value<TUpdateChecker::TOutcome>();
  }
  TTinyServer server;
};

}  // namespace

TEST(UpdateCheckVersions, CompareAndParse) {
  EXPECT_TRUE(TUpdateChecker::IsNewer("0.5", "0.4"));
  EXPECT_TRUE(TUpdateChecker::IsNewer("0.10", "0.9"));
  EXPECT_TRUE(TUpdateChecker::IsNewer("0.4.1", "0.4"));
  EXPECT_FALSE(TUpdateChecker::IsNewer("0.4", "0.4"));
  EXPECT_FALSE(TUpdateChecker::IsNewer("0.4.0", "0.4"));
  EXPECT_FALSE(TUpdateChecker::IsNewer("0.3.9", "0.4"));
  EXPECT_FALSE(TUpdateChecker::IsNewer("x", "0.4"));
  EXPECT_EQ(TUpdateChecker::ParseVersion("0.5\r\n2024-07-01\n"), "0.5");
  EXPECT_EQ(TUpdateChecker::ParseVersion("  1.2.3  "), "1.2.3");
  EXPECT_EQ(TUpdateChecker::ParseVersion("<html>404</html>"), "");
  EXPECT_EQ(TUpdateChecker::ParseVersion(""), "");
}

TEST(UpdateCheckSwitch, OffByEnvironment) {
  ::setenv("VELLUMO_NO_UPDATE_CHECK", "1", 1);
  TUpdateChecker c;
  EXPECT_TRUE(TUpdateChecker::Disabled());
  EXPECT_FALSE(c.Start(true));
  EXPECT_FALSE(c.Running());
}

TEST_F(UpdateCheckTest, Outcomes) {
  TUpdateChecker c;
  QString version;
  server.response = TTinyServer::Http(200, "0.5\n");
  EXPECT_EQ(Run(c, true, &version), TUpdateChecker::TOutcome::newer);
  EXPECT_EQ(version, "0.5");
  server.response = TTinyServer::Http(200, "0.4\n");
  EXPECT_EQ(Run(c, false), TUpdateChecker::TOutcome::upToDate);
  server.response = TTinyServer::Http(404, "no such file");
  EXPECT_EQ(Run(c, true), TUpdateChecker::TOutcome::noInfo);
  server.response = TTinyServer::Http(200, QByteArray(64 * 1024, '9'));  // not a version file
  EXPECT_EQ(Run(c, true), TUpdateChecker::TOutcome::noInfo);
  EXPECT_EQ(server.requests, 4);
  // Nobody listening.
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
  const quint16 port = closed.serverPort();
  closed.close();
  Point(QStringLiteral("http://127.0.0.1:%1/version.txt").arg(port));
  EXPECT_EQ(Run(c, true), TUpdateChecker::TOutcome::noConnection);
}

TEST_F(UpdateCheckTest, WindowReportsOnlyWhatItShould) {
  TTempFolder dir("update");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  QSignalSpy spy(&form.UpdateChecker(), &TUpdateChecker::Finished);

  // The quiet check of the first Open reports nothing when the version is current.
  server.response = TTinyServer::Http(200, "0.4");
  prompter.openAnswers.push_back({});  // the Open dialog is cancelled
  form.ActionByName("mnOpenFile")->trigger();
  ASSERT_TRUE(spy.wait(5000));
  EXPECT_TRUE(prompter.messages.empty());
  prompter.openAnswers.push_back({});
  form.ActionByName("mnOpenFile")->trigger();  // only the first Open of a run checks
  QTest::qWait(200);
  EXPECT_EQ(spy.size(), 1);

  // The menu item reports.
  prompter.answers.push_back(TModalResult::mrOK);
  form.ActionByName("mnCheckUpdate")->trigger();
  ASSERT_TRUE(spy.wait(5000));
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].text, "没有发现新版本，当前版本已经是最新版。");
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::information);

  Point(QStringLiteral("http://127.0.0.1:1/version.txt"));
  prompter.answers.push_back(TModalResult::mrOK);
  form.ActionByName("mnCheckUpdate")->trigger();
  ASSERT_TRUE(spy.wait(5000));
  ASSERT_EQ(prompter.messages.size(), 2u);
  EXPECT_EQ(prompter.messages[1].text, "无法连接主站，请检查网络状态。");
  EXPECT_EQ(prompter.messages[1].kind, TMsgKind::error);

  // An outcome that arrives while a command works waits for its end.
  {
    TBusyGuard busy(form);
    form.UpdateChecker().Start(true);
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_EQ(prompter.messages.size(), 2u);
    prompter.answers.push_back(TModalResult::mrOK);
  }
  QTest::qWait(50);
  EXPECT_EQ(prompter.messages.size(), 3u);
}
