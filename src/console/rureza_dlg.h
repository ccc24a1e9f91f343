// CRurezaDlg: the operator console and the program's only top-level window. It loads the
// settings, shows host name and address, starts and stops the server (asking first when
// clients are connected), opens the setup dialog while the server is stopped, shows the
// activity log and refreshes the clock, client count, transfer rate and call counts every
// 200 ms. A run that ends on its own because it cannot serve takes it back to Stopped within a
// tick. Closing it does not stop the server; while an automation client holds the application
// (app/rureza_automation.h), closing it (Exit, Escape, Enter, the close button) only hides it.
// Thread safety: GUI thread only. Server threads reach it only through the activity log.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QPushButton;
class QTimer;

namespace rureza {

class CSetupDlg;
class CSkinnedLabel;
class CSkinnedListBox;
class LogListSink;

class CRurezaDlg : public QDialog {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CRurezaDlg)

 public:
  // Millisecond ticks that wrap modulo 2^32; TickCountMs unless a test gives its own.
  using TickSource = std::function<uint32_t()>;

  explicit CRurezaDlg(QWidget* parent = nullptr, TickSource ticks = {});
  ~CRurezaDlg() override;

  bool IsRunning() const { return running_; }
  // Start and Stop as the button does them, Stop without asking.
  void StartServing();
  void StopServing();

  // Whether something (the automation object's clients) holds the application open; empty:
  // nothing does.
  void SetHeldOpen(std::function<bool()> held) { heldOpen_ = std::move(held); }
  // Closes the window whatever holds it.
  void CloseForReal() { QDialog::done(QDialog::Rejected); }
  // Every way of closing the window ends here: held, it only hides.
  void done(int result) override;
  // One tick of the 200 ms timer.
  void OnTimer();

  CSkinnedListBox* LogList() const { return m_log; }
  LogListSink* Sink() const { return sink_.get(); }
  CSetupDlg* SetupDialog() const { return setupDlg_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnStartStop();
  // A run that ended on its own (it could not open its ports): back to Stopped, saying why.
  void OnServerFailed();
  void ShowStopped();
  void OnSetup();
  void OnClear();
  void OnAbout();
  void ShowCounts();

  CSkinnedLabel* m_users;
  CSkinnedLabel* m_transferred;
  CSkinnedLabel* m_received;
  CSkinnedLabel* m_rate;
  CSkinnedLabel* m_ipaddr;
  CSkinnedLabel* m_hostname;
  CSkinnedListBox* m_log;
  QPushButton* exit_;
  QPushButton* clear_;
  QPushButton* setup_;
  QPushButton* help_;
  QLabel* clock_;
  QPushButton* startStop_;
  QAction* about_;
  CSetupDlg* setupDlg_;
  QTimer* timer_;
  std::function<bool()> heldOpen_;

  std::shared_ptr<LogListSink> sink_;
  const TickSource ticks_;
  bool running_ = false;
  // The rate: megabits (2^20 bits) per second over the last sample of at least a second.
  double rate_ = 0;
  uint32_t lastSampleTick_ = 0;
  uint32_t lastSampleTotal_ = 0;
};

}  // namespace rureza
