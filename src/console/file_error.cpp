#include "console/file_error.h"

#include <QMessageBox>

namespace rureza {

void ShowFileError(QWidget* parent, const QString& path, const Status& status) {
  QMessageBox::warning(parent, QStringLiteral("Zivevir Media server"),
                       QStringLiteral("%1: %2").arg(path, QString::fromStdString(status.text)));
}

}  // namespace rureza
