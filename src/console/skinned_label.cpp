#include "console/skinned_label.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>

#include "console/dialog_units.h"

namespace rureza {
namespace {

// Below this a figure is no longer readable; it is shortened instead.
constexpr int kSmallestPixels = 8;

}  // namespace

CSkinnedLabel::CSkinnedLabel(QWidget* parent, Overflow overflow)
    : QLabel(parent),
      overflow_(overflow),
      textColor_(QApplication::palette().color(QPalette::WindowText)),
      background_(QApplication::palette().color(QPalette::Button)) {
  QFont general = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  general.setPixelSize(kArial8Pixels);
  setFont(general);
  setWordWrap(false);
}

void CSkinnedLabel::SetBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

void CSkinnedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), background_);
  drawFrame(&p);
  const QRect area = contentsRect().adjusted(2, 0, -1, 0);
  QFont shown = font();
  QFontMetrics metrics(shown);
  if (overflow_ == Overflow::kShrink) {
    while (metrics.horizontalAdvance(text()) > area.width() &&
           shown.pixelSize() > kSmallestPixels) {
      shown.setPixelSize(shown.pixelSize() - 1);
      metrics = QFontMetrics(shown);
    }
  }
  const Qt::TextElideMode mode = overflow_ == Overflow::kShrink ? Qt::ElideRight : Qt::ElideMiddle;
  p.setFont(shown);
  p.setPen(textColor_);
  p.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             metrics.elidedText(text(), mode, area.width()));
}

}  // namespace rureza
