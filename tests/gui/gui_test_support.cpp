#include "gui/gui_test_support.h"

#include <QDir>
#include <QFile>
#include <QWidget>

#include "server/activity_log.h"
#include "settings/settings_file.h"

namespace rureza::test {

ScratchDir::ScratchDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }

ScratchDir::~ScratchDir() { QDir::setCurrent(previous_); }

void WriteSettingsFile(const ServerSettings& settings, const QString& path) {
  const SettingsImage image = EncodeSettings(settings);
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    file.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
  }
}

ServerSettings ReadSettingsFile(const QString& path) {
  ServerSettings settings;
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray bytes = file.readAll();
    DecodeSettings(reinterpret_cast<const uint8_t*>(bytes.constData()),
                   static_cast<size_t>(bytes.size()), &settings);
  }
  return settings;
}

ServerSettings TestSettings(uint16_t port, int16_t clientLimit, int16_t logLineLimit) {
  ServerSettings settings;
  settings.port = port;
  settings.clientLimit = clientLimit;
  settings.logLineLimit = logLineLimit;
  return settings;
}

void SetLogLineLimit(int16_t limit) {
  ServerSettings settings = CurrentSettings();
  settings.logLineLimit = limit;
  SetCurrentSettings(settings);
}

void ResetLogLineCount() {
  const int16_t limit = CurrentLogLineLimit();
  SetLogLineLimit(1);
  AppendLog("");
  SetLogLineLimit(limit);
}

ModalWatch::ModalWatch(std::function<bool(QWidget*)> act, int timeoutMs)
    : act_(std::move(act)), timeoutMs_(timeoutMs) {
  clock_.start();
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start();
}

void ModalWatch::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && act_(modal)) {
    handled_ = true;
    timer_.stop();
  } else if (clock_.elapsed() > timeoutMs_) {
    timer_.stop();
    if (modal != nullptr) modal->close();
  }
}

}  // namespace rureza::test
