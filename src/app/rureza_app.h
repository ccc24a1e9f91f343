// CRurezaApp: the console's application object. It runs the main window for the whole life of
// the process; when the window closes, the process ends, also while the server still runs.
// It serves the automation object on the session bus (app/rureza_automation.h). The automation
// switches are recognised and removed from the command line: started by one, the window starts
// hidden, held for the client that asked for it.
// Thread safety: the main thread only.
#pragma once

#include <QApplication>

namespace rureza {

// Removes every "-Embedding", "/Embedding", "-Automation" and "/Automation" argument
// (case-sensitive) from argv, shrinking argc; true when there was one.
bool RemoveAutomationSwitches(int* argc, char** argv);

class CRurezaApp : public QApplication {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CRurezaApp)

 public:
  CRurezaApp(int& argc, char** argv, bool startedByAutomation);

  // Runs the main window until it closes and returns the exit code. Does not return while
  // server threads still run: the process ends with them.
  int Run();

  bool StartedByAutomation() const { return startedByAutomation_; }

 private:
  const bool startedByAutomation_;
};

}  // namespace rureza
