// CAboutDlg: the program's name, version and icon.
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>

namespace rureza {

class CAboutDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CAboutDlg)

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace rureza
