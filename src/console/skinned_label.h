// CSkinnedLabel: a value label with its own background colour, drawn in the system's general
// font (not its window's) and the system's window-text colour. A text too wide for the label is
// drawn smaller (numbers) or shortened in the middle (paths), never cut off at the edge.
// Thread safety: GUI thread only.
#pragma once

#include <QColor>
#include <QLabel>

namespace rureza {

class CSkinnedLabel : public QLabel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CSkinnedLabel)

 public:
  enum class Overflow { kShrink, kElideMiddle };

  explicit CSkinnedLabel(QWidget* parent = nullptr, Overflow overflow = Overflow::kShrink);

  // Replaces the background colour; the label shows it from its next paint on.
  void SetBackgroundColor(const QColor& color);
  QColor BackgroundColor() const { return background_; }
  QColor TextColor() const { return textColor_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const Overflow overflow_;
  QColor textColor_;
  QColor background_;
};

}  // namespace rureza
