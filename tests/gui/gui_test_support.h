// Helpers for the console's Qt tests: a scratch working directory holding the settings file,
// and acting on a modal dialog that the code under test is about to run.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include "settings/server_settings.h"

namespace rureza::test {

// Makes a new temporary folder the current directory for the life of the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  QString path() const { return dir_.path(); }
  QString FilePath(const QString& name) const { return dir_.filePath(name); }

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// Writes settings as a settings file at path (created when missing).
void WriteSettingsFile(const ServerSettings& settings, const QString& path);
// Reads a settings file; every field zero when it cannot be read.
ServerSettings ReadSettingsFile(const QString& path);
// Port, client limit and log-line limit for a test; empty paths.
ServerSettings TestSettings(uint16_t port, int16_t clientLimit, int16_t logLineLimit);

// Sets the current record's log-line limit.
void SetLogLineLimit(int16_t limit);
// Brings the activity log's line count back to 0 (an empty line at limit 1 does it).
void ResetLogLineCount();

// Watches for a modal dialog that act accepts (act returns true once it has handled it) and
// runs act on it, from the event loop of whatever waits meanwhile (the dialog's own exec).
// If none comes within timeoutMs, a modal dialog that is open then is closed, so no test hangs.
class ModalWatch {
 public:
  ModalWatch(std::function<bool(QWidget*)> act, int timeoutMs);
  ModalWatch(const ModalWatch&) = delete;
  ModalWatch& operator=(const ModalWatch&) = delete;
  bool handled() const { return handled_; }

 private:
  void Poll();

  std::function<bool(QWidget*)> act_;
  int timeoutMs_;
  QTimer timer_;
  QElapsedTimer clock_;
  bool handled_ = false;
};

// A watch for a modal dialog of type T.
template <typename T>
std::unique_ptr<ModalWatch> WhenModal(std::function<void(T*)> act, int timeoutMs = 10000) {
  return std::make_unique<ModalWatch>(
      [act = std::move(act)](QWidget* widget) {
        T* dialog = qobject_cast<T*>(widget);
        if (dialog == nullptr) return false;
        act(dialog);
        return true;
      },
      timeoutMs);
}

}  // namespace rureza::test
