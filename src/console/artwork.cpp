#include "console/artwork.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QRadialGradient>

#include "console/dialog_units.h"

namespace rureza {
namespace {

const QColor kDeepBlue(11, 42, 91);
const QColor kNightBlue(6, 24, 56);
const QColor kFrameBlue(110, 140, 190);
const QColor kWellGrey(192, 192, 192);
const QSize kFaceSize(75, 27);
constexpr int kCaptionGap = 7;  // between a caption and the control it names

// The patterned ground: a dark blue gradient under a fine diagonal weave.
void PaintBlueGround(QPainter& p, const QRect& area) {
  QLinearGradient gradient(area.topLeft(), area.bottomRight());
  gradient.setColorAt(0, kDeepBlue);
  gradient.setColorAt(1, kNightBlue);
  p.fillRect(area, gradient);
  p.save();
  p.setClipRect(area);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QColor(255, 255, 255, 20));
  const int span = area.width() + area.height();
  for (int d = -area.height(); d < span; d += 8) {
    p.drawLine(area.left() + d, area.top(), area.left() + d + area.height(), area.bottom());
  }
  p.setPen(QColor(120, 170, 255, 14));
  for (int d = 0; d < span; d += 8) {
    p.drawLine(area.left() + d, area.top(), area.left() + d - area.height(), area.bottom());
  }
  p.restore();
}

void PaintWhitePanel(QPainter& p, const QRect& panel) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 70));
  p.drawRoundedRect(QRectF(panel).translated(2, 2), 6, 6);
  p.setBrush(Qt::white);
  p.setPen(QPen(kFrameBlue, 1));
  p.drawRoundedRect(QRectF(panel).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  p.restore();
}

// A grey, sunken well that a control sits in.
void PaintWell(QPainter& p, const QRect& control, int margin) {
  const QRect well = control.adjusted(-margin, -margin, margin, margin);
  p.fillRect(well, kWellGrey);
  p.setPen(QColor(128, 128, 128));
  p.drawLine(well.topLeft(), well.topRight());
  p.drawLine(well.topLeft(), well.bottomLeft());
  p.setPen(Qt::white);
  p.drawLine(well.bottomLeft(), well.bottomRight());
  p.drawLine(well.topRight(), well.bottomRight());
}

void PaintGroupFrame(QPainter& p, const QRect& frame) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kFrameBlue, 1));
  p.drawRoundedRect(QRectF(frame).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
  p.restore();
}

void PaintCaptions(QPainter& p, const std::vector<PaintedCaption>& captions, int pixelSize) {
  for (const PaintedCaption& caption : captions) {
    QFont font = ArialFont(caption.heading ? pixelSize + 1 : pixelSize, caption.heading);
    p.setFont(font);
    if (caption.heading) {
      // Headings may sit on a frame line; clear the line behind the words.
      QRect behind = QFontMetrics(font).boundingRect(caption.rect, caption.alignment, caption.text);
      p.fillRect(behind.adjusted(-3, 0, 3, 0), Qt::white);
      p.setPen(kDeepBlue);
    } else {
      p.setPen(Qt::black);
    }
    p.drawText(caption.rect, caption.alignment, caption.text);
  }
}

// The icon's drawing at any size: a blue tile, a set-top box and a play sign over it.
void PaintIcon(QPainter& p, const QRectF& r) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  const qreal s = r.width();
  QLinearGradient tile(r.topLeft(), r.bottomLeft());
  tile.setColorAt(0, QColor(64, 124, 214));
  tile.setColorAt(1, kDeepBlue);
  p.setPen(QPen(kNightBlue, s / 32));
  p.setBrush(tile);
  p.drawRoundedRect(r.adjusted(s / 32, s / 32, -s / 32, -s / 32), s * 0.18, s * 0.18);
  // The box.
  QRectF box(r.left() + s * 0.14, r.top() + s * 0.60, s * 0.72, s * 0.22);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(230, 236, 246));
  p.drawRoundedRect(box, s * 0.05, s * 0.05);
  p.setBrush(QColor(70, 220, 120));
  p.drawEllipse(QPointF(box.right() - s * 0.09, box.center().y()), s * 0.04, s * 0.04);
  // The play sign.
  QPainterPath play;
  play.moveTo(r.left() + s * 0.38, r.top() + s * 0.16);
  play.lineTo(r.left() + s * 0.70, r.top() + s * 0.35);
  play.lineTo(r.left() + s * 0.38, r.top() + s * 0.54);
  play.closeSubpath();
  p.setBrush(Qt::white);
  p.drawPath(play);
  p.restore();
}

QPixmap PaintFace(const QString& caption) {
  QPixmap face(kFaceSize);
  face.fill(Qt::transparent);
  QPainter p(&face);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QRectF body = QRectF(QPointF(0, 0), QSizeF(kFaceSize)).adjusted(0.5, 0.5, -0.5, -0.5);
  QLinearGradient gradient(body.topLeft(), body.bottomLeft());
  gradient.setColorAt(0, QColor(92, 146, 222));
  gradient.setColorAt(0.5, QColor(34, 88, 170));
  gradient.setColorAt(1, QColor(16, 52, 116));
  p.setPen(QPen(kNightBlue, 1));
  p.setBrush(gradient);
  p.drawRoundedRect(body, 5, 5);
  p.setPen(QPen(QColor(255, 255, 255, 110), 1));
  p.drawLine(QPointF(5, 2.5), QPointF(kFaceSize.width() - 5, 2.5));
  p.setFont(ArialFont(12, true));
  p.setPen(QColor(0, 0, 0, 120));
  p.drawText(QRectF(body).translated(1, 1), Qt::AlignCenter, caption);
  p.setPen(Qt::white);
  p.drawText(body, Qt::AlignCenter, caption);
  return face;
}

QRect Before(const QRect& control, int width) {
  return QRect(control.left() - kCaptionGap - width, control.top(), width, control.height());
}
QRect After(const QRect& control, int width) {
  return QRect(control.right() + 1 + kCaptionGap, control.top(), width, control.height());
}

constexpr int kRight = Qt::AlignRight | Qt::AlignVCenter;
constexpr int kLeft = Qt::AlignLeft | Qt::AlignVCenter;

// Main window: frame and panels.
const QRect kMainPanel(12, 12, 512, 486);
const QRect kServerGroup(20, 336, 496, 42);
const QRect kNetworkGroup(20, 388, 496, 54);

std::vector<PaintedCaption> MainCaptions() {
  auto px = [](DluBox box) { return ToPixels(kArial8Units, box); };
  using namespace main_layout;
  const QRect list = px(kLogList);
  return {
      {QStringLiteral("System Message"), QRect(list.left(), list.top() - 24, 200, 18), kLeft, true},
      {QStringLiteral("Server status"),
       QRect(kServerGroup.left() + 12, kServerGroup.top() - 8, 160, 16), kLeft, true},
      {QStringLiteral("HostName :"), Before(px(kHostName), 80), kRight, false},
      {QStringLiteral("IP Address :"), Before(px(kIpAddress), 80), kRight, false},
      {QStringLiteral("Network status"),
       QRect(kNetworkGroup.left() + 12, kNetworkGroup.top() - 8, 160, 16), kLeft, true},
      {QStringLiteral("Transfer Rate :"), Before(px(kRate), 90), kRight, false},
      {QStringLiteral("M bps"), After(px(kRate), 40), kLeft, false},
      {QStringLiteral("Users :"), Before(px(kUsers), 90), kRight, false},
      {QStringLiteral("Sent :"), Before(px(kTransferred), 60), kRight, false},
      {QStringLiteral("Packages"), After(px(kTransferred), 60), kLeft, false},
      {QStringLiteral("Received"), Before(px(kReceived), 60), kRight, false},
      {QStringLiteral("Packages"), After(px(kReceived), 60), kLeft, false},
  };
}

void PaintSidePanel(QPainter& p) {
  const QRect panel = MainSidePanel();
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  QLinearGradient gradient(panel.topLeft(), panel.bottomLeft());
  gradient.setColorAt(0, QColor(40, 92, 170));
  gradient.setColorAt(1, kNightBlue);
  p.setPen(QPen(kFrameBlue, 1));
  p.setBrush(gradient);
  p.drawRoundedRect(QRectF(panel).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  // The display the clock shows in.
  const QRect clock = ToPixels(kArial8Units, main_layout::kClock);
  p.setPen(QPen(QColor(150, 180, 230), 1));
  p.setBrush(QColor(4, 14, 34));
  p.drawRoundedRect(QRectF(clock).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
  // Waves going out from the icon, and the icon.
  const QPointF centre(panel.center().x() + 0.5, panel.top() + 150);
  p.setBrush(Qt::NoBrush);
  for (int i = 1; i <= 3; ++i) {
    p.setPen(QPen(QColor(150, 190, 255, 150 - 40 * i), 2));
    p.drawEllipse(centre, 36.0 + 8 * i, 36.0 + 8 * i);
  }
  PaintIcon(p, QRectF(centre.x() - 32, centre.y() - 32, 64, 64));
  p.setPen(Qt::white);
  p.setFont(ArialFont(17, true));
  p.drawText(QRect(panel.left(), panel.top() + 210, panel.width(), 24), Qt::AlignCenter,
             QStringLiteral("Zivevir"));
  p.setPen(QColor(190, 210, 240));
  p.setFont(ArialFont(12));
  p.drawText(QRect(panel.left(), panel.top() + 232, panel.width(), 18), Qt::AlignCenter,
             QStringLiteral("Media server"));
  // A row of level bars along the bottom.
  p.setPen(Qt::NoPen);
  const int heights[] = {6, 11, 16, 9, 14, 19, 12, 7, 13, 17, 10, 5};
  int x = panel.left() + 13;
  for (int h : heights) {
    p.setBrush(QColor(90, 200, 255, 170));
    p.drawRect(QRect(x, panel.bottom() - 12 - h, 5, h));
    x += 8;
  }
  p.restore();
}

QPixmap PaintMainBackground() {
  QPixmap picture(main_layout::kSize);
  QPainter p(&picture);
  PaintBlueGround(p, picture.rect());
  PaintWhitePanel(p, kMainPanel);
  PaintWell(p, ToPixels(kArial8Units, main_layout::kLogList), 4);
  PaintSidePanel(p);
  PaintGroupFrame(p, kServerGroup);
  PaintGroupFrame(p, kNetworkGroup);
  for (DluBox box : {main_layout::kHostName, main_layout::kIpAddress, main_layout::kRate,
                     main_layout::kUsers, main_layout::kTransferred, main_layout::kReceived}) {
    PaintWell(p, ToPixels(kArial8Units, box), 1);
  }
  PaintCaptions(p, MainCaptions(), kArial8Pixels);
  return picture;
}

// Setup dialog: two panels on the blue ground.
const QRect kNetworkPanel(10, 8, 497, 106);
const QRect kSourcePanel(10, 122, 497, 234);

std::vector<PaintedCaption> SetupCaptions() {
  auto px = [](DluBox box) { return ToPixels(kArial9Units, box); };
  using namespace setup_layout;
  const QRect logLines = px(kLogLines);
  return {
      {QStringLiteral("Network setup"), QRect(24, 14, 240, 20), kLeft, true},
      {QStringLiteral("Port [1-65532]"), Before(px(kPort), 150), kRight, false},
      {QStringLiteral("Maximum Connections"), Before(px(kClientLimit), 150), kRight, false},
      {QStringLiteral("Media Source Directories"), QRect(24, 130, 260, 20), kLeft, true},
      {QStringLiteral("Video Directory"), Before(px(kVideo), 130), kRight, false},
      {QStringLiteral("Audio Directory"), Before(px(kAudio), 130), kRight, false},
      {QStringLiteral("Photo Directory"), Before(px(kPhoto), 130), kRight, false},
      {QStringLiteral("Upgrade Bin file"), Before(px(kUpdate), 130), kRight, false},
      {QStringLiteral("Message"), QRect(24, 304, 240, 18), kLeft, true},
      {QStringLiteral("How many lines you want in system message box"),
       Before(logLines, logLines.left() - kCaptionGap - 24), kRight, false},
  };
}

QPixmap PaintSetupBackground() {
  QPixmap picture(setup_layout::kSize);
  QPainter p(&picture);
  PaintBlueGround(p, picture.rect());
  PaintWhitePanel(p, kNetworkPanel);
  PaintWhitePanel(p, kSourcePanel);
  p.setPen(QPen(kFrameBlue, 1));
  p.drawLine(24, 302, kSourcePanel.right() - 14, 302);
  for (DluBox box :
       {setup_layout::kPort, setup_layout::kClientLimit, setup_layout::kVideo, setup_layout::kAudio,
        setup_layout::kPhoto, setup_layout::kUpdate, setup_layout::kLogLines}) {
    PaintWell(p, ToPixels(kArial9Units, box), 3);
  }
  PaintIcon(p, QRectF(kNetworkPanel.right() - 60, kNetworkPanel.top() + 24, 44, 44));
  PaintCaptions(p, SetupCaptions(), kArial9Pixels);
  return picture;
}

// Library dialog: one panel on the blue ground, above the buttons.
std::vector<PaintedCaption> LibraryCaptions() {
  return {{QStringLiteral("Adapter names"), QRect(24, 14, 240, 20), kLeft, true}};
}

QPixmap PaintLibraryBackground() {
  using namespace library_layout;
  QPixmap picture(kSize);
  QPainter p(&picture);
  PaintBlueGround(p, picture.rect());
  const int buttonsTop = ToPixels(kArial9Units, kOk).top();
  PaintWhitePanel(p, QRect(10, 8, kSize.width() - 20, buttonsTop - 20));
  PaintWell(p, ToPixels(kArial9Units, kCharset), 3);
  // The conversion's rows below a rule, as Setup's message row.
  const int rule =
      (ToPixels(kArial9Units, kCharset).bottom() + ToPixels(kArial9Units, kConvert).top()) / 2;
  p.setPen(QPen(kFrameBlue, 1));
  p.drawLine(24, rule, kSize.width() - 34, rule);
  PaintWell(p, ToPixels(kArial9Units, kPhotoSize), 3);
  PaintWell(p, ToPixels(kArial9Units, kVideoStandard), 3);
  // The status page's rows below another.
  const int statusRule =
      (ToPixels(kArial9Units, kSubtitles).bottom() + ToPixels(kArial9Units, kStatusPage).top()) / 2;
  p.drawLine(24, statusRule, kSize.width() - 34, statusRule);
  PaintWell(p, ToPixels(kArial9Units, kStatusAddress), 3);
  PaintCaptions(p, LibraryCaptions(), kArial9Pixels);
  return picture;
}

QPixmap PaintIconPixmap(int size) {
  QPixmap icon(size, size);
  icon.fill(Qt::transparent);
  QPainter p(&icon);
  PaintIcon(p, QRectF(0, 0, size, size));
  return icon;
}

QPixmap Draw(Artwork id) {
  switch (id) {
    case Artwork::kAppIcon:
      return PaintIconPixmap(32);
    case Artwork::kSaveFace:
      return PaintFace(QStringLiteral("SAVE"));
    case Artwork::kCancelFace:
      return PaintFace(QStringLiteral("Cancel"));
    case Artwork::kBrowseFace:
      return PaintFace(QStringLiteral("Browse..."));
    case Artwork::kDefaultFace:
      return PaintFace(QStringLiteral("Defaut"));
    case Artwork::kLibraryFace:
      return PaintFace(QStringLiteral("Library..."));
    case Artwork::kOkFace:
      return PaintFace(QStringLiteral("OK"));
    case Artwork::kMainBackground:
      return PaintMainBackground();
    case Artwork::kSetupBackground:
      return PaintSetupBackground();
    case Artwork::kLibraryBackground:
      return PaintLibraryBackground();
  }
  return QPixmap();
}

}  // namespace

QPixmap ArtworkPixmap(Artwork id) {
  // Qt's cache goes away with the application, so no pixmap outlives it.
  const QString key = QStringLiteral("rureza-artwork-%1").arg(static_cast<int>(id));
  QPixmap picture;
  if (!QPixmapCache::find(key, &picture)) {
    picture = Draw(id);
    QPixmapCache::insert(key, picture);
  }
  return picture;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(PaintIconPixmap(size));
  return icon;
}

std::vector<PaintedCaption> BackgroundCaptions(Artwork picture) {
  if (picture == Artwork::kMainBackground) return MainCaptions();
  if (picture == Artwork::kSetupBackground) return SetupCaptions();
  if (picture == Artwork::kLibraryBackground) return LibraryCaptions();
  return {};
}

QRect MainSidePanel() { return QRect(390, 38, 122, 288); }

}  // namespace rureza
