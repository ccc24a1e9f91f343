// Reporting a settings-file error to the operator: a modal message box with the file's path
// and the platform's text for the error.
// Thread safety: GUI thread only.
#pragma once

#include <QString>

#include "platform/status.h"

class QWidget;

namespace rureza {

void ShowFileError(QWidget* parent, const QString& path, const Status& status);

}  // namespace rureza
