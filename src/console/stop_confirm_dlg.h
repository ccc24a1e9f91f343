// CStopConfirmDlg: asks the operator before a stop cuts off connected clients. Cancel has the
// focus when it opens, so a stray Enter keeps the server running.
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace rureza {

class CStopConfirmDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CStopConfirmDlg)

 public:
  explicit CStopConfirmDlg(QWidget* parent = nullptr);

  // True once Yes was pressed; Cancel, Escape and the close box leave it false.
  bool Confirmed() const { return confirmed_; }

 private:
  QLabel* m_upper;  // id 1004
  QLabel* m_lower;  // id 1005
  QPushButton* yes_;
  QPushButton* cancel_;
  bool confirmed_ = false;
};

}  // namespace rureza
