#include "console/face_button.h"

#include <QPainter>

namespace rureza {

CFaceButton::CFaceButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setCursor(Qt::PointingHandCursor);
}

void CFaceButton::SetFace(const QPixmap& face) {
  face_ = face;
  update();
}

void CFaceButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  // Centred like a picture button; a pressed face moves down and right by one pixel.
  QPoint origin((width() - face_.width()) / 2, (height() - face_.height()) / 2);
  if (isDown()) origin += QPoint(1, 1);
  if (!isEnabled()) p.setOpacity(0.45);
  p.drawPixmap(origin, face_);
  if (hasFocus()) {
    p.setOpacity(1);
    QPen pen(Qt::white, 1, Qt::DotLine);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(origin, face_.size()).adjusted(3, 3, -4, -4));
  }
}

void SetButtonFace(CFaceButton* button, Artwork face) { button->SetFace(ArtworkPixmap(face)); }

}  // namespace rureza
