#include "app/rureza_app.h"

#include <signal.h>
#include <unistd.h>

#include <QEventLoop>
#include <cstdio>
#include <cstring>

#include "app/rureza_automation.h"
#include "console/artwork.h"
#include "console/rureza_dlg.h"
#include "conversion/process_conversions.h"
#include "platform/thread.h"
#include "server/server.h"

namespace rureza {

bool RemoveAutomationSwitches(int* argc, char** argv) {
  bool found = false;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const char* arg = argv[i];
    const bool isSwitch =
        (arg[0] == '-' || arg[0] == '/') &&
        (std::strcmp(arg + 1, "Embedding") == 0 || std::strcmp(arg + 1, "Automation") == 0);
    if (isSwitch) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  if (kept < *argc) argv[kept] = nullptr;
  *argc = kept;
  return found;
}

CRurezaApp::CRurezaApp(int& argc, char** argv, bool startedByAutomation)
    : QApplication(argc, argv), startedByAutomation_(startedByAutomation) {
  setApplicationName(QStringLiteral("rureza"));
  setApplicationVersion(QStringLiteral("1.0.0"));
  // Lets the desktop match the window to rureza.desktop (its name and icon, e.g. on Wayland).
  setDesktopFileName(QStringLiteral("rureza"));
  setWindowIcon(ApplicationIcon());
}

int CRurezaApp::Run() {
  // A peer that resets a connection must not end the process.
  signal(SIGPIPE, SIG_IGN);
  {
    CRurezaDlg window;
    // The window runs until it closes for real; a client holding the application makes a close
    // only hide it. Started for a client, it stays hidden until a client asks to see it.
    CRurezaDlgAutoProxy automation(&window, startedByAutomation_);
    automation.Register();
    QEventLoop loop;
    connect(&window, &QDialog::finished, &loop, &QEventLoop::quit);
    if (!startedByAutomation_) window.show();
    loop.exec();
  }  // the window lets go of the activity log here
  if (ServerIsRunning() || LiveThreadCount() > 0) {
    // Server threads still run and would outlive the process's globals: end now, with them
    // and the converters.
    StopProcessConversions();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  EndProcessConversions();
  return 0;
}

}  // namespace rureza
