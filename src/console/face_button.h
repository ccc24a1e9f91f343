// CFaceButton: a push button that shows a picture face (its caption is painted in the picture)
// instead of drawing its text. The text is still set: it gives the button its mnemonic and
// its name for assistive tools.
// Thread safety: GUI thread only.
#pragma once

#include <QPixmap>
#include <QPushButton>

#include "console/artwork.h"

namespace rureza {

class CFaceButton : public QPushButton {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CFaceButton)

 public:
  explicit CFaceButton(const QString& text, QWidget* parent = nullptr);

  void SetFace(const QPixmap& face);
  const QPixmap& Face() const { return face_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap face_;
};

// Gives button the face with that artwork id.
void SetButtonFace(CFaceButton* button, Artwork face);

}  // namespace rureza
