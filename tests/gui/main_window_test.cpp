// The main window driven as an operator would: the Start/Stop state table against the real
// server and a real client, Setup refused while running, Clear and the emptying at the
// log-line limit, the rate figures with an injected tick source, closing, the About item.
#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <optional>

#include "console/about_dlg.h"
#include "console/rureza_dlg.h"
#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "console/skinned_list_box.h"
#include "console/stop_confirm_dlg.h"
#include "gui/gui_test_support.h"
#include "platform/thread.h"
#include "server/activity_log.h"
#include "server/local_address.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza {
namespace {

QString Text(const CRurezaDlg& window, const char* label) {
  return window.findChild<CSkinnedLabel*>(QString::fromLatin1(label))->text();
}

QPushButton* Button(const CRurezaDlg& window, const char* name) {
  return window.findChild<QPushButton*>(QString::fromLatin1(name));
}

QStringList Lines(const CSkinnedListBox* list) {
  QStringList lines;
  for (int i = 0; i < list->GetCount(); ++i) lines << list->GetText(i);
  return lines;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::optional<test::ScratchDir> scratch_;
  uint16_t port_ = 0;

 private slots:
  void init() {
    scratch_.emplace();
    port_ = test::FreeBasePort();
    test::WriteSettingsFile(test::TestSettings(port_, 2, 1000), scratch_->FilePath("sv.dat"));
  }

  void cleanup() {
    if (ServerIsRunning()) StopServer();
    QVERIFY(WaitForThreadsToEnd(10000));
    scratch_.reset();
  }

  void firstDisplayShowsTheRecordAndTheCounters() {
    CRurezaDlg window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Zivevir Media server"));
    QCOMPARE(window.size(), QSize(536, 510));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(CurrentSettings().port, port_);
    QCOMPARE(Text(window, "m_rate"), QStringLiteral("0.0000"));
    QCOMPARE(Text(window, "m_users"), QStringLiteral("0"));
    QCOMPARE(Text(window, "m_transferred"), QString::number(Traffic().sendCalls.load()));
    QCOMPARE(Text(window, "m_received"), QString::number(Traffic().receiveCalls.load()));
    QCOMPARE(Text(window, "m_hostname"), QString::fromStdString(HostName()));
    QCOMPARE(Text(window, "m_ipaddr"), QString::fromStdString(LocalAddressText().value_or("")));
    QLabel* clockLabel = window.findChild<QLabel*>(QStringLiteral("clock"));
    QVERIFY(!clockLabel->isHidden());  // the operator watches it on the side panel
    const QString clock = clockLabel->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(clock).hasMatch(),
             qPrintable(clock));
    QPushButton* help = Button(window, "help");
    QVERIFY(!help->isEnabled());
    QVERIFY(help->isHidden());
    // Dialog units at 1.5 x 1.75: the list at (18, 34, 230, 150), Exit at (172, 259, 51, 15).
    QCOMPARE(window.LogList()->geometry(), QRect(27, 60, 345, 262));
    QCOMPARE(Button(window, "exit")->geometry(), QRect(258, 453, 77, 27));
  }

  void startAndStopWithoutClients() {
    CRurezaDlg window;
    QPushButton* startStop = Button(window, "startStop");
    QPushButton* setup = Button(window, "setup");
    QCOMPARE(startStop->text(), QStringLiteral("Start"));
    QVERIFY(setup->isEnabled());

    startStop->click();
    QVERIFY(window.IsRunning());
    QVERIFY(ServerIsRunning());
    QCOMPARE(startStop->text(), QStringLiteral("Stop"));
    QVERIFY(!setup->isEnabled());
    const QString started = QStringLiteral("Server Started : [%1] with port %2")
                                .arg(QString::fromStdString(LocalAddressText().value_or("(null)")))
                                .arg(port_);
    QTRY_VERIFY_WITH_TIMEOUT(Lines(window.LogList()).contains(started), 10000);
    QCOMPARE(window.LogList()->GetText(0), QStringLiteral("Start Running Media Server..."));

    // No client: no confirmation.
    auto watch = test::WhenModal<CStopConfirmDlg>([](CStopConfirmDlg* d) { d->reject(); }, 300);
    startStop->click();
    QVERIFY(!watch->handled());
    QVERIFY(!window.IsRunning());
    QVERIFY(!ServerIsRunning());
    QCOMPARE(startStop->text(), QStringLiteral("Start"));
    QVERIFY(setup->isEnabled());
    QCOMPARE(Lines(window.LogList()).last(), QStringLiteral("Stop Running Media Server..."));
  }

  void stopWithAClientAsksFirst() {
    CRurezaDlg window;
    QPushButton* startStop = Button(window, "startStop");
    startStop->click();
    QVERIFY(CurrentRun() && CurrentRun()->WaitForListenerOpened(10000));

    // A client that connects and sends nothing holds its connection open.
    test::AdapterClient client;
    QVERIFY(client.Connect(port_));
    QTRY_COMPARE_WITH_TIMEOUT(ClientCount(), 1, 10000);
    window.OnTimer();
    QCOMPARE(Text(window, "m_users"), QStringLiteral("1"));
    QTRY_VERIFY_WITH_TIMEOUT(
        Lines(window.LogList()).contains(QStringLiteral("New connection from 127.0.0.1")), 10000);
    const int linesBefore = window.LogList()->GetCount();

    bool shownRight = false;
    auto cancel = test::WhenModal<CStopConfirmDlg>([&](CStopConfirmDlg* d) {
      shownRight = d->windowTitle() == QStringLiteral("Warning...") &&
                   d->findChild<QLabel*>(QStringLiteral("m_upper"))->text() ==
                       QStringLiteral("There are one or more users connections.") &&
                   d->findChild<QLabel*>(QStringLiteral("m_lower"))->text() ==
                       QStringLiteral("To stop the Media Server?") &&
                   d->focusWidget() == d->findChild<QPushButton*>(QStringLiteral("cancel"));
      d->findChild<QPushButton*>(QStringLiteral("cancel"))->click();
    });
    startStop->click();
    QVERIFY(cancel->handled());
    QVERIFY(shownRight);
    QVERIFY(window.IsRunning());
    QVERIFY(ServerIsRunning());
    QCOMPARE(startStop->text(), QStringLiteral("Stop"));
    QCOMPARE(window.LogList()->GetCount(), linesBefore);

    auto yes = test::WhenModal<CStopConfirmDlg>(
        [](CStopConfirmDlg* d) { d->findChild<QPushButton*>(QStringLiteral("yes"))->click(); });
    startStop->click();
    QVERIFY(yes->handled());
    QVERIFY(!window.IsRunning());
    QVERIFY(!ServerIsRunning());
    QCOMPARE(startStop->text(), QStringLiteral("Start"));
    QVERIFY(Lines(window.LogList()).contains(QStringLiteral("Stop Running Media Server...")));
    // The stop ends the connection that never sent its request.
    QTRY_COMPARE_WITH_TIMEOUT(ClientCount(), 0, 10000);
  }

  void setupOpensOnlyWhileStopped() {
    CRurezaDlg window;
    QPushButton* setup = Button(window, "setup");
    auto opened = test::WhenModal<CSetupDlg>([](CSetupDlg* d) { d->reject(); });
    setup->click();
    QVERIFY(opened->handled());

    Button(window, "startStop")->click();
    auto refused = test::WhenModal<CSetupDlg>([](CSetupDlg* d) { d->reject(); }, 300);
    setup->click();
    QTest::qWait(400);
    QVERIFY(!refused->handled());
  }

  void clearKeepsTheLineCount() {
    CRurezaDlg window;
    CSkinnedListBox* list = window.LogList();
    test::SetLogLineLimit(30);
    test::ResetLogLineCount();
    for (int i = 0; i < 10; ++i) AppendLog("counted");
    QCOMPARE(list->GetCount(), 10);
    Button(window, "clear")->click();
    QCOMPARE(list->GetCount(), 0);
    QCOMPARE(LogLineCount(), 10);
    for (int i = 0; i < 19; ++i) AppendLog("counted");
    AppendLogUncounted("uncounted");
    QCOMPARE(list->GetCount(), 20);
    AppendLog("the 30th");
    QCOMPARE(list->GetCount(), 0);
    QCOMPARE(LogLineCount(), 0);
  }

  void rateFigures_data() {
    QTest::addColumn<quint32>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("one mebibyte") << 1048576u << QStringLiteral("8.0000");
    QTest::newRow("a million") << 1000000u << QStringLiteral("7.6294");
    QTest::newRow("ten million") << 10000000u << QStringLiteral("76.2939");
  }

  void rateFigures() {
    QFETCH(quint32, bytes);
    QFETCH(QString, shown);
    // Start just below the wrap of the tick count, so the samples cross it.
    uint32_t now = 0xFFFFFE00u;
    CRurezaDlg window(nullptr, [&now] { return now; });
    now += 1000;
    window.OnTimer();  // the first sample takes in whatever earlier tests moved
    Traffic().bytesSent.fetch_add(bytes / 2);
    Traffic().bytesReceived.fetch_add(bytes - bytes / 2);
    now += 1000;
    window.OnTimer();
    QCOMPARE(Text(window, "m_rate"), shown);
  }

  void rateIsSampledAtMostOnceASecond() {
    uint32_t now = 5000;
    CRurezaDlg window(nullptr, [&now] { return now; });
    now += 1000;
    window.OnTimer();
    const QString shown = Text(window, "m_rate");
    Traffic().bytesSent.fetch_add(1048576);
    now += 600;
    window.OnTimer();
    QCOMPARE(Text(window, "m_rate"), shown);
    now += 1400;  // the sample covers all 2000 ms since the last one
    window.OnTimer();
    QCOMPARE(Text(window, "m_rate"), QStringLiteral("4.0000"));
    now += 1000;
    window.OnTimer();
    QCOMPARE(Text(window, "m_rate"), QStringLiteral("0.0000"));
  }

  void closingLeavesTheServerRunning() {
    CRurezaDlg window;
    window.show();
    Button(window, "startStop")->click();
    QTRY_VERIFY_WITH_TIMEOUT(window.LogList()->GetCount() >= 2, 10000);
    const int lines = window.LogList()->GetCount();
    Button(window, "exit")->click();
    QVERIFY(!window.isVisible());
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QVERIFY(ServerIsRunning());
    QCOMPARE(window.LogList()->GetCount(), lines);
  }

  void focusStartsOnExitAndFollowsTheOrder() {
    CRurezaDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), Button(window, "exit"));
    const QWidget* expected[] = {Button(window, "startStop"), Button(window, "setup"),
                                 Button(window, "clear"), window.LogList()};
    for (const QWidget* next : expected) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    // Enter activates Exit, the default button, even from the list.
    QTest::keyClick(window.LogList(), Qt::Key_Return);
    QVERIFY(!window.isVisible());
  }

  void aboutComesFromTheContextMenu() {
    CRurezaDlg window;
    QCOMPARE(window.contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(window.actions().size(), 1);
    QCOMPARE(window.actions().first()->text(), QStringLiteral("About Zivevir Media server ..."));
    QString shown;
    auto watch = test::WhenModal<CAboutDlg>([&](CAboutDlg* d) {
      shown = d->windowTitle() + '|' + d->findChild<QLabel*>(QStringLiteral("version"))->text();
      d->accept();
    });
    window.actions().first()->trigger();
    QVERIFY(watch->handled());
    QCOMPARE(shown,
             QStringLiteral("About Zivevir Media server|Zivevir Media server Version 1.0.0"));
  }

  void aSettingsFileThatCannotBeLoadedIsReportedAndSetUpGoesOn() {
    QFile::remove(scratch_->FilePath("sv.dat"));
    QVERIFY(QDir(scratch_->path()).mkdir("sv.dat"));  // opening a folder for writing fails
    QString message;
    auto watch = test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    CRurezaDlg window;
    QVERIFY(watch->handled());
    QVERIFY2(message.endsWith(QStringLiteral("sv.dat: Is a directory")), qPrintable(message));
    // The rest of the set-up ran: the list is the log's sink, the timer runs, Setup is allowed.
    AppendLogUncounted("still logging");
    QCOMPARE(window.LogList()->GetCount(), 1);
    QVERIFY(window.findChild<QTimer*>()->isActive());
    QVERIFY(Button(window, "setup")->isEnabled());
  }

  void aMissingSettingsFileIsCreatedWithDefaults() {
    QFile::remove(scratch_->FilePath("sv.dat"));
    CRurezaDlg window;
    QCOMPARE(QFileInfo(scratch_->FilePath("sv.dat")).size(), 1026);
    QCOMPARE(int(CurrentSettings().port), 4567);
    QCOMPARE(int(CurrentSettings().clientLimit), 1);
    QCOMPARE(int(CurrentSettings().logLineLimit), 1000);
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::MainWindowTest)
#include "main_window_test.moc"
