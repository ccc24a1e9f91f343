#include "console/setup_dlg.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPainter>

#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/face_button.h"
#include "console/file_error.h"
#include "console/library_dlg.h"
#include "console/skinned_label.h"
#include "server/activity_log.h"
#include "settings/settings_file.h"

namespace rureza {
namespace {

const QColor kPathLabelColor(192, 192, 192);

// A path as the record stores it: at most 254 bytes, cut where a character ends.
std::string PathBytes(const QString& path) {
  QByteArray bytes = QFile::encodeName(path);
  qsizetype length = std::min<qsizetype>(bytes.size(), kPathFieldSize - 1);
  // Step back over UTF-8 continuation bytes, so no character is cut in two.
  if (length < bytes.size()) {
    while (length > 0 && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80) --length;
  }
  return std::string(bytes.constData(), static_cast<size_t>(length));
}

QString PathString(const PathField& field) {
  return QFile::decodeName(QByteArray::fromStdString(PathText(field)));
}

}  // namespace

int LeadingNumber(const QString& text, int maxChars) {
  const QString head = text.left(maxChars);
  qsizetype i = 0;
  auto blank = [](QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
  };
  while (i < head.size() && blank(head[i])) ++i;
  bool negative = false;
  if (i < head.size() && (head[i] == u'+' || head[i] == u'-')) {
    negative = head[i] == u'-';
    ++i;
  }
  long value = 0;
  for (; i < head.size() && head[i] >= u'0' && head[i] <= u'9'; ++i) {
    value = value * 10 + (head[i].unicode() - u'0');
  }
  return static_cast<int>(negative ? -value : value);
}

std::unique_ptr<QFileDialog> MakeFirmwareChooser(QWidget* parent) {
  auto chooser = std::make_unique<QFileDialog>(parent);
  chooser->setFileMode(QFileDialog::ExistingFile);
  chooser->setAcceptMode(QFileDialog::AcceptOpen);
  // The names are shown without their patterns; the patterns behind them are the ones a user
  // means here: "*.*" must match every file, also one without a dot.
  chooser->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
  chooser->setNameFilters(
      {QStringLiteral("BINFiles (*.bin) (*.bin)"), QStringLiteral("All Files(*.*) (*)")});
  chooser->selectNameFilter(QStringLiteral("BINFiles (*.bin) (*.bin)"));
  chooser->setDirectory(QDir::current());
  return chooser;
}

CSetupDlg::CSetupDlg(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      portEdit_(new QLineEdit(this)),
      logLinesEdit_(new QLineEdit(this)),
      clientLimitEdit_(new QLineEdit(this)),
      m_video(new CSkinnedLabel(this, CSkinnedLabel::Overflow::kElideMiddle)),
      m_update(new CSkinnedLabel(this, CSkinnedLabel::Overflow::kElideMiddle)),
      m_photo(new CSkinnedLabel(this, CSkinnedLabel::Overflow::kElideMiddle)),
      m_audio(new CSkinnedLabel(this, CSkinnedLabel::Overflow::kElideMiddle)),
      browseUpdate_(new CFaceButton(QStringLiteral("&Browse..."), this)),
      browsePhoto_(new CFaceButton(QStringLiteral("&Browse..."), this)),
      browseAudio_(new CFaceButton(QStringLiteral("&Browse..."), this)),
      browseVideo_(new CFaceButton(QStringLiteral("&Browse..."), this)),
      cancel_(new CFaceButton(QStringLiteral("Cancel"), this)),
      default_(new CFaceButton(QStringLiteral("&Default"), this)),
      save_(new CFaceButton(QStringLiteral("SAVE"), this)),
      library_(new CFaceButton(QStringLiteral("&Library..."), this)),
      startupSettingsPath_(QDir::current().absoluteFilePath(QStringLiteral("sv.dat"))) {
  setFont(ArialFont(kArial9Pixels));
  setFixedSize(setup_layout::kSize);
  setWindowTitle(QString());

  PlaceControls(kArial9Units, {{portEdit_, setup_layout::kPort, "port"},
                               {clientLimitEdit_, setup_layout::kClientLimit, "clientLimit"},
                               {default_, setup_layout::kDefault, "default"},
                               {m_video, setup_layout::kVideo, "m_video"},
                               {browseVideo_, setup_layout::kBrowseVideo, "browseVideo"},
                               {m_audio, setup_layout::kAudio, "m_audio"},
                               {browseAudio_, setup_layout::kBrowseAudio, "browseAudio"},
                               {m_photo, setup_layout::kPhoto, "m_photo"},
                               {browsePhoto_, setup_layout::kBrowsePhoto, "browsePhoto"},
                               {m_update, setup_layout::kUpdate, "m_update"},
                               {browseUpdate_, setup_layout::kBrowseUpdate, "browseUpdate"},
                               {logLinesEdit_, setup_layout::kLogLines, "logLines"},
                               {save_, setup_layout::kSave, "save"},
                               {cancel_, setup_layout::kCancel, "cancel"},
                               {library_, setup_layout::kLibrary, "library"}});

  SetButtonFace(default_, Artwork::kDefaultFace);
  for (CFaceButton* browse : {browseVideo_, browseAudio_, browsePhoto_, browseUpdate_}) {
    SetButtonFace(browse, Artwork::kBrowseFace);
  }
  SetButtonFace(save_, Artwork::kSaveFace);
  SetButtonFace(cancel_, Artwork::kCancelFace);
  SetButtonFace(library_, Artwork::kLibraryFace);
  for (CSkinnedLabel* label : {m_video, m_audio, m_photo, m_update}) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->SetBackgroundColor(kPathLabelColor);
  }

  // Enter in an edit field saves: SAVE is the default button (the plain accept command would
  // close the dialog and drop what was just typed).
  save_->setDefault(true);
  SetTabOrder({save_, cancel_, browseVideo_, browseAudio_, browsePhoto_, browseUpdate_, default_,
               portEdit_, clientLimitEdit_, logLinesEdit_, library_});

  connect(save_, &QPushButton::clicked, this, &CSetupDlg::OnSave);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(default_, &QPushButton::clicked, this, &CSetupDlg::OnDefault);
  connect(browseVideo_, &QPushButton::clicked, this,
          [this] { BrowseFolder(&videoPath_, m_video); });
  connect(browseAudio_, &QPushButton::clicked, this,
          [this] { BrowseFolder(&audioPath_, m_audio); });
  connect(browsePhoto_, &QPushButton::clicked, this,
          [this] { BrowseFolder(&photoPath_, m_photo); });
  connect(browseUpdate_, &QPushButton::clicked, this, &CSetupDlg::OnBrowseFirmware);
  connect(library_, &QPushButton::clicked, this, &CSetupDlg::OnLibrary);
}

int CSetupDlg::exec() {
  Reload();
  return QDialog::exec();
}

QString CSetupDlg::SettingsPath() const {
  const QString remembered = QFile::decodeName(RememberedSettingsPath().c_str());
  // A file whose folder has gone cannot be written again; the start-up folder's file can.
  if (remembered.isEmpty() || !QFileInfo(remembered).dir().exists()) return startupSettingsPath_;
  return remembered;
}

void CSetupDlg::Reload() {
  ServerSettings settings = CurrentSettings();
  std::string note;
  Status status = LoadSettingsWithPathChoice(&settings, &note);
  QString tried = QDir::current().absoluteFilePath(QStringLiteral("sv.dat"));
  if (!status.ok()) {
    if (!RememberedSettingsPath().empty()) {
      tried = SettingsPath();
    } else if (QFileInfo::exists(startupSettingsPath_)) {
      // The current directory moved before any load succeeded: read the file SAVE writes.
      tried = startupSettingsPath_;
      status = LoadSettingsFile(QFile::encodeName(tried).toStdString(), &settings, &note);
    }
  }
  if (status.ok()) {
    if (!note.empty()) AppendLog(note);
    for (const std::string& line : ReplaceUnworkableValues(&settings)) AppendLog(line);
    SetCurrentSettings(settings);
  } else {
    ShowFileError(this, tried, status);
  }
  const ServerSettings record = CurrentSettings();
  portValue_ = record.port;
  clientLimitValue_ = record.clientLimit;
  logLineLimitValue_ = record.logLineLimit;
  videoPath_ = PathString(record.videoFolder);
  audioPath_ = PathString(record.audioFolder);
  photoPath_ = PathString(record.photoFolder);
  firmwarePath_ = PathString(record.firmwareFile);
  libraryValue_ = record.library;
  ShowValues();
  save_->setFocus();
}

void CSetupDlg::ShowValues() {
  portEdit_->setText(QString::number(portValue_));
  clientLimitEdit_->setText(QString::number(clientLimitValue_));
  logLinesEdit_->setText(QString::number(logLineLimitValue_));
  const std::pair<CSkinnedLabel*, const QString*> paths[] = {{m_video, &videoPath_},
                                                             {m_audio, &audioPath_},
                                                             {m_photo, &photoPath_},
                                                             {m_update, &firmwarePath_}};
  for (const auto& [label, path] : paths) {
    label->setText(*path);
    label->setToolTip(*path);
  }
}

QString CSetupDlg::ChooseFolder() {
  return QFileDialog::getExistingDirectory(
      this, QString(), QDir::homePath(),
      QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

QString CSetupDlg::ChooseFirmwareFile() {
  std::unique_ptr<QFileDialog> chooser = MakeFirmwareChooser(this);
  if (chooser->exec() != QDialog::Accepted || chooser->selectedFiles().isEmpty()) return {};
  return chooser->selectedFiles().first();
}

void CSetupDlg::BrowseFolder(QString* workingPath, CSkinnedLabel* label) {
  const QString folder = ChooseFolder();
  if (folder.isEmpty()) return;
  *workingPath = QDir::toNativeSeparators(folder);
  label->setText(*workingPath);
  label->setToolTip(*workingPath);
}

void CSetupDlg::OnBrowseFirmware() {
  const QString file = ChooseFirmwareFile();
  if (file.isEmpty()) return;
  // The chooser leaves the process in the chosen file's folder; the settings file is still
  // found through the remembered path.
  QDir::setCurrent(QFileInfo(file).absolutePath());
  firmwarePath_ = file;
  m_update->setText(file);
  m_update->setToolTip(file);
}

void CSetupDlg::OnLibrary() {
  CLibraryDlg dialog(libraryValue_, this);
  dialog.SetServerPort(LeadingNumber(portEdit_->text(), 5));
  if (dialog.exec() == QDialog::Accepted) libraryValue_ = dialog.Options();
}

void CSetupDlg::OnDefault() {
  portValue_ = kDefaultPort;
  clientLimitValue_ = kDefaultClientLimit;
  logLineLimitValue_ = kDefaultLogLineLimit;
  ShowValues();
}

void CSetupDlg::OnSave() {
  int port = LeadingNumber(portEdit_->text(), 5);
  if (port < 1 || port > kHighestPort) port = kDefaultPort;  // P+3 must fit too
  int clientLimit = LeadingNumber(clientLimitEdit_->text(), 3);
  if (clientLimit < 1 || clientLimit > 100) clientLimit = kDefaultClientLimit;
  int logLineLimit = LeadingNumber(logLinesEdit_->text(), 5);
  if (logLineLimit < 30 || logLineLimit > 10000) logLineLimit = kDefaultLogLineLimit;

  ServerSettings settings = CurrentSettings();
  settings.port = static_cast<uint16_t>(port);
  settings.clientLimit = static_cast<int16_t>(clientLimit);
  settings.logLineLimit = static_cast<int16_t>(logLineLimit);
  SetPathText(&settings.videoFolder, PathBytes(m_video->text()));
  SetPathText(&settings.audioFolder, PathBytes(m_audio->text()));
  SetPathText(&settings.photoFolder, PathBytes(m_photo->text()));
  SetPathText(&settings.firmwareFile, PathBytes(m_update->text()));
  settings.library = libraryValue_;
  SetCurrentSettings(settings);

  const QString path = SettingsPath();
  const std::string pathBytes = QFile::encodeName(path).toStdString();
  Status status;
  if (!QFileInfo::exists(path)) {
    // No settings file yet: make one, so the operator's settings are kept.
    ServerSettings created;
    status = LoadOrCreateSettingsFile(pathBytes, &created);
  }
  if (status.ok()) status = SaveSettingsFile(pathBytes, settings);
  if (!status.ok()) {
    ShowFileError(this, path, status);
    return;  // the edits stay on screen
  }
  accept();
}

void CSetupDlg::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, ArtworkPixmap(Artwork::kSetupBackground));
}

}  // namespace rureza
