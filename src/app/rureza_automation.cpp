#include "app/rureza_automation.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

#include "console/rureza_dlg.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "status/status_page.h"

namespace rureza {

CRurezaDlgAutoProxy::CRurezaDlgAutoProxy(CRurezaDlg* window, bool startedForClient)
    : window_(window), awaitingFirstClient_(startedForClient) {
  window_->SetHeldOpen([this] { return Held(); });
  firstClientTimer_.setSingleShot(true);
  connect(&firstClientTimer_, &QTimer::timeout, this, [this] {
    if (!awaitingFirstClient_) return;
    awaitingFirstClient_ = false;
    HoldsChanged();
  });
  if (awaitingFirstClient_) firstClientTimer_.start(kFirstClientWaitMs);
}

CRurezaDlgAutoProxy::~CRurezaDlgAutoProxy() {
  window_->SetHeldOpen(nullptr);
  if (registered_) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(QString::fromLatin1(kAutomationPath));
    bus.unregisterService(QString::fromLatin1(kAutomationService));
  }
}

bool CRurezaDlgAutoProxy::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    AppendLog("Automation: no session bus (" + bus.lastError().message().toStdString() +
              "); the console runs without its automation object");
    return false;
  }
  if (!bus.registerObject(QString::fromLatin1(kAutomationPath), this,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)) {
    AppendLog("Automation: the object cannot be registered on the session bus");
    return false;
  }
  if (!bus.registerService(QString::fromLatin1(kAutomationService))) {
    bus.unregisterObject(QString::fromLatin1(kAutomationPath));
    AppendLog(std::string("Automation: ") + kAutomationService +
              " is taken on the session bus (another console runs); this one is not reachable");
    return false;
  }
  registered_ = true;
  // A client that leaves the bus (it ended, or crashed) lets go of its holds.
  watcher_ = new QDBusServiceWatcher(this);
  watcher_->setConnection(bus);
  watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
          &CRurezaDlgAutoProxy::ClientLeft);
  return true;
}

bool CRurezaDlgAutoProxy::Running() const { return window_->IsRunning(); }

int CRurezaDlgAutoProxy::Clients() const { return ClientCount(); }

QString CRurezaDlgAutoProxy::StatusUrl() const { return QString::fromStdString(StatusPageUrl()); }

void CRurezaDlgAutoProxy::Called() {
  if (!awaitingFirstClient_) return;
  awaitingFirstClient_ = false;
  firstClientTimer_.stop();
  Hold();
}

void CRurezaDlgAutoProxy::Hold() {
  if (!calledFromDBus()) return;
  if (awaitingFirstClient_) {
    awaitingFirstClient_ = false;
    firstClientTimer_.stop();
  }
  const QString client = message().service();
  if (holdsByClient_[client]++ == 0 && watcher_) watcher_->addWatchedService(client);
  ++holds_;
}

void CRurezaDlgAutoProxy::Release() {
  if (!calledFromDBus()) return;
  Called();
  const QString client = message().service();
  auto it = holdsByClient_.find(client);
  if (it == holdsByClient_.end()) return;  // holds nothing: nothing to let go of
  --holds_;
  if (--it.value() == 0) {
    holdsByClient_.erase(it);
    if (watcher_) watcher_->removeWatchedService(client);
  }
  HoldsChanged();
}

void CRurezaDlgAutoProxy::ClientLeft(const QString& name) {
  auto it = holdsByClient_.find(name);
  if (it == holdsByClient_.end()) return;
  holds_ -= it.value();
  holdsByClient_.erase(it);
  if (watcher_) watcher_->removeWatchedService(name);
  HoldsChanged();
}

void CRurezaDlgAutoProxy::HoldsChanged() {
  // With nobody holding it and nobody to see it, the application has no one left.
  if (holds_ == 0 && !awaitingFirstClient_ && window_->isHidden()) window_->CloseForReal();
}

void CRurezaDlgAutoProxy::Show() {
  if (calledFromDBus()) Called();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void CRurezaDlgAutoProxy::Start() {
  if (calledFromDBus()) Called();
  if (!window_->IsRunning()) window_->StartServing();
}

void CRurezaDlgAutoProxy::Stop() {
  if (calledFromDBus()) Called();
  if (window_->IsRunning()) window_->StopServing();
}

}  // namespace rureza
