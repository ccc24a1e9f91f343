// The server run inside a bench program as rureza-server runs it, with the process's
// conversions on: started when the object is made, stopped with every thread ended when it goes.
// A failure to start or to stop ends the program, as any failure of a bench does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "conversion/conversions.h"
#include "conversion/process_conversions.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "settings/server_settings.h"

namespace rureza {

class LiveServer {
 public:
  // A bench's server on port: names as stored, a new install's library options, no folders.
  static ServerSettings Settings(uint16_t port, int clients = 10) {
    ServerSettings s;
    s.port = port;
    s.clientLimit = static_cast<int16_t>(clients);
    s.logLineLimit = 10000;
    s.library = NewInstallLibraryOptions();
    s.library.charset = kStoredCharset;
    return s;
  }

  // Its conversions keep the settings' cache, begun anew when fresh.
  LiveServer(const ServerSettings& server, const ConversionSettings& settings, bool fresh) {
    if (fresh) std::filesystem::remove_all(settings.cacheFolder);
    conversions_ = StartProcessConversions(settings);
    SetCurrentSettings(server);
    StartServer(ServeClient);
    std::shared_ptr<ServerRun> run = CurrentRun();
    if (!run || !run->WaitForListenerOpened(10000)) Die("the server did not start");
  }
  ~LiveServer() {
    StopServer();
    if (!WaitForThreadsToEnd(30000)) Die("the server's threads did not end");
    conversions_.reset();
    EndProcessConversions();
  }
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;
  Conversions& conversions() { return *conversions_; }

 private:
  [[noreturn]] static void Die(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
  }

  std::shared_ptr<Conversions> conversions_;
};

}  // namespace rureza
