#include "console/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "console/artwork.h"
#include "console/dialog_units.h"

namespace rureza {
namespace {

// 235 x 55 units of Arial 8 pt.
constexpr QSize kSize(353, 96);
constexpr DluBox kIcon{11, 17, 21, 18};
constexpr DluBox kVersion{40, 21, 130, 8};
constexpr DluBox kOk{178, 7, 50, 16};

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setFont(ArialFont(kArial8Pixels));
  setFixedSize(kSize);
  setWindowTitle(QStringLiteral("About Zivevir Media server"));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setGeometry(ToPixels(kArial8Units, kIcon));
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(ArtworkPixmap(Artwork::kAppIcon));

  auto* version = new QLabel(QStringLiteral("Zivevir Media server Version 1.0.0"), this);
  version->setObjectName(QStringLiteral("version"));
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(ToPixels(kArial8Units, kVersion));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(ToPixels(kArial8Units, kOk));
  ok->setDefault(true);
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace rureza
