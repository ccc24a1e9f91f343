// rureza-screenshots: renders each console window to a PNG, offscreen, with sample content.
//   rureza-screenshots [OUTPUT_DIR]      (default docs/screenshots)
// Runs in a temporary folder, so no settings file of the operator is touched.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdio>

#include "console/about_dlg.h"
#include "console/library_dlg.h"
#include "console/rureza_dlg.h"
#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "console/skinned_list_box.h"
#include "console/stop_confirm_dlg.h"
#include "server/activity_log.h"
#include "settings/settings_file.h"

namespace rureza {
namespace {

bool Save(QWidget* window, const QString& path) {
  window->show();
  QApplication::processEvents();
  const bool saved = window->grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
  window->hide();
  return saved;
}

void WriteSampleSettings() {
  ServerSettings settings = DefaultSettings();
  SetPathText(&settings.videoFolder, "/home/operator/Videos");
  SetPathText(&settings.audioFolder, "/home/operator/Music");
  SetPathText(&settings.photoFolder, "/home/operator/Pictures");
  SetPathText(&settings.firmwareFile, "/home/operator/firmware/ve520-2.14.bin");
  ServerSettings scratch;
  LoadOrCreateSettingsFile(kSettingsFileName, &scratch);
  SaveSettingsFile(kSettingsFileName, settings);
}

void FillSampleLog() {
  const char* lines[] = {
      "Start Running Media Server...",
      "Server Started : [192.168.1.20] with port 4567",
      "New connection from 192.168.1.37",
      "192.168.1.37 requests to list files",
      "192.168.1.37 is leaving......",
      "New connection from 192.168.1.37",
      "192.168.1.37 requests to play a MP3 file ::",
      "/home/operator/Music\\Blue Train.mp3",
      "192.168.1.37 is leaving......",
      "New connection from 192.168.1.52",
      "192.168.1.52 requests to play a AVI file ::",
      "/home/operator/Videos\\Holiday 2023.avi",
  };
  for (const char* line : lines) AppendLog(line);
}

int Main(int argc, char** argv) {
  const QString output =
      QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots"))
          .absolutePath();
  QApplication app(argc, argv);
  QDir().mkpath(output);
  QTemporaryDir work;
  if (!work.isValid() || !QDir::setCurrent(work.path())) return 1;
  WriteSampleSettings();

  bool ok = true;
  {
    CRurezaDlg main;
    // Fixed names, so the pictures do not show the machine they were made on.
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_hostname"))->setText("media-pc");
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_ipaddr"))->setText("192.168.1.20");
    FillSampleLog();
    main.findChild<QPushButton*>(QStringLiteral("startStop"))->setText(QStringLiteral("Stop"));
    main.findChild<QPushButton*>(QStringLiteral("setup"))->setEnabled(false);
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_rate"))->setText(QStringLiteral("3.8147"));
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_users"))->setText(QStringLiteral("1"));
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_transferred"))->setText("1862");
    main.findChild<CSkinnedLabel*>(QStringLiteral("m_received"))->setText("9");
    CSkinnedListBox* list = main.LogList();
    list->selectionModel()->select(list->model()->index(6, 0), QItemSelectionModel::Select);
    ok &= Save(&main, output + QStringLiteral("/main_window.png"));

    CSetupDlg& setup = *main.SetupDialog();
    setup.Reload();
    ok &= Save(&setup, output + QStringLiteral("/setup_dialog.png"));

    LibraryOptions western = NewInstallLibraryOptions();
    western.charset = "CP1252";
    CLibraryDlg library(western, &setup);
    ok &= Save(&library, output + QStringLiteral("/library_dialog.png"));

    CStopConfirmDlg confirm(&main);
    ok &= Save(&confirm, output + QStringLiteral("/stop_confirm.png"));
    CAboutDlg about(&main);
    ok &= Save(&about, output + QStringLiteral("/about.png"));
  }
  QDir::setCurrent(QDir::rootPath());
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return rureza::Main(argc, argv);
}
