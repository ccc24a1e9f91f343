// rureza: the operator console.
#include <cstdio>
#include <cstring>

#include "app/rureza_app.h"
#include "app/server_options.h"

namespace {

constexpr char kUsage[] =
    "Usage: rureza [QT-OPTION]...\n"
    "The Zivevir Media server's operator console: starts and stops the server and shows its\n"
    "activity. Settings file: sv.dat in the current directory (created when missing).\n"
    "Ports: TCP P (requests), TCP P+1 (playback control), UDP P+3 (discovery); P = 4567\n"
    "unless the settings say otherwise.\n"
    "\n"
    "  --help            show this text and exit\n"
    "  --version         show the version and exit\n"
    "  -platform NAME    Qt's window system plugin (xcb, wayland, offscreen)\n"
    "  -Automation, -Embedding\n"
    "                    start hidden, for a client of the automation object on the\n"
    "                    session bus (org.zivevir.Rureza)\n"
    "\n"
    "Exit status: 0 when the window is closed. See rureza(1).\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("rureza %s\n", rureza::kServerVersion);
      return 0;
    }
  }
  const bool automation = rureza::RemoveAutomationSwitches(&argc, argv);
  rureza::CRurezaApp app(argc, argv, automation);
  return app.Run();
}
