// The Library dialog as the operator reaches it from Setup: the options of a new settings file
// shown, a character set this machine cannot use refused with the dialog kept open, and SAVE
// writing the edits to the file's library tail.
#include <QtTest>
#include <QtWidgets>

#include "console/library_dlg.h"
#include "console/setup_dlg.h"
#include "settings/settings_file.h"

namespace rureza {

class LibraryDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void editsAreCheckedThenSaved() {
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    ServerSettings created;
    QVERIFY(LoadOrCreateSettingsFile("sv.dat", &created).ok());
    CSetupDlg setup;
    setup.Reload();
    QString shown, refused;
    int answers = 0;
    QTimer driver;  // answers each modal dialog as it opens; the third answer closes any left
    connect(&driver, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        refused = box->text();
        box->accept();
      } else if (auto* library = qobject_cast<CLibraryDlg*>(modal)) {
        auto* subfolders = library->findChild<QCheckBox*>("m_subfolders");
        auto* charset = library->findChild<QComboBox*>("m_charset");
        if (answers == 0) {
          shown = QStringLiteral("%1 %2 %3")
                      .arg(subfolders->isChecked())
                      .arg(library->findChild<QCheckBox*>("m_shortNames")->isChecked())
                      .arg(charset->currentText());
          subfolders->setChecked(false);
        }
        charset->setCurrentText(answers == 0 ? "no-such-set" : "cp1252");
        // Clicked from the event loop: a message box it opens must not run inside this slot.
        QPushButton* ok = library->findChild<QPushButton*>("ok");
        if (answers++ < 2) QMetaObject::invokeMethod(ok, &QPushButton::click, Qt::QueuedConnection);
        if (answers > 2) library->reject();
      }
    });
    driver.start(10);
    setup.findChild<QPushButton*>("library")->click();
    QCOMPARE(shown, QStringLiteral("1 1 stored"));
    QVERIFY2(refused.contains("\"no-such-set\" cannot be used"), qPrintable(refused));
    QCOMPARE(answers, 2);
    setup.findChild<QPushButton*>("save")->click();
    QFile file("sv.dat");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().mid(1026),
             "RUREZA-LIBRARY 1\nsubfolders=off\nshort-names=on\ncharset=CP1252\nEND\n");
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::LibraryDialogTest)
#include "library_dialog_test.moc"
