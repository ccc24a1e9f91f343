// Window layouts. Each window's controls are placed in dialog units of the window's font; these
// factors turn them into pixels at the size the artwork was drawn for (96 dpi), so every control
// sits on its well in the background picture.
// Thread safety: constants and pure functions only.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <cmath>
#include <initializer_list>

namespace rureza {

struct DluScale {
  double x;
  double y;
};

// Main window and About dialog (Arial 8 pt).
inline constexpr DluScale kArial8Units{1.5, 1.75};
// Setup and stop-confirmation dialogs (Arial 9 pt).
inline constexpr DluScale kArial9Units{1.75, 1.875};

struct DluBox {
  int x;
  int y;
  int width;
  int height;
};

// Edges are rounded rather than sizes, so controls that share an edge in dialog units share it
// in pixels too.
inline QRect ToPixels(DluScale scale, DluBox box) {
  const int left = static_cast<int>(std::lround(box.x * scale.x));
  const int top = static_cast<int>(std::lround(box.y * scale.y));
  const int right = static_cast<int>(std::lround((box.x + box.width) * scale.x));
  const int bottom = static_cast<int>(std::lround((box.y + box.height) * scale.y));
  return QRect(left, top, right - left, bottom - top);
}

// A window's control: where it sits, in the window's dialog units, and the name it is found by.
struct PlacedControl {
  QWidget* widget;
  DluBox box;
  const char* name;
};

// Puts each control in place and names it.
inline void PlaceControls(DluScale scale, std::initializer_list<PlacedControl> controls) {
  for (const PlacedControl& control : controls) {
    control.widget->setGeometry(ToPixels(scale, control.box));
    control.widget->setObjectName(QString::fromLatin1(control.name));
  }
}

// Chains the focus through the widgets in this order.
inline void SetTabOrder(std::initializer_list<QWidget*> order) {
  for (auto it = order.begin(); it + 1 < order.end(); ++it) QWidget::setTabOrder(it[0], it[1]);
}

// The window fonts, by pixel size so the layout does not depend on the screen's dpi.
inline QFont ArialFont(int pixelSize, bool bold = false) {
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}
inline constexpr int kArial8Pixels = 11;
inline constexpr int kArial9Pixels = 12;

// Main window (357 x 291 units): the size of background picture 156.
namespace main_layout {
inline constexpr QSize kSize{536, 510};
inline constexpr DluBox kLogList{18, 34, 230, 150};
inline constexpr DluBox kHostName{79, 200, 59, 9};
inline constexpr DluBox kIpAddress{221, 200, 57, 9};
inline constexpr DluBox kRate{83, 229, 26, 8};
inline constexpr DluBox kUsers{83, 239, 26, 8};
inline constexpr DluBox kTransferred{175, 229, 44, 8};
inline constexpr DluBox kReceived{175, 240, 44, 8};
inline constexpr DluBox kStartStop{18, 259, 51, 15};
inline constexpr DluBox kSetup{70, 259, 51, 15};
inline constexpr DluBox kClear{121, 259, 51, 15};
inline constexpr DluBox kExit{172, 259, 51, 15};
inline constexpr DluBox kHelp{278, 56, 51, 15};
inline constexpr DluBox kClock{277, 35, 61, 20};
}  // namespace main_layout

// Setup dialog (295 x 215 units): the size of background picture 157.
namespace setup_layout {
inline constexpr QSize kSize{517, 403};
inline constexpr DluBox kPort{131, 21, 27, 12};
inline constexpr DluBox kClientLimit{131, 40, 26, 12};
inline constexpr DluBox kDefault{208, 38, 44, 14};
inline constexpr DluBox kVideo{103, 86, 97, 12};
inline constexpr DluBox kLibrary{206, 69, 44, 14};  // beside the media folders' heading
inline constexpr DluBox kBrowseVideo{207, 86, 44, 14};
inline constexpr DluBox kAudio{103, 106, 97, 12};
inline constexpr DluBox kBrowseAudio{206, 106, 44, 14};
inline constexpr DluBox kPhoto{103, 126, 97, 12};
inline constexpr DluBox kBrowsePhoto{206, 126, 44, 14};
inline constexpr DluBox kUpdate{103, 145, 97, 12};
inline constexpr DluBox kBrowseUpdate{206, 145, 44, 14};
inline constexpr DluBox kLogLines{211, 172, 46, 12};
inline constexpr DluBox kSave{169, 196, 44, 14};
inline constexpr DluBox kCancel{213, 196, 44, 14};
}  // namespace setup_layout

// Library dialog (220 x 150 units of Arial 9 pt): the size of background picture 158. Its panel
// reaches from the top down to just above the buttons; a new row goes above the buttons, which
// move down with kSize.
namespace library_layout {
inline constexpr QSize kSize{385, 450};
inline constexpr DluBox kSubfolders{14, 22, 190, 12};
inline constexpr DluBox kShortNames{14, 38, 190, 12};
inline constexpr DluBox kCharsetLabel{14, 58, 90, 12};
inline constexpr DluBox kCharset{106, 57, 96, 14};  // sits in a well
inline constexpr DluBox kConvert{14, 80, 190, 12};
inline constexpr DluBox kPhotoSizeLabel{14, 100, 90, 12};
inline constexpr DluBox kPhotoSize{106, 99, 60, 14};  // sits in a well
inline constexpr DluBox kVideoStandardLabel{14, 120, 90, 12};
inline constexpr DluBox kVideoStandard{106, 119, 60, 14};  // sits in a well
inline constexpr DluBox kSubtitles{14, 140, 190, 12};
inline constexpr DluBox kStatusPage{14, 162, 190, 12};
inline constexpr DluBox kStatusAddressLabel{14, 182, 90, 12};
inline constexpr DluBox kStatusAddress{106, 181, 96, 14};  // sits in a well
inline constexpr DluBox kStatusUrl{14, 200, 194, 12};
inline constexpr DluBox kOk{118, 220, 44, 14};
inline constexpr DluBox kCancel{164, 220, 44, 14};
}  // namespace library_layout

}  // namespace rureza
