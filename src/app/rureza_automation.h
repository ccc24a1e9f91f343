// CRurezaDlgAutoProxy: the console's automation object on the session bus (D-Bus), under the
// well-known name org.zivevir.Rureza, object /org/zivevir/Rureza, interface
// org.zivevir.Rureza.Application. A client that calls Hold() keeps the application alive until
// it calls Release() or leaves the bus; while any client holds it, closing the main window only
// hides it, and Show() brings it back. When the last hold ends while the window is hidden, the
// window closes for real and the application ends. Start() and Stop() start and stop the server
// as the window's button does (Stop without asking); Running, Clients and StatusUrl are read.
// Started for a client (-Embedding, -Automation), the window stays hidden and the first client
// that calls a method holds the application as if it had called Hold(); nobody calling within
// kFirstClientWaitMs ends it.
// Thread safety: GUI thread only.
#pragma once

#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

class QDBusServiceWatcher;

namespace rureza {

class CRurezaDlg;

inline constexpr char kAutomationService[] = "org.zivevir.Rureza";
inline constexpr char kAutomationPath[] = "/org/zivevir/Rureza";
inline constexpr char kAutomationInterface[] = "org.zivevir.Rureza.Application";

class CRurezaDlgAutoProxy : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.zivevir.Rureza.Application")
  Q_PROPERTY(bool Running READ Running)
  Q_PROPERTY(int Clients READ Clients)
  Q_PROPERTY(QString StatusUrl READ StatusUrl)
  Q_DISABLE_COPY_MOVE(CRurezaDlgAutoProxy)

 public:
  static constexpr int kFirstClientWaitMs = 30000;

  // Serves window; startedForClient: started by -Embedding or -Automation.
  CRurezaDlgAutoProxy(CRurezaDlg* window, bool startedForClient);
  ~CRurezaDlgAutoProxy() override;

  // Registers the object and the name on the session bus. Without a bus, or with the name
  // owned by another console, returns false and one activity-log line says why; the console
  // runs as it would without it.
  bool Register();

  bool Running() const;
  int Clients() const;
  QString StatusUrl() const;

  // The holds of every client; the main window asks before it closes.
  bool Held() const { return holds_ > 0; }

 public slots:
  void Hold();
  void Release();
  void Show();
  void Start();
  void Stop();

 private:
  // A call from a client: the first one of an application started for a client holds it.
  void Called();
  // A client's last hold has ended: with none left and the window hidden, it closes.
  void HoldsChanged();
  void ClientLeft(const QString& name);

  CRurezaDlg* const window_;
  bool awaitingFirstClient_;
  QMap<QString, int> holdsByClient_;  // unique bus name: Hold() calls not yet released
  int holds_ = 0;
  QDBusServiceWatcher* watcher_ = nullptr;
  QTimer firstClientTimer_;
  bool registered_ = false;
};

}  // namespace rureza
