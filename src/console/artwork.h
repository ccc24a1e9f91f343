// The console's artwork: the background pictures of the main window, the setup dialog and the
// library dialog, the button faces of the dialogs and the application icon. All of it is drawn here
// with QPainter; the ids are the resource numbers the layouts refer to.
// Thread safety: GUI thread only (pixmaps).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <vector>

namespace rureza {

enum class Artwork {
  kAppIcon = 128,
  kSaveFace = 149,           // 75 x 27, "SAVE"
  kCancelFace = 150,         // 75 x 27, "Cancel"
  kBrowseFace = 151,         // 75 x 27, "Browse..."
  kDefaultFace = 152,        // 75 x 27, "Defaut" (the face's own spelling)
  kLibraryFace = 153,        // 75 x 27, "Library..."
  kOkFace = 154,             // 75 x 27, "OK"
  kMainBackground = 156,     // 536 x 510, main window
  kSetupBackground = 157,    // 517 x 403, setup dialog
  kLibraryBackground = 158,  // 385 x 450, library dialog
};

// The picture with that id, drawn on first use. kAppIcon gives the 32 x 32 icon.
QPixmap ArtworkPixmap(Artwork id);

// Icon 128 in every size a desktop asks for.
QIcon ApplicationIcon();

// A caption painted into a background picture: its text and the rectangle it is drawn in.
struct PaintedCaption {
  QString text;
  QRect rect;
  int alignment;
  bool heading;
};
std::vector<PaintedCaption> BackgroundCaptions(Artwork picture);

// The rectangle of the decorative panel on the main window's background, where the clock shows.
QRect MainSidePanel();

}  // namespace rureza
