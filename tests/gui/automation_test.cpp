// The console's automation object on a session bus of the test's own (run under
// dbus-run-session): a client's hold makes closing the window only hide it, Show brings it back,
// Start and Stop run the server and the properties tell; with two clients holding, the first
// releasing keeps it held, and the second leaving the bus lets go, so the hidden window closes.
// Started for a client, the window stays hidden and the first caller holds it.
#include <QtDBus>
#include <QtTest>
#include <QtWidgets>

#include "app/rureza_automation.h"
#include "console/rureza_dlg.h"
#include "settings/settings_file.h"
#include "support/fixture.h"

namespace rureza {

class AutomationTest : public QObject {
  Q_OBJECT

  // A client of its own connection to the bus; its calls never block (a blocking one would wait
  // for this very thread, which serves them).
  struct Client {
    explicit Client(const QString& name)
        : connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)) {}
    QDBusMessage Await(const QDBusMessage& call) {
      QDBusPendingCall pending = connection.asyncCall(call);
      const bool finished = QTest::qWaitFor([&] { return pending.isFinished(); }, 10000);
      return finished ? pending.reply() : QDBusMessage();
    }
    bool Call(const char* method) {
      return Await(QDBusMessage::createMethodCall(kAutomationService, kAutomationPath,
                                                  kAutomationInterface, method))
                 .type() == QDBusMessage::ReplyMessage;
    }
    QVariant Property(const char* name) {
      QDBusMessage get = QDBusMessage::createMethodCall(kAutomationService, kAutomationPath,
                                                        "org.freedesktop.DBus.Properties", "Get");
      get << QString(kAutomationInterface) << QString(name);
      const QDBusMessage reply = Await(get);
      return reply.arguments().isEmpty() ? QVariant()
                                         : reply.arguments()[0].value<QDBusVariant>().variant();
    }
    QDBusConnection connection;
  };

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QDir::setCurrent(dir_.path());
    ServerSettings settings;
    QVERIFY(LoadOrCreateSettingsFile("sv.dat", &settings).ok());
    port_ = test::FreeBasePort();
    settings.port = port_;
    settings.library.convert = false;  // no cache outside the test's folder
    QVERIFY(SaveSettingsFile("sv.dat", settings).ok());
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
  }

  void holdHidesReleaseEndsAndALeavingClientLetsGo() {
    CRurezaDlg window;
    CRurezaDlgAutoProxy automation(&window, false);
    QVERIFY(automation.Register());
    QSignalSpy closed(&window, &QDialog::finished);
    window.show();
    Client first("first");
    auto second = std::make_unique<Client>("second");
    QVERIFY(first.Call("Hold"));
    // Every way out only hides it while held.
    window.findChild<QPushButton*>("exit")->click();
    QVERIFY(window.isHidden());
    QVERIFY(first.Call("Show"));
    QVERIFY(window.isVisible());
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(window.isHidden());
    QVERIFY(first.Call("Show"));
    window.close();
    QVERIFY(window.isHidden());
    QCOMPARE(closed.count(), 0);

    QCOMPARE(first.Property("Running").toBool(), false);
    QVERIFY(first.Call("Start"));
    QVERIFY(window.IsRunning());
    QCOMPARE(first.Property("Running").toBool(), true);
    QCOMPARE(first.Property("StatusUrl").toString(),
             QStringLiteral("http://127.0.0.1:%1/").arg(port_ + 2));
    QCOMPARE(first.Property("Clients").toInt(), 0);
    QVERIFY(first.Call("Stop"));
    QCOMPARE(first.Property("Running").toBool(), false);
    QCOMPARE(first.Property("StatusUrl").toString(), QString());

    // Two holders; the first lets go early, the second leaves the bus without a word.
    QVERIFY(second->Call("Hold"));
    QVERIFY(first.Call("Release"));
    QVERIFY(first.Call("Release"));  // holds nothing now: nothing happens
    QTest::qWait(100);
    QCOMPARE(closed.count(), 0);
    second.reset();  // the connection closes with its last holder
    QDBusConnection::disconnectFromBus("second");
    QTRY_COMPARE(closed.count(), 1);
    QDBusConnection::disconnectFromBus("first");
  }

  void startedForAClientStaysHiddenAndTheFirstCallerHoldsIt() {
    CRurezaDlg window;
    CRurezaDlgAutoProxy automation(&window, true);
    QVERIFY(automation.Register());
    QSignalSpy closed(&window, &QDialog::finished);
    Client client("client");
    QVERIFY(client.Call("Start"));
    QVERIFY(window.isHidden());
    QVERIFY(automation.Held());
    QVERIFY(client.Call("Stop"));
    QVERIFY(client.Call("Release"));
    QTRY_COMPARE(closed.count(), 1);
    QDBusConnection::disconnectFromBus("client");
  }

 private:
  QTemporaryDir dir_;
  uint16_t port_ = 0;
};

}  // namespace rureza

QTEST_MAIN(rureza::AutomationTest)
#include "automation_test.moc"
