// The Library dialog as the operator reaches it from Setup: the options of a new settings file
// shown, a tooltip on every control, names as stored offered in words, a character set this
// machine cannot use and a photo size that is none refused with the dialog kept open, and SAVE
// writing the edits (the TV standard and subtitles among them) to the file's library tail.
#include <QtTest>
#include <QtWidgets>

#include "console/library_dlg.h"
#include "console/setup_dlg.h"
#include "settings/library_tail.h"
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
    QStringList seen;  // the first answer's view of the options, then the refusal
    int answers = 0;
    QTimer driver;  // answers each modal dialog as it opens; a fourth answer closes it
    connect(&driver, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        seen << box->text();
        box->accept();
      } else if (auto* library = qobject_cast<CLibraryDlg*>(QApplication::activeModalWidget())) {
        auto* charset = library->findChild<QComboBox*>("m_charset");
        if (answers == 0) {
          seen << QString::fromStdString(WriteLibraryTail(library->Options()));
          charset->setCurrentIndex(0);
          seen << charset->currentText() + ": " + library->Options().charset.c_str();
          for (QWidget* control : library->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (control->toolTip().isEmpty()) seen << control->objectName() + " has no tooltip";
        }
        library->findChild<QCheckBox*>("m_subfolders")->setChecked(false);
        library->findChild<QCheckBox*>("m_convert")->setChecked(false);
        library->findChild<QComboBox*>("m_videoStandard")->setCurrentIndex(1);
        library->findChild<QCheckBox*>("m_subtitles")->setChecked(false);
        charset->setCurrentText(answers ? "cp1252" : "no-such");
        library->findChild<QLineEdit*>("m_photoSize")->setText(answers < 2 ? "1280x0" : "1280x720");
        // Clicked from the event loop: the message box it opens must not run inside this slot.
        auto* ok = library->findChild<QPushButton*>("ok");
        if (answers++ < 3) QMetaObject::invokeMethod(ok, &QPushButton::click, Qt::QueuedConnection);
        if (answers > 3) library->reject();
      }
    });
    driver.start(10);
    setup.findChild<QPushButton*>("library")->click();
    QCOMPARE(seen,
             QStringList({QString::fromStdString(WriteLibraryTail(NewInstallLibraryOptions())),
                          "names as stored (UTF-8): stored",
                          "The character set \"no-such\" cannot be used for adapter names "
                          "on this computer.",
                          "The photo size \"1280x0\" is not WIDTHxHEIGHT with each side from 1 "
                          "to 16384 pixels."}));
    setup.findChild<QPushButton*>("save")->click();
    QFile file("sv.dat");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().mid(1026),
             "RUREZA-LIBRARY 1\nsubfolders=off\nshort-names=on\ncharset=CP1252\nconvert=off\n"
             "photo-size=1280x720\nvideo-standard=ntsc\nsubtitles=off\nEND\n");
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::LibraryDialogTest)
#include "library_dialog_test.moc"
