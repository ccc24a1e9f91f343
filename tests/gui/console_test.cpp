// The console as an operator drives it: the main window against the real server and a real
// client, its log list as the activity log's sink, the setup dialog, and the skinned look.
#include <QtTest>
#include <QtWidgets>
#include <optional>
#include <thread>

#include "app/rureza_app.h"
#include "console/about_dlg.h"
#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/log_list_sink.h"
#include "console/rureza_dlg.h"
#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "console/skinned_list_box.h"
#include "console/stop_confirm_dlg.h"
#include "platform/thread.h"
#include "server/local_address.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/settings_file.h"
#include "support/fixture.h"

namespace rureza {
namespace {

const QColor kGrey(192, 192, 192), kBlue(0, 0, 160);

template <typename T = QPushButton>
T* Find(const QObject& parent, const char* name) {
  return parent.findChild<T*>(QString::fromLatin1(name));
}
// The texts of the named labels, fields or buttons, joined by '|'.
QString Texts(const QObject& parent, std::initializer_list<const char*> names) {
  QStringList texts;
  for (const char* name : names) texts << Find<QWidget>(parent, name)->property("text").toString();
  return texts.join('|');
}
QLineEdit* Edit(const QObject& parent, const char* name) { return Find<QLineEdit>(parent, name); }

QStringList Lines(const CSkinnedListBox& list) {
  QStringList lines;
  for (int i = 0; i < list.GetCount(); ++i) lines << list.GetText(i);
  return lines;
}

// The names focus visits from the window's first one on, pressing Tab after each.
QStringList FocusChain(QWidget& window, int count) {
  window.show();
  QStringList names;
  for (int i = 0; i < count && QTest::qWaitForWindowActive(&window); ++i) {
    names << QApplication::focusWidget()->objectName();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  return names;
}

ServerSettings Load(const QString& path) {
  ServerSettings settings;
  (void)LoadSettingsFile(QFile::encodeName(path).toStdString(), &settings);
  return settings;
}

QString Record(const ServerSettings& s) {
  return QStringLiteral("%1 %2 %3 ").arg(s.port).arg(s.clientLimit).arg(s.logLineLimit) +
         QString::fromStdString(PathText(s.videoFolder) + ' ' + PathText(s.audioFolder) + ' ' +
                                PathText(s.photoFolder) + ' ' + PathText(s.firmwareFile));
}

// Runs act on the next modal dialog of type T, from the event loop of whatever waits meanwhile
// (the dialog's own exec).
template <typename T>
struct WhenModal {
  explicit WhenModal(std::function<void(T*)> act) {
    QObject::connect(&timer, &QTimer::timeout, [this, act] {
      if (T* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
        timer.stop();
        handled = true;
        act(dialog);
      }
    });
    timer.start(10);
  }
  QTimer timer;
  bool handled = false;
};

// Runs body(i) on n detached threads (one stuck in a failed test must not hang it); the
// counter tells how many have ended.
std::shared_ptr<std::atomic<int>> Spawn(int n, const std::function<void(int)>& body) {
  auto ended = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < n; ++i)
    std::thread([=] {
      body(i);
      ended->fetch_add(1);
    }).detach();
  return ended;
}

// Polls without running the event loop, so the GUI thread adds no line meanwhile.
bool WaitWithoutEvents(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) QThread::msleep(2);
  return done();
}

// A list of its own as the log's sink.
struct OwnList {
  CSkinnedListBox list;
  std::shared_ptr<LogListSink> sink = std::make_shared<LogListSink>(&list);
  OwnList() { SetLogSink(sink); }
  ~OwnList() {
    SetLogSink(nullptr);
    sink->Detach();
  }
};

// The setup dialog with its choosers answered by the test.
class TestSetupDlg : public CSetupDlg {
 public:
  QString folderAnswer, fileAnswer;

 protected:
  QString ChooseFolder() override { return folderAnswer; }
  QString ChooseFirmwareFile() override { return fileAnswer; }
};

}  // namespace

class ConsoleTest : public QObject {
  Q_OBJECT
  std::optional<QTemporaryDir> scratch_;  // the current directory
  QString file_;                          // the settings file in it
  uint16_t port_ = 0;
  const QString paths_ = " /srv/video /srv/audio /srv/photo /srv/fw/ve520.bin";
  QTimer guard_;  // closes a modal dialog that no test answers within 2 to 4 s, so none hangs
  QPointer<QWidget> lastModal_;

  void WriteRecord() {
    ServerSettings settings{port_, 7, 500};
    SetPathText(&settings.videoFolder, "/srv/video");
    SetPathText(&settings.audioFolder, "/srv/audio");
    SetPathText(&settings.photoFolder, "/srv/photo");
    SetPathText(&settings.firmwareFile, "/srv/fw/ve520.bin");
    const std::string path = QFile::encodeName(file_).toStdString();
    ServerSettings created;
    QVERIFY(LoadOrCreateSettingsFile(path, &created).ok() && SaveSettingsFile(path, settings).ok());
  }
  QString Written() const { return QStringLiteral("%1 7 500").arg(port_) + paths_; }

 private slots:
  void initTestCase() {
    connect(&guard_, &QTimer::timeout, [this] {
      if (lastModal_ && lastModal_ == QApplication::activeModalWidget()) lastModal_->close();
      lastModal_ = QApplication::activeModalWidget();
    });
    guard_.start(2000);
  }

  void init() {
    scratch_.emplace();
    QDir::setCurrent(scratch_->path());
    file_ = scratch_->filePath("sv.dat");
    port_ = test::FreeBasePort();
    WriteRecord();
  }

  void cleanup() {
    if (ServerIsRunning()) StopServer();
    QVERIFY(WaitForThreadsToEnd(10000));
  }

  void firstDisplayAndAbout() {
    CRurezaDlg window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Zivevir Media server"));
    QCOMPARE(Record(CurrentSettings()), Written());
    QCOMPARE(
        Texts(window, {"m_rate", "m_users", "m_hostname", "m_ipaddr"}),
        "0.0000|0|" + QString::fromStdString(HostName() + '|' + LocalAddressText().value_or("")));
    QVERIFY(!Find<QLabel>(window, "clock")->isHidden());
    QVERIFY(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(Texts(window, {"clock"})).hasMatch());
    QVERIFY(!Find(window, "help")->isEnabled() && Find(window, "help")->isHidden());
    QCOMPARE(window.contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(window.actions().size(), 1);
    QCOMPARE(window.actions()[0]->text(), QStringLiteral("About Zivevir Media server ..."));
    QString shown;
    WhenModal<CAboutDlg> about([&](CAboutDlg* d) {
      shown = d->windowTitle() + '|' + Texts(*d, {"version"});
      d->accept();
    });
    window.actions()[0]->trigger();
    QCOMPARE(shown, "About Zivevir Media server|Zivevir Media server Version 1.0.0");
  }

  // Setup only while stopped; a stop asks first only with clients; Exit leaves the server running.
  void startStopAndExit() {
    CRurezaDlg window;
    QCOMPARE(FocusChain(window, 5), QStringList({"exit", "startStop", "setup", "clear", "m_log"}));
    QPushButton* startStop = Find(window, "startStop");
    QPushButton* setup = Find(window, "setup");
    auto state = [&] {
      return startStop->text() + (setup->isEnabled() ? " setup" : "") +
             (window.IsRunning() ? " running" : "") + (ServerIsRunning() ? " server" : "");
    };
    const QString stopped = "Start setup", running = "Stop running server";
    QCOMPARE(state(), stopped);
    WhenModal<CSetupDlg> opened([](CSetupDlg* d) { d->reject(); });
    setup->click();
    QVERIFY(opened.handled);
    startStop->click();
    QCOMPARE(state(), running);
    QCOMPARE(window.LogList()->GetText(0), QStringLiteral("Start Running Media Server..."));
    {
      WhenModal<QDialog> none([](QDialog* d) { d->reject(); });
      setup->click();      // refused while running
      startStop->click();  // no client: no question
      QVERIFY(!none.handled);
    }
    QCOMPARE(state(), stopped);
    QCOMPARE(Lines(*window.LogList()).last(), QStringLiteral("Stop Running Media Server..."));

    startStop->click();
    QVERIFY(CurrentRun() && CurrentRun()->WaitForListenerOpened(10000));
    AdapterConnection client;  // connects and sends nothing: its connection stays open
    QVERIFY(client.Connect(LoopbackAddress(port_)));
    QTRY_VERIFY_WITH_TIMEOUT(
        ClientCount() == 1 && Lines(*window.LogList()).contains("New connection from 127.0.0.1"),
        10000);
    window.OnTimer();
    QCOMPARE(Texts(window, {"m_users"}), QStringLiteral("1"));
    const int lines = window.LogList()->GetCount();
    QString shown;
    WhenModal<CStopConfirmDlg> cancel([&](CStopConfirmDlg* d) {
      shown = d->windowTitle() + '|' + Texts(*d, {"m_upper", "m_lower"}) + '|' +
              d->focusWidget()->objectName();
      Find(*d, "cancel")->click();
    });
    startStop->click();
    QCOMPARE(shown,
             "Warning...|There are one or more users connections.|To stop the Media "
             "Server?|cancel");
    QTest::keyClick(window.LogList(), Qt::Key_Return);
    QVERIFY(!window.isVisible());
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QCOMPARE(state(), running);
    QCOMPARE(window.LogList()->GetCount(), lines);
    WhenModal<CStopConfirmDlg> yes([](CStopConfirmDlg* d) { Find(*d, "yes")->click(); });
    startStop->click();
    QCOMPARE(state(), stopped);
    QVERIFY(Lines(*window.LogList()).contains("Stop Running Media Server..."));
  }

  // Clear empties the list but keeps the count of lines towards the limit.
  void clearKeepsTheLineCount() {
    CRurezaDlg window;
    ServerSettings settings = CurrentSettings();
    settings.logLineLimit = static_cast<int16_t>(LogLineCount() + 30);
    SetCurrentSettings(settings);
    for (int i = 0; i < 10; ++i) AppendLog("counted");
    Find(window, "clear")->click();
    QCOMPARE(window.LogList()->GetCount(), 0);
    for (int i = 0; i < 19; ++i) AppendLog("counted");
    QCOMPARE(window.LogList()->GetCount(), 19);
    AppendLog("the 30th");
    QCOMPARE(window.LogList()->GetCount(), 0);
  }

  // Mbit/s over the real time since the last sample, even across the tick count's wrap.
  void rateAndCounters() {
    uint32_t now = 0xFFFFFC00u;
    CRurezaDlg window(nullptr, [&now] { return now; });
    now += 1000;
    window.OnTimer();  // takes in whatever earlier tests moved
    const struct {
      uint32_t ms, bytes;
      const char* shown;
    } steps[] = {{1000, 1048576, "8.0000"}, {1000, 1000000, "7.6294"},   {600, 1048576, "7.6294"},
                 {1400, 0, "4.0000"},       {1000, 10000000, "76.2939"}, {1000, 0, "0.0000"}};
    for (const auto& step : steps) {
      Traffic().bytesSent.fetch_add(step.bytes / 2);
      Traffic().bytesReceived.fetch_add(step.bytes - step.bytes / 2);
      now += step.ms;
      window.OnTimer();
      QCOMPARE(Texts(window, {"m_rate"}), QString::fromLatin1(step.shown));
    }
    Traffic().sendCalls.fetch_add(3);
    window.OnTimer();
    QCOMPARE(
        Texts(window, {"m_transferred", "m_received"}),
        QStringLiteral("%1|%2").arg(Traffic().sendCalls.load()).arg(Traffic().receiveCalls.load()));
  }

  // A missing settings file is created; one that cannot be loaded is reported, and set-up goes on.
  void settingsFileAtStartUp() {
    QFile::remove(file_);
    {
      CRurezaDlg window;
      QCOMPARE(QFileInfo(file_).size(), 1026 + 65);  // with the library tail of a new file
      QCOMPARE(Record(CurrentSettings()).section(' ', 0, 2), QStringLiteral("4567 1 1000"));
    }
    QFile::remove(file_);
    QVERIFY(QDir().mkdir("sv.dat"));  // opening a folder for writing fails
    QString message;
    WhenModal<QMessageBox> watch([&](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    CRurezaDlg window;
    QVERIFY2(message.endsWith("sv.dat: Is a directory"), qPrintable(message));
    AppendLogUncounted("still logging");
    QCOMPARE(window.LogList()->GetCount(), 1);
    QVERIFY(window.findChild<QTimer*>()->isActive());
  }

  // No line lost or out of order; a writer returns once its line is listed, the GUI thread's at
  // once.
  void manyWriters() {
    OwnList own;
    AppendLogUncounted("direct");
    QCOMPARE(own.list.GetCount(), 1);
    auto early = std::make_shared<std::atomic<int>>(0);
    auto ended = Spawn(24, [sink = own.sink, early](int thread) {
      for (int k = 0; k < 400; ++k) {
        AppendLogUncounted(Format("%d %d", thread, k));
        if (sink->AddedCount() < uint64_t(k) + 2) early->fetch_add(1);
      }
    });
    QTRY_COMPARE_WITH_TIMEOUT(ended->load(), 24, 60000);
    QCOMPARE(early->load(), 0);
    const QStringList lines = Lines(own.list);
    QCOMPARE(lines.size(), 24 * 400 + 1);
    std::vector<int> next(24, 0);
    for (const QString& line : lines.mid(1)) {
      QCOMPARE(line.section(' ', 1).toInt(), next[line.section(' ', 0, 0).toUInt()]++);
    }
  }

  // A waiting writer goes on once the GUI thread waits itself (as StopServer does), its lines and
  // emptying in order after that wait; or once the list goes away, and then nobody waits.
  void writersAreNeverHeldByAGuiThreadThatCannotServeThem() {
    OwnList own;
    auto waiting = Spawn(1, [](int) { AppendLogUncounted("waiting"); });
    QVERIFY(!WaitWithoutEvents([&] { return *waiting == 1; }, 100));
    {
      LogListSink::DeferScope defer(own.sink.get());
      QVERIFY(WaitWithoutEvents([&] { return *waiting == 1; }, 10000));
      auto deferred = Spawn(1, [sink = own.sink](int) {
        for (int k = 0; k < 50; ++k) {
          if (k == 25) sink->Clear();
          AppendLogUncounted(Format("deferred %d", k));
        }
      });
      QVERIFY(WaitWithoutEvents([&] { return *deferred == 1; }, 10000));
      QCOMPARE(own.list.GetCount(), 0);
    }
    QCOMPARE(own.list.GetCount(), 25);
    QCOMPARE(own.list.GetText(0) + '|' + own.list.GetText(24), "deferred 25|deferred 49");
    auto held = Spawn(4, [](int) { AppendLogUncounted("held"); });
    QVERIFY(!WaitWithoutEvents([&] { return *held > 0; }, 100));
    own.sink->Detach();
    QVERIFY(WaitWithoutEvents([&] { return *held == 4; }, 10000));
    auto later = Spawn(2, [sink = own.sink](int) {
      for (int k = 0; k < 100; ++k) sink->AddLine("after the window");
    });
    QVERIFY(WaitWithoutEvents([&] { return *later == 2; }, 10000));
    QCOMPARE(own.list.GetCount(), 25);
  }

  // SAVE reads the first 5, 3 and 5 characters; out of range, 4567, 1 and 1000; memory and file.
  void saveCorrectsTheNumbers() {
    const struct {
      const char *port, *clients, *lines, *stored;
    } rows[] = {{"65535", "100", "10000", "65535 100 10000"},
                {"0", "1", "30", "0 1 30"},
                {"65536", "0", "29", "4567 1 1000"},
                {"-1", "101", "10001", "4567 1 1000"},
                {"123456", "1000", "99999", "12345 100 1000"},
                {" 65536", " 7", "  42x", "6553 7 42"},
                {"", "abc", "-", "0 1 1000"},
                {"+40000", "+5", "-300", "4000 5 1000"}};
    for (const auto& row : rows) {
      WriteRecord();
      SetCurrentSettings(ServerSettings{});
      TestSetupDlg dialog;
      dialog.Reload();
      QCOMPARE(Texts(dialog, {"port", "clientLimit", "logLines"}),
               QStringLiteral("%1|7|500").arg(port_));
      Edit(dialog, "port")->setText(row.port);
      Edit(dialog, "clientLimit")->setText(row.clients);
      Edit(dialog, "logLines")->setText(row.lines);
      Find(dialog, "save")->click();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      const QString in = QStringLiteral("'%1' '%2' '%3' -> ").arg(row.port, row.clients, row.lines);
      for (const ServerSettings& s : {CurrentSettings(), Load(file_)}) {
        QCOMPARE(in + Record(s), in + row.stored + paths_);
      }
    }
  }

  // A chosen folder is shown whole, stored cut to 254 bytes where a character ends; cancel: no
  // change.
  void chosenFoldersAreShownAndStored() {
    const QString longPath = '/' + QString(258, 'p'), accented = QString(253, 'x') + u'\u00e9';
    const struct {
      const char *button, *label;
      QString answer, shown, stored;
      int field;  // in Record()
    } rows[] = {{"browseVideo", "m_video", "/media/films", "/media/films", "/media/films", 3},
                {"browseAudio", "m_audio", "", "/srv/audio", "/srv/audio", 4},
                {"browsePhoto", "m_photo", longPath, longPath, longPath.left(254), 5},
                {"browsePhoto", "m_photo", accented, accented, QString(253, 'x'), 5}};
    for (const auto& row : rows) {
      TestSetupDlg dialog;
      dialog.Reload();
      dialog.folderAnswer = row.answer;
      Find(dialog, row.button)->click();
      QCOMPARE(Texts(dialog, {row.label}), row.shown);
      Find(dialog, "save")->click();
      QCOMPARE(Record(Load(file_)).section(' ', row.field, row.field), row.stored);
    }
  }

  // Default changes the numbers on screen only, Cancel stores nothing; Enter in a field saves.
  void defaultCancelAndEnter() {
    TestSetupDlg dialog;
    dialog.Reload();
    QCOMPARE(FocusChain(dialog, 11), QStringList({"save", "cancel", "browseVideo", "browseAudio",
                                                  "browsePhoto", "browseUpdate", "default", "port",
                                                  "clientLimit", "logLines", "library"}));
    dialog.folderAnswer = "/elsewhere";
    Find(dialog, "browseAudio")->click();
    Find(dialog, "default")->click();
    QCOMPARE(Texts(dialog, {"port", "clientLimit", "logLines", "m_video", "m_audio"}),
             QStringLiteral("4567|1|1000|/srv/video|/elsewhere"));
    Find(dialog, "cancel")->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(Record(CurrentSettings()), Written());
    QCOMPARE(Record(Load(file_)), Written());
    dialog.show();
    Edit(dialog, "port")->setText(QStringLiteral("5000"));
    QTest::keyClick(Edit(dialog, "port"), Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(Load(file_).port, uint16_t{5000});
  }

  // The chooser moves the current directory; SAVE and the next load still use the first file.
  void theFirmwareChooserMovesTheCurrentDirectory() {
    QTemporaryDir elsewhere;
    const QString firmware = elsewhere.filePath("new.bin");
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.fileAnswer = firmware;
    Find(dialog, "browseUpdate")->click();
    QCOMPARE(QDir::currentPath(), elsewhere.path());
    QCOMPARE(Texts(dialog, {"m_update"}), firmware);
    Find(dialog, "save")->click();
    QCOMPARE(QString::fromStdString(PathText(Load(file_).firmwareFile)), firmware);
    QVERIFY(!QFile::exists(elsewhere.filePath("sv.dat")));
    dialog.Reload();
    QCOMPARE(Texts(dialog, {"m_update"}), firmware);
  }

  // Its filters by name; "All Files(*.*)" shows a name without a dot too.
  void theFirmwareChooserOffersBinFilesThenAllFiles() {
    QFile("ve520.bin").open(QIODevice::WriteOnly);
    QFile("firmware").open(QIODevice::WriteOnly);
    std::unique_ptr<QFileDialog> chooser = MakeFirmwareChooser(nullptr);
    QComboBox* filters = chooser->findChild<QComboBox*>("fileTypeCombo");
    QListView* files = chooser->findChild<QListView*>("listView");
    QVERIFY(filters && files && filters->count() == 2 && filters->currentIndex() == 0);
    QCOMPARE(filters->itemText(0) + '|' + filters->itemText(1), "BINFiles (*.bin)|All Files(*.*)");
    auto shown = [&] { return files->model()->rowCount(files->rootIndex()); };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 1, 10000);  // ve520.bin
    filters->setCurrentIndex(1);
    emit filters->activated(1);
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 3, 10000);  // and firmware and sv.dat
  }

  // Load and save failures are reported, the dialog staying open; SAVE creates a missing file.
  void settingsFileMissingOrUnwritable() {
    TestSetupDlg first;
    first.Reload();  // remembers this scratch folder's file
    scratch_.emplace();
    QDir::setCurrent(scratch_->path());
    TestSetupDlg dialog;
    QString message;
    auto answer = [&](QMessageBox* box) {
      message = box->text();
      box->accept();
    };
    {
      WhenModal<QMessageBox> watch(answer);
      dialog.Reload();
      QVERIFY2(message.endsWith("No such file or directory"), qPrintable(message));
    }
    QVERIFY(QDir().mkdir("sv.dat"));  // cannot be opened for writing
    dialog.show();
    Edit(dialog, "port")->setText(QStringLiteral("7000"));
    {
      WhenModal<QMessageBox> watch(answer);
      Find(dialog, "save")->click();
      QVERIFY2(message.endsWith("sv.dat: Is a directory"), qPrintable(message));
    }
    QVERIFY(dialog.isVisible());
    QCOMPARE(Edit(dialog, "port")->text(), QStringLiteral("7000"));
    QCOMPARE(CurrentSettings().port, uint16_t{7000});  // the record already holds the edits
    QVERIFY(QDir().rmdir("sv.dat"));
    Find(dialog, "save")->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(QFileInfo("sv.dat").size(), 1026 + 67);  // the library tail says all off
    QCOMPARE(Load(scratch_->filePath("sv.dat")).port, uint16_t{7000});
  }

  // Owner-drawn rows 18 px high in their colours on every repaint; a click toggles its row.
  void listRows() {
    CSkinnedListBox list;
    list.resize(300, 120);
    list.SetBackgroundColors(kGrey, kBlue);
    list.SetTextColors(Qt::black, kGrey);
    list.AddStrings({"first", "second", "third"});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    auto rect = [&](int row) { return list.visualRect(list.model()->index(row, 0)); };
    auto colour = [&](int row, int below = 0) {
      const QPoint at(rect(row).right() - 3, rect(row).center().y() + below);
      return list.viewport()->grab().toImage().pixelColor(at);
    };
    QCOMPARE(rect(0).height(), 18);
    QCOMPARE(rect(1).top() - rect(0).top(), 18);
    QCOMPARE(colour(2, 50), kGrey);  // below the last row
    for (int row : {1, 0, 2, 0}) {
      QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rect(row).center());
    }
    QCOMPARE(colour(1), kBlue);
    list.viewport()->repaint();
    QCOMPARE(colour(1), kBlue);
    QCOMPARE(colour(0), kGrey);
    QCOMPARE(list.selectionModel()->selectedRows().size(), 2);
  }

  // A figure too wide is drawn smaller, not cut off, on the label's own background.
  void aValueLabelFitsItsFigure() {
    CSkinnedLabel label;
    label.resize(39, 14);  // m_rate's size
    label.SetBackgroundColor(kGrey);
    label.setText(QStringLiteral("1234.5678"));
    const QImage image = label.grab().toImage();
    QCOMPARE(image.pixelColor(1, 1), kGrey);
    bool inkAtTheEdge = false, ink = false;
    for (int y = 0; y < image.height(); ++y) inkAtTheEdge |= image.pixelColor(38, y) != kGrey;
    for (int x = 0; x < image.width(); ++x) ink |= image.pixelColor(x, 7) != kGrey;
    QVERIFY(!inkAtTheEdge && ink);
  }

  // Fixed sizes, controls in place, and every painted caption whole, inside and clear of them.
  void layoutsAndCaptions() {
    CRurezaDlg mainWindow;
    CSetupDlg setup;
    const struct {
      QWidget* window;
      Artwork picture;
      int fontPixels;
      const char *placed, *captions;
    } windows[] = {
        {&mainWindow, Artwork::kMainBackground, kArial8Pixels,
         "536 510, m_log 27 60 345 262, m_hostname 119 350 88 16, m_ipaddr 332 350 85 16, "
         "m_rate 125 401 39 14, m_users 125 418 39 14, m_transferred 263 401 66 14, "
         "m_received 263 420 66 14, startStop 27 453 77 27, setup 105 453 77 27, "
         "clear 182 453 76 27, exit 258 453 77 27, help 417 98 77 26, clock 416 61 91 35",
         "System Message|Server status|HostName :|IP Address :|Network status|Transfer Rate :|"
         "M bps|Users :|Sent :|Packages|Received|Packages"},
        {&setup, Artwork::kSetupBackground, kArial9Pixels,
         "517 403, port 229 39 48 23, clientLimit 229 75 46 23, default 364 71 77 27, "
         "m_video 180 161 170 23, browseVideo 362 161 77 27, m_audio 180 199 170 22, "
         "browseAudio 361 199 77 26, m_photo 180 236 170 23, browsePhoto 361 236 77 27, "
         "m_update 180 272 170 22, browseUpdate 361 272 77 26, logLines 369 323 81 22, "
         "save 296 368 77 26, cancel 373 368 77 26, library 361 129 77 27",
         "Network setup|Port [0-65535]|Maximum Connections|Media Source Directories|Video "
         "Directory|Audio Directory|Photo Directory|Upgrade Bin file|Message|How many lines you "
         "want in system message box"}};
    for (const auto& w : windows) {
      const QSize size = ArtworkPixmap(w.picture).size();
      QCOMPARE(w.window->minimumSize(), w.window->maximumSize());
      QStringList placed = {QStringLiteral("%1 %2").arg(size.width()).arg(size.height())};
      for (const QString& item : QString(w.placed).split(", ").mid(1)) {
        const QString name = item.section(' ', 0, 0);
        const QRect r = w.window->findChild<QWidget*>(name)->geometry();
        placed << name + QString::asprintf(" %d %d %d %d", r.x(), r.y(), r.width(), r.height());
      }
      QCOMPARE(placed.join(", "), QString(w.placed));
      QCOMPARE(w.window->size(), size);
      QStringList texts;
      for (const PaintedCaption& caption : BackgroundCaptions(w.picture)) {
        texts << caption.text;
        const QFont font = ArialFont(w.fontPixels + caption.heading, caption.heading);
        const QRect inked =
            QFontMetrics(font).boundingRect(caption.rect, caption.alignment, caption.text);
        QVERIFY2(caption.rect.contains(inked), qPrintable(caption.text + " is cut off"));
        QVERIFY2(QRect({}, size).contains(inked), qPrintable(caption.text + " is outside"));
        for (QWidget* control : w.window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          QVERIFY2(control->isHidden() || !control->geometry().intersects(inked),
                   qPrintable(caption.text + " is under " + control->objectName()));
        }
      }
      QCOMPARE(texts.join('|'), QString(w.captions));
    }
  }

  void automationSwitchesAreRemoved() {
    char a0[] = "rureza", a1[] = "-Embedding", a2[] = "keep", a3[] = "/Automation",
         a4[] = "-embedding", a5[] = "--Automation", a6[] = "/Embedding", b1[] = "-style=fusion";
    char *argv[] = {a0, a1, a2, a3, a4, a5, a6, nullptr}, *plain[] = {a0, b1, nullptr};
    int argc = 7, plainCount = 2;
    QVERIFY(RemoveAutomationSwitches(&argc, argv) && !RemoveAutomationSwitches(&plainCount, plain));
    QCOMPARE(QStringList(argv, argv + argc),  // case-sensitive
             QStringList({"rureza", "keep", "-embedding", "--Automation"}));
    QVERIFY(argv[argc] == nullptr && plainCount == 2);
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::ConsoleTest)
#include "console_test.moc"
