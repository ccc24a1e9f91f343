#include "console/library_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "console/dialog_units.h"
#include "platform/charset.h"

namespace rureza {
namespace {

// 200 x 94 units of Arial 9 pt.
constexpr QSize kSize(350, 176);

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
          QStringLiteral("CP949"),
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
      ok_(new QPushButton(QStringLiteral("OK"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
  setFont(ArialFont(kArial9Pixels));
  setFixedSize(kSize);
  setWindowTitle(QStringLiteral("Library"));
  PlaceControls(kArial9Units, {{m_subfolders, {12, 10, 176, 12}, "m_subfolders"},
                               {m_shortNames, {12, 26, 176, 12}, "m_shortNames"},
                               {m_charsetLabel, {12, 47, 84, 12}, "m_charsetLabel"},
                               {m_charset, {98, 45, 90, 14}, "m_charset"},
                               {ok_, {62, 72, 56, 14}, "ok"},
                               {cancel_, {126, 72, 56, 14}, "cancel"}});
  m_charsetLabel->setBuddy(m_charset);
  m_charset->setEditable(true);
  m_charset->setInsertPolicy(QComboBox::NoInsert);
  m_charset->addItems(CommonAdapterCharsets());
  m_subfolders->setChecked(options.subfolders);
  m_shortNames->setChecked(options.shortNames);
  m_charset->setCurrentText(QString::fromStdString(options.charset));

  ok_->setDefault(true);
  SetTabOrder({m_subfolders, m_shortNames, m_charset, ok_, cancel_});
  m_subfolders->setFocus();
  connect(ok_, &QPushButton::clicked, this, &CLibraryDlg::OnOk);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

LibraryOptions CLibraryDlg::Options() const {
  LibraryOptions options;
  options.subfolders = m_subfolders->isChecked();
  options.shortNames = m_shortNames->isChecked();
  options.charset = CharsetOptionName(m_charset->currentText().trimmed().toStdString());
  return options;
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
  accept();
}

}  // namespace rureza
