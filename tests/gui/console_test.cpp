// The console as an operator drives it: the main window against the real server and a real
// client, its log list as the activity log's sink, the setup dialog, and the skinned look.
#include <QtTest>
#include <QtWidgets>
#include <optional>
#include <thread>

#include "app/rureza_app.h"
#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/library_dlg.h"
#include "console/log_list_sink.h"
#include "console/rureza_dlg.h"
#include "console/setup_dlg.h"
#include "console/skinned_list_box.h"
#include "platform/thread.h"
#include "server/local_address.h"
#include "server/server.h"
#include "server/transfer.h"
#include "settings/settings_file.h"
#include "support/fixture.h"

namespace rureza {
namespace {

const QColor kGrey(192, 192, 192), kBlue(0, 0, 160);

// The texts of the named labels, fields or buttons, joined by '|'.
QString Texts(const QObject& parent, std::initializer_list<const char*> names) {
  QStringList texts;
  for (auto name : names) texts << parent.findChild<QWidget*>(name)->property("text").toString();
  return texts.join('|');
}

QString Record(const ServerSettings& s) {
  return QStringLiteral("%1 %2 %3 ").arg(s.port).arg(s.clientLimit).arg(s.logLineLimit) +
         QString::fromStdString(PathText(s.videoFolder) + ' ' + PathText(s.audioFolder) + ' ' +
                                PathText(s.photoFolder) + ' ' + PathText(s.firmwareFile));
}
// The record in the file, or an empty one when it cannot be loaded.
QString Stored(const QString& path) {
  ServerSettings settings;
  (void)LoadSettingsFile(QFile::encodeName(path).toStdString(), &settings);
  return Record(settings);
}

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
  for (QDeadlineTimer deadline(timeoutMs); !done() && !deadline.hasExpired();) QThread::msleep(2);
  return done();
}

// The setup dialog with its choosers answered by the test.
struct TestSetupDlg : CSetupDlg {
  QString folderAnswer, fileAnswer;
  QString ChooseFolder() override { return folderAnswer; }
  QString ChooseFirmwareFile() override { return fileAnswer; }
};

}  // namespace

class ConsoleTest : public QObject {
  Q_OBJECT
  std::optional<QTemporaryDir> scratch_;  // the current directory
  QString file_;                          // the settings file in it
  // Every modal dialog is answered from the event loop of whoever waits for it: the button named
  // in press_ is clicked, else Return is pressed on its focus widget; one still open after that
  // is closed. opened_ keeps each one's class name, or a message box's text.
  QTimer answer_;
  QPointer<QWidget> answered_;
  QString press_;
  QStringList opened_;

 private slots:
  void initTestCase() {
    connect(&answer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal && modal == answered_) modal->close();  // the answer did not close it
      if (modal == std::exchange(answered_, modal) || !modal) return;
      auto* box = qobject_cast<QMessageBox*>(modal);
      opened_ << (box ? box->text() : QString(modal->metaObject()->className()));
      if (!press_.isEmpty())
        return modal->findChild<QPushButton*>(std::exchange(press_, {}))->click();
      QTest::keyClick(modal->focusWidget(), Qt::Key_Return);
    });
    answer_.start(50);
  }

  void init() {
    scratch_.emplace();
    QDir::setCurrent(scratch_->path());
    file_ = scratch_->filePath("sv.dat");
    opened_.clear();
    ServerSettings settings{test::FreeBasePort(), 7, 500};
    SetPathText(&settings.videoFolder, "/srv/video");
    SetPathText(&settings.audioFolder, "/srv/audio");
    SetPathText(&settings.photoFolder, "/srv/photo");
    SetPathText(&settings.firmwareFile, "/srv/fw/ve520.bin");
    QFile(file_).open(QIODevice::WriteOnly);  // saves go into an existing file
    QVERIFY(SaveSettingsFile(QFile::encodeName(file_).toStdString(), settings).ok());
  }

  void cleanup() {
    if (ServerIsRunning()) StopServer();
    QVERIFY(WaitForThreadsToEnd(10000));
  }

  // The host name, the clock and no Help button; About from the context menu. Mbit/s over the
  // real time since the last sample of a second or more, even across the tick count's wrap, in a
  // figure its label fits. Setup only while stopped; Start and Stop logged; a stop asks first
  // only with clients, and a stray Enter there or Exit leaves the server running.
  void mainWindow() {
    uint32_t now = 0xFFFFFC00u;
    CRurezaDlg window(nullptr, [&now] { return now; });
    QCOMPARE(Texts(window, {"m_hostname"}), QString::fromStdString(HostName()));
    QVERIFY(window.findChild<QWidget*>("help")->isHidden() &&
            !window.findChild<QWidget*>("clock")->isHidden());
    QVERIFY(QTime::fromString(Texts(window, {"clock"}), "hh:mm:ss").isValid());
    for (QAction* about : window.actions()) about->trigger();

    auto rate = [&](uint32_t ms, uint32_t bytes) {
      Traffic().bytesSent.fetch_add(bytes / 2);
      Traffic().bytesReceived.fetch_add(bytes - bytes / 2);
      now += ms;
      window.OnTimer();
      return Texts(window, {"m_rate"});
    };
    rate(1000, 0);  // takes in whatever earlier tests moved
    QCOMPARE(
        QStringList({rate(1000, 1048576), rate(600, 1048576), rate(1400, 0), rate(1000, 1u << 30)}),
        QStringList({"8.0000", "8.0000", "4.0000", "8192.0000"}));
    const QImage figure = window.findChild<QWidget*>("m_rate")->grab().toImage();
    bool inkAtTheEdge = false, ink = false;
    for (int y = 0; y < figure.height(); ++y) inkAtTheEdge |= figure.pixelColor(38, y) != kGrey;
    for (int x = 0; x < figure.width(); ++x) ink |= figure.pixelColor(x, 7) != kGrey;
    QVERIFY(figure.pixelColor(1, 1) == kGrey && !inkAtTheEdge && ink);

    auto* startStop = window.findChild<QPushButton*>("startStop");
    auto* setup = window.findChild<QPushButton*>("setup");
    auto state = [&] {
      return startStop->text() + (setup->isEnabled() ? " setup" : "") +
             (window.IsRunning() ? " running" : "") + (ServerIsRunning() ? " server" : "");
    };
    setup->click();
    startStop->click();
    QCOMPARE(state(), QStringLiteral("Stop running server"));
    setup->click();      // refused while running
    startStop->click();  // no client: no question
    QCOMPARE(state(), QStringLiteral("Start setup"));
    startStop->click();
    AdapterConnection client;  // connects and sends nothing: its connection stays open
    // Again only while refused (the server may not listen yet): a QTRY would connect again on
    // every evaluation, and a replaced connection may still count when the figure is read.
    bool connected = false;
    for (int tries = 0; tries < 200 && !connected; ++tries) {
      connected = client.Connect(LoopbackAddress(CurrentSettings().port));
      if (!connected) QTest::qWait(50);
    }
    QVERIFY(connected);
    QTRY_VERIFY_WITH_TIMEOUT(ClientCount() == 1, 10000);
    Traffic().sendCalls.store(3);
    Traffic().receiveCalls.store(5);
    window.OnTimer();
    QCOMPARE(Texts(window, {"m_users", "m_transferred", "m_received"}), QStringLiteral("1|3|5"));
    startStop->click();  // a stray Enter in the question
    window.findChild<QPushButton*>("exit")->click();
    QCOMPARE(state(), QStringLiteral("Stop running server"));
    press_ = "yes";
    startStop->click();
    QCOMPARE(state(), QStringLiteral("Start setup"));
    QAbstractItemModel* log = window.LogList()->model();
    QCOMPARE(log->match(log->index(0, 0), Qt::DisplayRole, "Running", -1, Qt::MatchContains).size(),
             4);  // Start and Stop, twice each
    QCOMPARE(opened_, QStringList({"rureza::CAboutDlg", "rureza::CSetupDlg",
                                   "rureza::CStopConfirmDlg", "rureza::CStopConfirmDlg"}));
    // A start whose port is taken ends by itself: back to Start, and the log says why.
    Socket taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    taken.SetReuseAddress();  // the port of the clients above lingers in TIME_WAIT
    QVERIFY(taken.Bind(CurrentSettings().port).ok() && taken.Listen(1).ok());
    startStop->click();
    QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("Start setup"), 10000);
    QVERIFY(window.LogList()
                ->GetText(window.LogList()->GetCount() - 2)
                .startsWith(QStringLiteral("TCP port %1 is already in use by console_test")
                                .arg(CurrentSettings().port)));
  }

  // Clear empties the list but keeps the count towards the limit. No line lost; a writer
  // returns once its line is listed. A waiting writer goes on once the GUI thread waits itself
  // (as StopServer does), its lines and emptying listed in order after that wait; or once the
  // list goes away, and then nobody waits.
  void logList() {
    CRurezaDlg window;  // its list is the log's sink until it goes
    CSkinnedListBox& list = *window.LogList();
    const std::shared_ptr<LogListSink> sink = window.Sink()->shared_from_this();
    while (LogLineCount() > 0) AppendLog("up to the limit (500)");
    for (int i = 0; i < 499; ++i) {
      if (i == 10) window.findChild<QPushButton*>("clear")->click();
      AppendLog("counted");
    }
    QCOMPARE(list.GetCount(), 489);
    AppendLog("the 500th");
    QCOMPARE(list.GetCount(), 0);

    auto ended = Spawn(24, [](int thread) {
      for (int k = 0; k < 400; ++k) AppendLogUncounted(Format("%d %d", thread, k));
    });
    QTRY_COMPARE_WITH_TIMEOUT(ended->load(), 24, 60000);

    auto writer = Spawn(1, [sink](int) {
      for (int k = 0; k < 50; ++k) {
        if (k == 25) sink->Clear();
        AppendLogUncounted(Format("deferred %d", k));
      }
    });
    QVERIFY(!WaitWithoutEvents([&] { return *writer == 1; }, 100));  // held at its first line
    {
      LogListSink::DeferScope defer(sink.get());
      QVERIFY(WaitWithoutEvents([&] { return *writer == 1; }, 10000));
      QCOMPARE(list.GetCount(), 24 * 400);  // every line of the many, none of this one yet
    }
    QCOMPARE(list.GetCount(), 25);
    QCOMPARE(list.GetText(0) + '|' + list.GetText(24), "deferred 25|deferred 49");
    auto held = Spawn(4, [](int) { AppendLogUncounted("held"); });
    QVERIFY(!WaitWithoutEvents([&] { return *held > 0; }, 100));
    sink->Detach();
    QVERIFY(WaitWithoutEvents([&] { return *held == 4; }, 10000));
    AppendLogUncounted("after the window");
    QCOMPARE(list.GetCount(), 25);
  }

  // A missing file is created at start-up and by SAVE; one that cannot be loaded or saved is
  // reported, the console going on and the setup dialog staying open with its edits.
  void settingsFileFailures() {
    TestSetupDlg().Reload();  // remembers this folder's file; the folder goes below
    QFile::remove(file_);
    CRurezaDlg{};
    QCOMPARE(Stored(file_).section(' ', 0, 2) + '|' + Record(CurrentSettings()).section(' ', 0, 2),
             "4567 8 1000|4567 8 1000");
    scratch_.emplace();
    QDir::setCurrent(scratch_->path());
    TestSetupDlg dialog;
    dialog.Reload();
    QVERIFY(QDir().mkdir("sv.dat"));  // opening a folder for writing fails
    CRurezaDlg window;
    AppendLogUncounted("still logging");
    QVERIFY(window.LogList()->GetCount() == 1 && window.findChild<QTimer*>()->isActive());
    dialog.show();
    dialog.findChild<QLineEdit*>("port")->setText(QStringLiteral("7000"));
    dialog.findChild<QPushButton*>("save")->click();
    QVERIFY(dialog.isVisible());
    // The edit stays on screen, and the record already holds it.
    QCOMPARE(Texts(dialog, {"port"}) + Record(CurrentSettings()).section(' ', 0, 0), "70007000");
    QVERIFY(QDir().rmdir("sv.dat"));
    dialog.findChild<QPushButton*>("save")->click();
    QCOMPARE(Stored("sv.dat").section(' ', 0, 0), QStringLiteral("7000"));
    QCOMPARE(opened_.join('|').remove(QDir::currentPath()),
             "/sv.dat: No such file or directory|/sv.dat: Is a directory|/sv.dat: Is a directory");
  }

  // The firmware chooser offers *.bin files, then all files, a name without a dot too. Default
  // changes the numbers on screen only and Cancel stores nothing; a chosen folder is shown whole
  // and stored cut to 254 bytes where a character ends; Enter in a field saves. SAVE reads the
  // first 5, 3 and 5 characters as atoi does; out of range, 4567, 1 and 1000. The firmware
  // chooser moves the current directory; SAVE and the next load still use the first file.
  void setupDialog() {
    QFile("ve520.bin").open(QIODevice::WriteOnly);
    QFile("firmware").open(QIODevice::WriteOnly);
    std::unique_ptr<QFileDialog> chooser = MakeFirmwareChooser(nullptr);
    auto* files = chooser->findChild<QListView*>("listView");
    auto shown = [&] { return files->model()->rowCount(files->rootIndex()); };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 1, 10000);  // ve520.bin
    chooser->selectNameFilter(chooser->nameFilters().at(1));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 3, 10000);  // and firmware and sv.dat

    TestSetupDlg dialog;
    dialog.Reload();
    const QString written = Stored(file_);
    const QString longPath = '/' + QString(252, 'p') + u'\u00e9' + "/tail";
    const std::pair<const char*, QString> choices[] = {
        {"browseVideo", "/media/films"}, {"browseAudio", "/elsewhere"}, {"browsePhoto", ""}};
    for (const auto& [button, answer] : choices) {
      dialog.folderAnswer = answer;
      dialog.findChild<QPushButton*>(button)->click();
    }
    dialog.findChild<QPushButton*>("default")->click();
    QCOMPARE(Texts(dialog, {"port", "clientLimit", "logLines", "m_video", "m_audio", "m_photo"}),
             QStringLiteral("4567|1|1000|/media/films|/elsewhere|/srv/photo"));
    dialog.findChild<QPushButton*>("cancel")->click();
    QCOMPARE(Record(CurrentSettings()) + '|' + Stored(file_), written + '|' + written);
    dialog.folderAnswer = longPath;
    dialog.findChild<QPushButton*>("browsePhoto")->click();
    QCOMPARE(Texts(dialog, {"m_photo"}), longPath);
    dialog.show();
    QTest::keyClick(dialog.findChild<QLineEdit*>("port"), Qt::Key_Return);
    QCOMPARE(Stored(file_).section(' ', 3),
             "/media/films /elsewhere " + longPath.left(253) + " /srv/fw/ve520.bin");

    const char* rows[][4] = {{"65532", "100", "10000", "65532 100 10000"},
                             {"1", "1", "30", "1 1 30"},
                             {"65533", "0", "29", "4567 1 1000"},
                             {"0", "101", "10001", "4567 1 1000"},
                             {"123456", "1000", "100000", "12345 100 10000"},
                             {" 65536", " 7", "  42x", "6553 7 42"},
                             {"", "abc", "-", "4567 1 1000"},
                             {"+40000", "+5", "-300", "4000 5 1000"}};
    for (const auto& row : rows) {
      const char* fields[] = {"port", "clientLimit", "logLines"};
      for (int i = 0; i < 3; ++i) dialog.findChild<QLineEdit*>(fields[i])->setText(row[i]);
      dialog.findChild<QPushButton*>("save")->click();
      QCOMPARE(Stored(file_).section(' ', 0, 2), QString(row[3]));
    }

    QTemporaryDir elsewhere;
    dialog.fileAnswer = elsewhere.filePath("new.bin");
    dialog.findChild<QPushButton*>("browseUpdate")->click();
    QCOMPARE(QDir::currentPath(), elsewhere.path());
    dialog.findChild<QPushButton*>("save")->click();
    QCOMPARE(Stored(file_).section(' ', 6), dialog.fileAnswer);
    SetCurrentSettings(ServerSettings{});
    dialog.Reload();
    QCOMPARE(Texts(dialog, {"port", "m_update"}), "4000|" + dialog.fileAnswer);
  }

  // Owner-drawn rows 18 px high in their colours on every repaint; a click toggles its row. Fixed
  // window sizes, controls in place, and every painted caption whole, inside and clear of them.
  void looks() {
    CSkinnedListBox list;
    list.resize(300, 120);
    list.SetBackgroundColors(kGrey, kBlue);
    list.AddStrings({"first", "second", "third"});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QCOMPARE(list.visualRect(list.model()->index(0, 0)).height(), 18);
    for (int row : {1, 0, 2, 0})
      QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, {50, 9 + 18 * row});
    QCOMPARE(list.selectionModel()->selectedRows().size(), 2);
    const QImage rows = list.viewport()->grab().toImage();
    QCOMPARE(QList<QColor>(
                 {rows.pixelColor(280, 9), rows.pixelColor(280, 27), rows.pixelColor(280, 100)}),
             QList<QColor>({kGrey, kBlue, kGrey}));
    // New lines scroll into view, unless the operator has scrolled up; back down, they follow.
    QScrollBar* bar = list.verticalScrollBar();
    for (int scrolled : {-1, 0, 1}) {
      if (scrolled >= 0) bar->setValue(scrolled ? bar->maximum() : 0);
      const int before = bar->maximum();
      list.AddStrings(QStringList(10, "more"));
      QTRY_VERIFY(bar->maximum() > before);
      QCOMPARE(bar->value(), scrolled ? bar->maximum() : 0);
    }

    CRurezaDlg mainWindow;
    CSetupDlg setup;
    CLibraryDlg library(LibraryOptions{});
    const std::tuple<QWidget*, Artwork, int, const char*> windows[] = {
        {&mainWindow, Artwork::kMainBackground, kArial8Pixels,
         "536 510, m_log 27 60 345 262, m_hostname 119 350 88 16, m_ipaddr 332 350 85 16, "
         "m_rate 125 401 39 14, m_users 125 418 39 14, m_transferred 263 401 66 14, "
         "m_received 263 420 66 14, startStop 27 453 77 27, setup 105 453 77 27, "
         "clear 182 453 76 27, exit 258 453 77 27, help 417 98 77 26, clock 416 61 91 35"},
        {&setup, Artwork::kSetupBackground, kArial9Pixels,
         "517 403, port 229 39 48 23, clientLimit 229 75 46 23, default 364 71 77 27, "
         "m_video 180 161 170 23, browseVideo 362 161 77 27, m_audio 180 199 170 22, "
         "browseAudio 361 199 77 26, m_photo 180 236 170 23, browsePhoto 361 236 77 27, "
         "m_update 180 272 170 22, browseUpdate 361 272 77 26, logLines 369 323 81 22, "
         "save 296 368 77 26, cancel 373 368 77 26, library 361 129 77 27"},
        {&library, Artwork::kLibraryBackground, kArial9Pixels,
         "385 450, m_videoStandard 186 223 105 26, m_subtitles 25 263 332 22, ok 207 413 77 26"}};
    for (const auto& [window, picture, fontPixels, table] : windows) {
      QCOMPARE(window->minimumSize(), window->maximumSize());
      QStringList placed = {QStringLiteral("%1 %2").arg(window->width()).arg(window->height())};
      for (const QString& item : QString(table).split(", ").mid(1)) {
        const QRect r = window->findChild<QWidget*>(item.section(' ', 0, 0))->geometry();
        placed << item.section(' ', 0, 0) +
                      QString::asprintf(" %d %d %d %d", r.x(), r.y(), r.width(), r.height());
      }
      QCOMPARE(placed.join(", "), QString(table));
      QCOMPARE(window->grab().toImage().pixelColor(3, 3),
               ArtworkPixmap(picture).toImage().pixelColor(3, 3));  // it wears its picture
      for (const PaintedCaption& caption : BackgroundCaptions(picture)) {
        const QFont font = ArialFont(fontPixels + caption.heading, caption.heading);
        const QRect inked =
            QFontMetrics(font).boundingRect(caption.rect, caption.alignment, caption.text);
        QVERIFY2(caption.rect.contains(inked), qPrintable(caption.text + " is cut off"));
        QVERIFY2(window->rect().contains(inked), qPrintable(caption.text + " is outside"));
        for (QWidget* control : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          QVERIFY2(control->isHidden() || !control->geometry().intersects(inked),
                   qPrintable(caption.text + " is under " + control->objectName()));
        }
      }
    }
  }

  void automationSwitchesAreRemoved() {
    char a0[] = "rureza", a1[] = "-Embedding", a2[] = "keep", a3[] = "/Automation",
         a4[] = "-embedding", a5[] = "--Automation", a6[] = "/Embedding", b1[] = "-style=fusion";
    char *argv[] = {a0, a1, a2, a3, a4, a5, a6, nullptr}, *plain[] = {a0, b1, nullptr};
    int argc = 7, plainCount = 2;
    QVERIFY(RemoveAutomationSwitches(&argc, argv) && !RemoveAutomationSwitches(&plainCount, plain));
    QCOMPARE(QStringList(argv, argv + argc + 1),  // case-sensitive, and still ending in null
             QStringList({"rureza", "keep", "-embedding", "--Automation", {}}));
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::ConsoleTest)
#include "console_test.moc"
