// CLibraryDlg: the library options as the Setup dialog edits them: whether the media folders'
// subfolders are listed, whether names too long for the adapter are listed under short names,
// and the adapter's character set (a list of common ones, or any name typed in). OK takes the
// edits only when the character set can be used here; the Setup dialog's SAVE writes them.
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>

#include "settings/server_settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace rureza {

class CLibraryDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CLibraryDlg)

 public:
  CLibraryDlg(const LibraryOptions& options, QWidget* parent = nullptr);

  // The options as shown; after OK, as accepted.
  LibraryOptions Options() const;

 private:
  void OnOk();

  QCheckBox* m_subfolders;
  QCheckBox* m_shortNames;
  QLabel* m_charsetLabel;
  QComboBox* m_charset;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// The character sets the list offers.
QStringList CommonAdapterCharsets();

}  // namespace rureza
