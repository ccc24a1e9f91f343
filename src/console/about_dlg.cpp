#include "console/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "console/artwork.h"
#include "console/dialog_units.h"

namespace rureza {
namespace {

// 235 x 55 units of Arial 8 pt.
constexpr QSize kSize(353, 96);

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setFont(ArialFont(kArial8Pixels));
  setFixedSize(kSize);
  setWindowTitle(QStringLiteral("About Zivevir Media server"));

  auto* icon = new QLabel(this);
  auto* version = new QLabel(QStringLiteral("Zivevir Media server Version 1.0.0"), this);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  PlaceControls(kArial8Units, {{icon, {11, 17, 21, 18}, "icon"},
                               {version, {40, 21, 130, 8}, "version"},
                               {ok, {178, 7, 50, 16}, "ok"}});
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(ArtworkPixmap(Artwork::kAppIcon));
  version->setTextFormat(Qt::PlainText);
  ok->setDefault(true);
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace rureza
