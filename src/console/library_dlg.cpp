#include "console/library_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>

#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/face_button.h"
#include "platform/charset.h"
#include "server/local_address.h"

namespace rureza {
namespace {

QString CharsetText(const std::string& charset) {
  return QString::fromStdString(charset == kStoredCharset ? kStoredCharsetText : charset);
}

}  // namespace

QStringList CommonAdapterCharsets() {
  return {QString::fromLatin1(kStoredCharset),
          QStringLiteral("CP1252"),
          QStringLiteral("ISO-8859-1"),
          QStringLiteral("ISO-8859-15"),
          QStringLiteral("CP1250"),
          QStringLiteral("CP1251"),
          QStringLiteral("CP1253"),
          QStringLiteral("CP1254"),
          QStringLiteral("CP1255"),
          QStringLiteral("CP1256"),
          QStringLiteral("CP1257"),
          QStringLiteral("CP1258"),
          QStringLiteral("CP874"),
          QStringLiteral("CP932"),
          QStringLiteral("CP936"),
          QStringLiteral("CP949"),
          QStringLiteral("CP950"),
          QStringLiteral("SHIFT_JIS"),
          QStringLiteral("GB18030"),
          QStringLiteral("BIG5")};
}

CLibraryDlg::CLibraryDlg(const LibraryOptions& options, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_subfolders(new QCheckBox(QStringLiteral("Include &subfolders"), this)),
      m_shortNames(new QCheckBox(QStringLiteral("Shorten &long names"), this)),
      m_charsetLabel(new QLabel(QStringLiteral("Adapter &character set"), this)),
      m_charset(new QComboBox(this)),
      m_convert(new QCheckBox(QStringLiteral("Convert other &formats"), this)),
      m_photoSizeLabel(new QLabel(QStringLiteral("&Photo size"), this)),
      m_photoSize(new QLineEdit(this)),
      m_videoStandardLabel(new QLabel(QStringLiteral("&Video standard"), this)),
      m_videoStandard(new QComboBox(this)),
      m_subtitles(new QCheckBox(QStringLiteral("Burn in su&btitles"), this)),
      m_statusPage(new QCheckBox(QStringLiteral("Status &page in a browser"), this)),
      m_statusAddressLabel(new QLabel(QStringLiteral("Page &address"), this)),
      m_statusAddress(new QLineEdit(this)),
      m_statusUrl(new QLabel(this)),
      ok_(new CFaceButton(QStringLiteral("OK"), this)),
      cancel_(new CFaceButton(QStringLiteral("Cancel"), this)) {
  setFont(ArialFont(kArial9Pixels));
  setFixedSize(library_layout::kSize);
  setWindowTitle(QStringLiteral("Library"));
  using namespace library_layout;
  PlaceControls(kArial9Units, {{m_subfolders, kSubfolders, "m_subfolders"},
                               {m_shortNames, kShortNames, "m_shortNames"},
                               {m_charsetLabel, kCharsetLabel, "m_charsetLabel"},
                               {m_charset, kCharset, "m_charset"},
                               {m_convert, kConvert, "m_convert"},
                               {m_photoSizeLabel, kPhotoSizeLabel, "m_photoSizeLabel"},
                               {m_photoSize, kPhotoSize, "m_photoSize"},
                               {m_videoStandardLabel, kVideoStandardLabel, "m_videoStandardLabel"},
                               {m_videoStandard, kVideoStandard, "m_videoStandard"},
                               {m_subtitles, kSubtitles, "m_subtitles"},
                               {m_statusPage, kStatusPage, "m_statusPage"},
                               {m_statusAddressLabel, kStatusAddressLabel, "m_statusAddressLabel"},
                               {m_statusAddress, kStatusAddress, "m_statusAddress"},
                               {m_statusUrl, kStatusUrl, "m_statusUrl"},
                               {ok_, kOk, "ok"},
                               {cancel_, kCancel, "cancel"}});
  SetButtonFace(ok_, Artwork::kOkFace);
  SetButtonFace(cancel_, Artwork::kCancelFace);
  m_subfolders->setToolTip(
      QStringLiteral("List the files of every folder below the media folders too (down to 16 "
                     "levels), each under its path: Artist/Album/01 Title.mp3"));
  m_shortNames->setToolTip(
      QStringLiteral("List a file whose name does not fit the adapter (39 bytes) or its "
                     "character set under a short name that plays it, instead of leaving it "
                     "out"));
  const QString charsetTip =
      QStringLiteral(
          "The character set the adapter shows names in: names are converted to it for the list "
          "and back when a file is played. \"%1\" sends them as the folders hold them.")
          .arg(QString::fromLatin1(kStoredCharsetText));
  m_charsetLabel->setToolTip(charsetTip);
  m_charset->setToolTip(charsetTip);
  m_convert->setToolTip(
      QStringLiteral("List songs of other formats (FLAC, M4A, Ogg, WAV, ...) as MP3s, photos "
                     "(HEIC, PNG, WebP, ...) as JPEGs and videos (MP4, MKV, MOV, WebM, ...) as "
                     "MPEGs, converted when they are played and kept in a cache; .jpg photos and "
                     "videos the adapter cannot show well are converted too"));
  const QString photoSizeTip = QStringLiteral(
      "The largest photo the adapter is sent, as WIDTHxHEIGHT in pixels: larger photos are "
      "scaled down to fit it, smaller ones are not enlarged");
  m_photoSizeLabel->setToolTip(photoSizeTip);
  m_photoSize->setToolTip(photoSizeTip);
  const QString standardTip = QStringLiteral(
      "The TV standard videos of other formats are converted to: PAL (720x576 at 25 frames/s) "
      "for most of Europe, Asia, Africa and Oceania, NTSC (720x480 at 29.97) for the Americas, "
      "Japan and Korea");
  m_videoStandardLabel->setToolTip(standardTip);
  m_videoStandard->setToolTip(standardTip);
  m_subtitles->setToolTip(
      QStringLiteral("Burn the subtitles of a converted video into its picture: those of a file "
                     "beside it with its name (film.srt, film.en.srt, .ass, .vtt), in your "
                     "language first, else its own default or forced text track"));
  m_statusPage->setToolTip(
      QStringLiteral("While the server runs, show what it does (adapters, what each plays, the "
                     "cache, the media folders, the log) on a page a browser opens, with "
                     "/status.json for scripts and /metrics for Prometheus, on TCP port P+2"));
  const QString addressTip = QStringLiteral(
      "The address the page is served on: 127.0.0.1 for this computer only, an address of "
      "this computer for the network it is on, 0.0.0.0 for every address");
  m_statusAddressLabel->setToolTip(addressTip);
  m_statusAddress->setToolTip(addressTip);
  m_statusUrl->setToolTip(QStringLiteral("Where a browser finds the page while the server runs"));
  m_statusUrl->setTextInteractionFlags(Qt::TextSelectableByMouse);
  ok_->setToolTip(QStringLiteral("Take these options; Setup's SAVE writes them"));
  cancel_->setToolTip(QStringLiteral("Close without taking the changes"));

  m_charsetLabel->setBuddy(m_charset);
  m_photoSizeLabel->setBuddy(m_photoSize);
  m_videoStandardLabel->setBuddy(m_videoStandard);
  m_videoStandard->addItems({QStringLiteral("PAL"), QStringLiteral("NTSC")});
  m_statusAddressLabel->setBuddy(m_statusAddress);
  m_charset->setEditable(true);
  m_charset->setInsertPolicy(QComboBox::NoInsert);
  for (const QString& charset : CommonAdapterCharsets()) {
    m_charset->addItem(CharsetText(charset.toStdString()));
  }
  m_subfolders->setChecked(options.subfolders);
  m_shortNames->setChecked(options.shortNames);
  m_charset->setCurrentText(CharsetText(options.charset));
  m_convert->setChecked(options.convert);
  m_photoSize->setText(QString::fromStdString(PhotoSizeText(options.photoSize)));
  photoSize_ = options.photoSize;
  m_videoStandard->setCurrentIndex(options.videoStandard == TvStandard::kNtsc ? 1 : 0);
  m_subtitles->setChecked(options.subtitles);
  m_statusPage->setChecked(options.statusPage);
  m_statusAddress->setText(QString::fromStdString(options.statusAddress));
  statusAddress_ = options.statusAddress;
  ShowStatusUrl();
  connect(m_statusPage, &QCheckBox::toggled, this, &CLibraryDlg::ShowStatusUrl);
  connect(m_statusAddress, &QLineEdit::textChanged, this, &CLibraryDlg::ShowStatusUrl);

  ok_->setDefault(true);
  SetTabOrder({m_subfolders, m_shortNames, m_charset, m_convert, m_photoSize, m_videoStandard,
               m_subtitles, m_statusPage, m_statusAddress, ok_, cancel_});
  m_subfolders->setFocus();
  connect(ok_, &QPushButton::clicked, this, &CLibraryDlg::OnOk);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

LibraryOptions CLibraryDlg::Options() const {
  LibraryOptions options;
  options.subfolders = m_subfolders->isChecked();
  options.shortNames = m_shortNames->isChecked();
  const QString text = m_charset->currentText().trimmed();
  options.charset = text == QLatin1String(kStoredCharsetText)
                        ? std::string(kStoredCharset)
                        : CharsetOptionName(text.toStdString());
  options.convert = m_convert->isChecked();
  options.photoSize = photoSize_;  // unless the field holds one
  ParsePhotoSize(m_photoSize->text().trimmed().toStdString(), &options.photoSize);
  options.videoStandard =
      m_videoStandard->currentIndex() == 1 ? TvStandard::kNtsc : TvStandard::kPal;
  options.subtitles = m_subtitles->isChecked();
  options.statusPage = m_statusPage->isChecked();
  const std::string address = m_statusAddress->text().trimmed().toStdString();
  options.statusAddress = IsIpv4Address(address) ? address : statusAddress_;
  return options;
}

void CLibraryDlg::SetServerPort(int port) {
  // SAVE makes a port that cannot work the default one.
  serverPort_ = port >= 1 && port <= kHighestPort ? port : kDefaultPort;
  ShowStatusUrl();
}

void CLibraryDlg::ShowStatusUrl() {
  const std::string address = m_statusAddress->text().trimmed().toStdString();
  m_statusAddress->setEnabled(m_statusPage->isChecked());
  if (!m_statusPage->isChecked()) {
    m_statusUrl->setText(QStringLiteral("No status page is served."));
  } else if (!IsIpv4Address(address)) {
    m_statusUrl->setText(QStringLiteral("The address must be an IPv4 address."));
  } else {
    const std::string host =
        address == "0.0.0.0" ? LocalAddressText().value_or("127.0.0.1") : address;
    m_statusUrl->setText(QStringLiteral("While the server runs: http://%1:%2/")
                             .arg(QString::fromStdString(host))
                             .arg(serverPort_ + 2));
  }
}

void CLibraryDlg::OnOk() {
  const std::string charset = Options().charset;
  if (charset != kStoredCharset && CheckCharset(charset) != CharsetFit::kUsable) {
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("The character set \"%1\" cannot be used for adapter "
                                        "names on this computer.")
                             .arg(m_charset->currentText().trimmed()));
    m_charset->setFocus();
    return;  // the edits stay on screen
  }
  PhotoSize size;
  if (!ParsePhotoSize(m_photoSize->text().trimmed().toStdString(), &size)) {
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("The photo size \"%1\" is not WIDTHxHEIGHT with each side "
                                        "from 1 to 16384 pixels.")
                             .arg(m_photoSize->text().trimmed()));
    m_photoSize->setFocus();
    return;
  }
  if (m_statusPage->isChecked() &&
      !IsIpv4Address(m_statusAddress->text().trimmed().toStdString())) {
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("The status page's address \"%1\" is no IPv4 address "
                                        "(127.0.0.1: this computer only, 0.0.0.0: every address).")
                             .arg(m_statusAddress->text().trimmed()));
    m_statusAddress->setFocus();
    return;
  }
  accept();
}

void CLibraryDlg::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, ArtworkPixmap(Artwork::kLibraryBackground));
}

}  // namespace rureza
