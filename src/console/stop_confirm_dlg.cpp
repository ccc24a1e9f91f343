#include "console/stop_confirm_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "console/dialog_units.h"

namespace rureza {
namespace {

// 186 x 71 units of Arial 9 pt.
constexpr QSize kSize(326, 133);

}  // namespace

CStopConfirmDlg::CStopConfirmDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_upper(new QLabel(this)),
      m_lower(new QLabel(this)),
      yes_(new QPushButton(QStringLiteral("&Yes"), this)),
      cancel_(new QPushButton(QStringLiteral("&Cancel"), this)) {
  setFont(ArialFont(kArial9Pixels));
  setFixedSize(kSize);
  setWindowTitle(QStringLiteral("Warning..."));
  PlaceControls(kArial9Units, {{m_upper, {14, 12, 160, 10}, "m_upper"},
                               {m_lower, {14, 27, 160, 10}, "m_lower"},
                               {yes_, {36, 48, 50, 14}, "yes"},
                               {cancel_, {100, 48, 50, 14}, "cancel"}});
  m_upper->setText(QStringLiteral("There are one or more users connections."));
  m_lower->setText(QStringLiteral("To stop the Media Server?"));

  setTabOrder(cancel_, yes_);
  cancel_->setDefault(true);
  cancel_->setFocus();
  connect(yes_, &QPushButton::clicked, this, [this] {
    confirmed_ = true;
    accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

}  // namespace rureza
