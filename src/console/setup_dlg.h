// CSetupDlg: where the operator edits the settings record: port, client limit, log-line limit,
// the three media folders and the firmware image file, and (through Library...) the library
// options. Each opening reloads the record from
// the settings file (a failed load is reported; the dialog then shows the record as it is).
// SAVE corrects out-of-range numbers silently, stores the record and writes it to the file the
// dialog loaded (creating it when there is none); every other way out discards the edits.
// The main window opens it only while the server is stopped.
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "settings/server_settings.h"

class QFileDialog;
class QLineEdit;

namespace rureza {

class CFaceButton;
class CSkinnedLabel;

class CSetupDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CSetupDlg)

 public:
  explicit CSetupDlg(QWidget* parent = nullptr);

  // Reloads the record, then runs the dialog modally.
  int exec() override;

  // Loads the record with the settings file's path choice and shows its values.
  void Reload();

  // The file SAVE writes: the one the last load opened, else (none, or its folder is gone)
  // sv.dat in the directory the application started in.
  QString SettingsPath() const;

 protected:
  // The choosers; empty when the operator cancels. Tests replace them.
  virtual QString ChooseFolder();
  virtual QString ChooseFirmwareFile();

  void paintEvent(QPaintEvent* event) override;

 private:
  void ShowValues();
  void BrowseFolder(QString* workingPath, CSkinnedLabel* label);
  void OnBrowseFirmware();
  void OnDefault();
  void OnSave();
  void OnLibrary();

  QLineEdit* portEdit_;
  QLineEdit* logLinesEdit_;
  QLineEdit* clientLimitEdit_;
  CSkinnedLabel* m_video;
  CSkinnedLabel* m_update;
  CSkinnedLabel* m_photo;
  CSkinnedLabel* m_audio;
  CFaceButton* browseUpdate_;
  CFaceButton* browsePhoto_;
  CFaceButton* browseAudio_;
  CFaceButton* browseVideo_;
  CFaceButton* cancel_;
  CFaceButton* default_;
  CFaceButton* save_;
  CFaceButton* library_;

  // The working values: what the fields showed at the last show step.
  int portValue_ = 0;
  int clientLimitValue_ = 0;
  int logLineLimitValue_ = 0;
  QString videoPath_;
  QString audioPath_;
  QString photoPath_;
  QString firmwarePath_;
  LibraryOptions libraryValue_;

  const QString startupSettingsPath_;
};

// The firmware file chooser as CSetupDlg runs it: the filters "BINFiles (*.bin)" and
// "All Files(*.*)" (every file, with or without a dot), the first one selected.
std::unique_ptr<QFileDialog> MakeFirmwareChooser(QWidget* parent);

// The number at the start of the first maxChars characters of text, read as C's atoi reads:
// leading blanks, an optional sign, digits up to the first other character; 0 without digits.
int LeadingNumber(const QString& text, int maxChars);

}  // namespace rureza
