#include "console/rureza_dlg.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include "console/about_dlg.h"
#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/file_error.h"
#include "console/log_list_sink.h"
#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "console/skinned_list_box.h"
#include "console/stop_confirm_dlg.h"
#include "conversion/process_conversions.h"
#include "platform/clock.h"
#include "request/dispatcher.h"
#include "server/activity_log.h"
#include "server/local_address.h"
#include "server/server.h"
#include "server/transfer.h"
#include "settings/settings_file.h"
#include "status/status_page.h"

namespace rureza {
namespace {

constexpr int kTimerPeriodMs = 200;
constexpr uint32_t kRateSampleMs = 1000;
const QColor kValueColor(192, 192, 192);

QString ClockText() {
  const TimeOfDay now = LocalTimeOfDay();
  return QString::asprintf("%02d:%02d:%02d", now.hours, now.minutes, now.seconds);
}

}  // namespace

CRurezaDlg::CRurezaDlg(QWidget* parent, TickSource ticks)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_users(new CSkinnedLabel(this)),
      m_transferred(new CSkinnedLabel(this)),
      m_received(new CSkinnedLabel(this)),
      m_rate(new CSkinnedLabel(this)),
      m_ipaddr(new CSkinnedLabel(this)),
      m_hostname(new CSkinnedLabel(this)),
      m_log(new CSkinnedListBox(this)),
      exit_(new QPushButton(QStringLiteral("Exit"), this)),
      clear_(new QPushButton(QStringLiteral("Clear"), this)),
      setup_(new QPushButton(QStringLiteral("Setup"), this)),
      help_(new QPushButton(QStringLiteral("Help"), this)),
      clock_(new QLabel(this)),
      startStop_(new QPushButton(QStringLiteral("Start"), this)),
      about_(new QAction(QStringLiteral("About Zivevir Media server ..."), this)),
      setupDlg_(new CSetupDlg(this)),
      timer_(new QTimer(this)),
      ticks_(ticks ? std::move(ticks) : TickSource(TickCountMs)) {
  setFont(ArialFont(kArial8Pixels));
  setWindowTitle(QStringLiteral("Zivevir Media server"));
  setFixedSize(main_layout::kSize);

  PlaceControls(kArial8Units, {{m_log, main_layout::kLogList, "m_log"},
                               {m_hostname, main_layout::kHostName, "m_hostname"},
                               {m_ipaddr, main_layout::kIpAddress, "m_ipaddr"},
                               {m_rate, main_layout::kRate, "m_rate"},
                               {m_users, main_layout::kUsers, "m_users"},
                               {m_transferred, main_layout::kTransferred, "m_transferred"},
                               {m_received, main_layout::kReceived, "m_received"},
                               {startStop_, main_layout::kStartStop, "startStop"},
                               {setup_, main_layout::kSetup, "setup"},
                               {clear_, main_layout::kClear, "clear"},
                               {exit_, main_layout::kExit, "exit"},
                               {help_, main_layout::kHelp, "help"},
                               {clock_, main_layout::kClock, "clock"}});
  SetTabOrder({exit_, startStop_, setup_, clear_, m_log});
  exit_->setDefault(true);
  exit_->setFocus();

  // There is no system menu to extend here; the About item goes into the context menu.
  setContextMenuPolicy(Qt::ActionsContextMenu);
  addAction(about_);
  setWindowIcon(ApplicationIcon());

  // A console that cannot start is worse than one started on what the record holds: a load
  // that fails is reported, and the set-up goes on.
  ServerSettings settings = CurrentSettings();
  std::string note;  // a library tail it could not read, for the log once there is one
  Status loaded = LoadOrCreateSettingsFile(kSettingsFileName, &settings, &note);
  if (!loaded.ok()) {
    ShowFileError(this, QDir::current().absoluteFilePath(QStringLiteral("sv.dat")), loaded);
  }
  // Also what a failed load left (all zero at first) must be able to serve.
  const std::vector<std::string> replaced = ReplaceUnworkableValues(&settings);
  SetCurrentSettings(settings);

  const QString host = QString::fromStdString(HostName());
  m_hostname->setText(host);
  m_hostname->setToolTip(host);
  std::optional<std::string> address = LocalAddressText();
  m_ipaddr->setText(address ? QString::fromStdString(*address) : QString());
  clock_->setText(ClockText());
  lastSampleTick_ = ticks_();
  m_rate->setText(QString::asprintf("%6.4f", rate_));
  ShowCounts();

  sink_ = std::make_shared<LogListSink>(m_log);
  SetLogSink(sink_);
  if (!note.empty()) AppendLog(note);
  for (const std::string& line : replaced) AppendLog(line);
  connect(timer_, &QTimer::timeout, this, &CRurezaDlg::OnTimer);
  timer_->start(kTimerPeriodMs);
  running_ = false;

  m_log->SetBackgroundColors(kValueColor, QApplication::palette().color(QPalette::Highlight));
  m_log->SetTextColors(Qt::black, kValueColor);
  for (CSkinnedLabel* label : {m_users, m_transferred, m_received, m_rate, m_ipaddr, m_hostname}) {
    label->SetBackgroundColor(kValueColor);
  }
  help_->setEnabled(false);
  help_->hide();
  // The clock sits on the side panel's display.
  clock_->setAlignment(Qt::AlignCenter);
  clock_->setFont(ArialFont(18, true));
  clock_->setStyleSheet(QStringLiteral("color: rgb(120, 230, 255); background: transparent;"));

  connect(startStop_, &QPushButton::clicked, this, &CRurezaDlg::OnStartStop);
  connect(setup_, &QPushButton::clicked, this, &CRurezaDlg::OnSetup);
  connect(clear_, &QPushButton::clicked, this, &CRurezaDlg::OnClear);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
  connect(about_, &QAction::triggered, this, &CRurezaDlg::OnAbout);
}

CRurezaDlg::~CRurezaDlg() {
  StopStatusPage();
  // From here on a line written by a server thread that still runs goes to stderr at once.
  SetLogSink(nullptr);
  sink_->Detach();
}

void CRurezaDlg::OnTimer() {
  if (running_ && !ServerIsRunning()) OnServerFailed();
  clock_->setText(ClockText());
  const uint32_t now = ticks_();
  const uint32_t elapsed = now - lastSampleTick_;  // right across the wrap of the tick count
  if (elapsed >= kRateSampleMs) {
    const TrafficCounters& traffic = Traffic();
    const uint32_t total = traffic.bytesSent.load() + traffic.bytesReceived.load();
    const uint32_t delta = total - lastSampleTotal_;
    rate_ = static_cast<double>(delta) * 8000.0 / elapsed / 1048576.0;
    lastSampleTick_ = now;
    lastSampleTotal_ = total;
    m_rate->setText(QString::asprintf("%6.4f", rate_));
  }
  ShowCounts();
}

void CRurezaDlg::ShowCounts() {
  const TrafficCounters& traffic = Traffic();
  m_users->setText(QString::number(ClientCount()));
  m_transferred->setText(QString::number(traffic.sendCalls.load()));
  m_received->setText(QString::number(traffic.receiveCalls.load()));
}

void CRurezaDlg::done(int result) {
  if (heldOpen_ && heldOpen_()) {
    hide();
    return;
  }
  QDialog::done(result);
}

void CRurezaDlg::OnStartStop() {
  if (!running_) {
    StartServing();
    return;
  }
  if (ClientCount() > 0) {
    CStopConfirmDlg confirm(this);
    confirm.exec();
    if (!confirm.Confirmed()) return;
  }
  StopServing();
}

void CRurezaDlg::StartServing() {
  {
    AppendLog("Start Running Media Server...");
    startStop_->setText(QStringLiteral("Stop"));
    setup_->setEnabled(false);
    running_ = true;
    // Started once, by the first run that converts; kept until the console ends.
    if (CurrentSettings().library.convert) {
      StartProcessConversions(FrontEndConversionSettings(kDefaultCacheBytes));
    }
    StartServer(ServeClient);
    const ServerSettings settings = CurrentSettings();
    if (settings.library.statusPage) {
      StartStatusPage(settings.library.statusAddress, static_cast<uint16_t>(settings.port + 2));
    }
  }
}

void CRurezaDlg::StopServing() {
  {
    // StopServer waits for the listener; a listener writing a line meanwhile must not wait
    // for this thread in turn.
    LogListSink::DeferScope defer(sink_.get());
    StopStatusPage();
    StopServer();
  }
  AppendLogUncounted("Stop Running Media Server...");
  ShowStopped();
}

void CRurezaDlg::OnServerFailed() {
  // The operator sees no stderr: the reason goes into the log, after the numbered line.
  if (const std::string why = ServerFailure(); !why.empty()) AppendLog(why);
  StopStatusPage();
  AppendLogUncounted("Stop Running Media Server...");
  ShowStopped();
}

void CRurezaDlg::ShowStopped() {
  startStop_->setText(QStringLiteral("Start"));
  setup_->setEnabled(true);
  running_ = false;
}

void CRurezaDlg::OnSetup() {
  if (running_) return;
  setupDlg_->exec();
}

void CRurezaDlg::OnClear() { m_log->ResetContent(); }

void CRurezaDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CRurezaDlg::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, ArtworkPixmap(Artwork::kMainBackground));
}

}  // namespace rureza
