// CLibraryDlg: the library options as the Setup dialog edits them: whether the media folders'
// subfolders are listed, whether names too long for the adapter are listed under short names,
// the adapter's character set (a list of common ones, or any name typed in), whether songs,
// photos and videos of other formats are converted, the photo size, the TV standard videos are
// converted to and whether subtitles are burnt into them, and whether the status page is served
// and on which address (with the address a browser opens it at). OK takes the edits only when
// the character set can be used here, the photo size is one and the address is an IPv4 address;
// the Setup dialog's SAVE writes them.
// It wears the Setup dialog's skin: a background picture, controls on its panel, face buttons.
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>

#include "settings/server_settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace rureza {

class CFaceButton;

class CLibraryDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CLibraryDlg)

 public:
  CLibraryDlg(const LibraryOptions& options, QWidget* parent = nullptr);

  // The options as shown; after OK, as accepted.
  LibraryOptions Options() const;

  // The base port P the server will use: the page is on P+2.
  void SetServerPort(int port);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnOk();
  void ShowStatusUrl();

  QCheckBox* m_subfolders;
  QCheckBox* m_shortNames;
  QLabel* m_charsetLabel;
  QComboBox* m_charset;
  QCheckBox* m_convert;
  QLabel* m_photoSizeLabel;
  QLineEdit* m_photoSize;
  QLabel* m_videoStandardLabel;
  QComboBox* m_videoStandard;
  QCheckBox* m_subtitles;
  QCheckBox* m_statusPage;
  QLabel* m_statusAddressLabel;
  QLineEdit* m_statusAddress;
  QLabel* m_statusUrl;
  std::string statusAddress_;  // as given: what Options() says while the field holds none
  int serverPort_ = kDefaultPort;
  PhotoSize photoSize_;  // as given: what Options() says while the field holds none
  CFaceButton* ok_;
  CFaceButton* cancel_;
};

// The character sets the list offers, as their names are stored (kStoredCharset first).
QStringList CommonAdapterCharsets();

// How the list shows kStoredCharset.
inline constexpr char kStoredCharsetText[] = "names as stored (UTF-8)";

}  // namespace rureza
