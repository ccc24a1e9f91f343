// The setup dialog: SAVE's corrections and what it stores, Default, Cancel, the choosers,
// the current directory after the firmware chooser, and a settings file that is missing or
// cannot be written.
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <optional>

#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "gui/gui_test_support.h"
#include "settings/settings_file.h"

namespace rureza {
namespace {

// The dialog with its choosers answered by the test.
class TestSetupDlg : public CSetupDlg {
 public:
  QString folderAnswer;
  QString fileAnswer;

 protected:
  QString ChooseFolder() override { return folderAnswer; }
  QString ChooseFirmwareFile() override { return fileAnswer; }
};

QLineEdit* Edit(const CSetupDlg& dialog, const char* name) {
  return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}
QPushButton* Button(const CSetupDlg& dialog, const char* name) {
  return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}
QString Label(const CSetupDlg& dialog, const char* name) {
  return dialog.findChild<CSkinnedLabel*>(QString::fromLatin1(name))->text();
}

ServerSettings SampleRecord() {
  ServerSettings settings = test::TestSettings(40000, 7, 500);
  SetPathText(&settings.videoFolder, "/srv/video");
  SetPathText(&settings.audioFolder, "/srv/audio");
  SetPathText(&settings.photoFolder, "/srv/photo");
  SetPathText(&settings.firmwareFile, "/srv/fw/ve520.bin");
  return settings;
}

}  // namespace

class SetupDialogTest : public QObject {
  Q_OBJECT

 private:
  std::optional<test::ScratchDir> scratch_;
  QString file_;

 private slots:
  void init() {
    scratch_.emplace();
    file_ = scratch_->FilePath("sv.dat");
    test::WriteSettingsFile(SampleRecord(), file_);
  }
  void cleanup() { scratch_.reset(); }

  void aRecordIsShownAndSavedUnchanged() {
    SetCurrentSettings(ServerSettings{});
    TestSetupDlg dialog;
    QCOMPARE(dialog.size(), QSize(517, 403));
    // Dialog units at 1.75 x 1.875: SAVE at (169, 196, 44, 14).
    QCOMPARE(Button(dialog, "save")->geometry(), QRect(296, 368, 77, 26));
    dialog.Reload();
    QCOMPARE(Edit(dialog, "port")->text() + ' ' + Edit(dialog, "clientLimit")->text() + ' ' +
                 Edit(dialog, "logLines")->text(),
             QStringLiteral("40000 7 500"));
    QCOMPARE(Label(dialog, "m_update"), QStringLiteral("/srv/fw/ve520.bin"));
    Button(dialog, "save")->click();
    QCOMPARE(test::ReadSettingsFile(file_).port, uint16_t{40000});
    QCOMPARE(PathText(test::ReadSettingsFile(file_).firmwareFile),
             std::string("/srv/fw/ve520.bin"));
  }

  void saveCorrectsTheNumbers_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("clients");
    QTest::addColumn<QString>("lines");
    QTest::addColumn<int>("storedPort");
    QTest::addColumn<int>("storedClients");
    QTest::addColumn<int>("storedLines");
    QTest::newRow("upper bounds") << "65535"
                                  << "100"
                                  << "10000" << 65535 << 100 << 10000;
    QTest::newRow("lower bounds") << "0"
                                  << "1"
                                  << "30" << 0 << 1 << 30;
    QTest::newRow("just outside") << "65536"
                                  << "0"
                                  << "29" << 4567 << 1 << 1000;
    QTest::newRow("above") << "-1"
                           << "101"
                           << "10001" << 4567 << 1 << 1000;
    QTest::newRow("first characters only") << "123456"
                                           << "1000"
                                           << "99999" << 12345 << 100 << 1000;
    QTest::newRow("blank counts as a character") << " 65536"
                                                 << " 7"
                                                 << "  42x" << 6553 << 7 << 42;
    QTest::newRow("no digits") << ""
                               << "abc"
                               << "-" << 0 << 1 << 1000;
    QTest::newRow("sign") << "+40000"
                          << "+5"
                          << "-300" << 4000 << 5 << 1000;
  }

  void saveCorrectsTheNumbers() {
    QFETCH(QString, port);
    QFETCH(QString, clients);
    QFETCH(QString, lines);
    QFETCH(int, storedPort);
    QFETCH(int, storedClients);
    QFETCH(int, storedLines);
    TestSetupDlg dialog;
    dialog.Reload();
    Edit(dialog, "port")->setText(port);
    Edit(dialog, "clientLimit")->setText(clients);
    Edit(dialog, "logLines")->setText(lines);
    Button(dialog, "save")->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    for (const ServerSettings& s : {CurrentSettings(), test::ReadSettingsFile(file_)}) {
      QCOMPARE(int(s.port), storedPort);
      QCOMPARE(int(s.clientLimit), storedClients);
      QCOMPARE(int(s.logLineLimit), storedLines);
      QCOMPARE(PathText(s.videoFolder), std::string("/srv/video"));
    }
  }

  void browsedFoldersAreStoredBySave() {
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.folderAnswer = "/media/films";
    Button(dialog, "browseVideo")->click();
    dialog.folderAnswer = QString();  // a cancelled chooser changes nothing
    Button(dialog, "browseAudio")->click();
    QCOMPARE(Label(dialog, "m_video"), QStringLiteral("/media/films"));
    QCOMPARE(Label(dialog, "m_audio"), QStringLiteral("/srv/audio"));
    Button(dialog, "save")->click();
    const ServerSettings stored = test::ReadSettingsFile(file_);
    QCOMPARE(PathText(stored.videoFolder), std::string("/media/films"));
    QCOMPARE(PathText(stored.audioFolder), std::string("/srv/audio"));
  }

  void aLongPathIsShownWholeAndStoredAs254Bytes() {
    TestSetupDlg dialog;
    dialog.Reload();
    const QString longPath = QStringLiteral("/") + QString(258, QLatin1Char('p'));
    dialog.folderAnswer = longPath;
    Button(dialog, "browsePhoto")->click();
    QCOMPARE(Label(dialog, "m_photo"), longPath);
    Button(dialog, "save")->click();
    QCOMPARE(QString::fromStdString(PathText(CurrentSettings().photoFolder)), longPath.left(254));
    // A character of several bytes is never cut in two.
    dialog.Reload();
    dialog.folderAnswer = QString(253, QLatin1Char('x')) + QStringLiteral("\u00e9");
    Button(dialog, "browsePhoto")->click();
    Button(dialog, "save")->click();
    QCOMPARE(PathText(CurrentSettings().photoFolder), std::string(253, 'x'));
  }

  void defaultShowsTheDefaultNumbersAndCancelKeepsTheRecord() {
    const QByteArray before = [this] {
      QFile f(file_);
      return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.folderAnswer = "/elsewhere";
    Button(dialog, "browseAudio")->click();
    Button(dialog, "default")->click();
    QCOMPARE(Edit(dialog, "port")->text(), QStringLiteral("4567"));
    QCOMPARE(Edit(dialog, "clientLimit")->text(), QStringLiteral("1"));
    QCOMPARE(Edit(dialog, "logLines")->text(), QStringLiteral("1000"));
    QCOMPARE(Label(dialog, "m_video"), QStringLiteral("/srv/video"));
    QCOMPARE(Label(dialog, "m_audio"), QStringLiteral("/elsewhere"));
    QCOMPARE(CurrentSettings().port, uint16_t{40000});  // nothing stored before SAVE
    Button(dialog, "cancel")->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(CurrentSettings().port, uint16_t{40000});
    QCOMPARE(PathText(CurrentSettings().audioFolder), std::string("/srv/audio"));
    QFile after(file_);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
    dialog.Reload();
    QCOMPARE(Label(dialog, "m_audio"), QStringLiteral("/srv/audio"));
  }

  void enterInAFieldSaves() {
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), Button(dialog, "save"));
    QLineEdit* port = Edit(dialog, "port");
    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, QStringLiteral("5000"));
    QTest::keyClick(port, Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(test::ReadSettingsFile(file_).port, uint16_t{5000});
  }

  void focusOrder() {
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    const char* order[] = {"save",         "cancel",  "browseVideo", "browseAudio", "browsePhoto",
                           "browseUpdate", "default", "port",        "clientLimit", "logLines"};
    for (const char* name : order) {
      QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(name));
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    dialog.reject();
  }

  void theFirmwareChooserMovesTheCurrentDirectoryButSaveKeepsItsFile() {
    QTemporaryDir elsewhere;
    QVERIFY(QDir(elsewhere.path()).mkdir("fw"));
    const QString firmware = elsewhere.filePath("fw/new.bin");
    TestSetupDlg dialog;
    dialog.Reload();
    dialog.fileAnswer = firmware;
    Button(dialog, "browseUpdate")->click();
    QCOMPARE(QDir::currentPath(), QFileInfo(firmware).absolutePath());
    QCOMPARE(Label(dialog, "m_update"), firmware);
    Button(dialog, "save")->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(QString::fromStdString(PathText(test::ReadSettingsFile(file_).firmwareFile)),
             firmware);
    QVERIFY(!QFile::exists(elsewhere.filePath("fw/sv.dat")));
    // The next opening, from the new directory, still loads that file.
    dialog.Reload();
    QCOMPARE(Label(dialog, "m_update"), firmware);
    QDir::setCurrent(scratch_->path());
  }

  void theFirmwareChooserOffersBinFilesThenAllFiles() {
    QFile(scratch_->FilePath("ve520.bin")).open(QIODevice::WriteOnly);
    QFile(scratch_->FilePath("firmware")).open(QIODevice::WriteOnly);
    std::unique_ptr<QFileDialog> chooser = MakeFirmwareChooser(nullptr);
    QComboBox* filters = chooser->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(filters);
    QCOMPARE(filters->count(), 2);
    QCOMPARE(filters->itemText(0), QStringLiteral("BINFiles (*.bin)"));
    QCOMPARE(filters->itemText(1), QStringLiteral("All Files(*.*)"));
    QCOMPARE(filters->currentIndex(), 0);
    QListView* files = chooser->findChild<QListView*>(QStringLiteral("listView"));
    QVERIFY(files);
    auto shown = [&] {
      QStringList names;
      for (int i = 0; i < files->model()->rowCount(files->rootIndex()); ++i) {
        names << files->model()->index(i, 0, files->rootIndex()).data().toString();
      }
      names.sort();
      return names;
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringList{"ve520.bin"}, 10000);
    filters->setCurrentIndex(1);
    emit filters->activated(1);
    // "All Files" shows a file without a dot in its name too.
    QTRY_VERIFY_WITH_TIMEOUT(shown().contains("firmware") && shown().contains("ve520.bin"), 10000);
  }

  void withoutASettingsFileOpeningReportsAndSaveCreatesIt() {
    TestSetupDlg first;
    first.Reload();  // remembers this scratch folder's file
    scratch_.reset();
    scratch_.emplace();  // a new folder without a settings file; the remembered one is gone
    TestSetupDlg dialog;
    QString message;
    auto watch = test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    dialog.Reload();
    QVERIFY(watch->handled());
    QVERIFY2(message.endsWith(QStringLiteral("No such file or directory")), qPrintable(message));
    Edit(dialog, "port")->setText(QStringLiteral("6000"));
    Button(dialog, "save")->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const QString created = scratch_->FilePath("sv.dat");
    QCOMPARE(QFileInfo(created).size(), 1026);
    QCOMPARE(test::ReadSettingsFile(created).port, uint16_t{6000});
  }

  void aSaveThatFailsIsReportedAndTheDialogStaysOpen() {
    QFile::remove(file_);
    QVERIFY(QDir(scratch_->path()).mkdir("sv.dat"));  // cannot be opened for writing
    TestSetupDlg dialog;
    auto loadError = test::WhenModal<QMessageBox>([](QMessageBox* box) { box->accept(); });
    dialog.Reload();
    QVERIFY(loadError->handled());
    dialog.show();
    Edit(dialog, "port")->setText(QStringLiteral("7000"));
    QString message;
    auto saveError = test::WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    Button(dialog, "save")->click();
    QVERIFY(saveError->handled());
    QVERIFY2(message.endsWith(QStringLiteral("Is a directory")), qPrintable(message));
    QVERIFY(dialog.isVisible());
    QCOMPARE(Edit(dialog, "port")->text(), QStringLiteral("7000"));
    QCOMPARE(CurrentSettings().port, uint16_t{7000});  // the record already holds the edits
    dialog.reject();
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::SetupDialogTest)
#include "setup_dialog_test.moc"
