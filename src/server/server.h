// Starting and stopping the network service. StartServer opens a new run (ServerRun) from the
// current settings: a listener thread for the request port P and the control port P+1, and a
// discovery thread for UDP P+3. The listener hands each request connection to the handler the
// front-end gives (the request layer's ServeClient), on a client thread of its own. StopServer
// stops that run; client threads end on their own. A run that cannot serve ends on its own and
// says why (ServerFailure); discovery answers only while the listener holds its ports.
// Thread safety: StartServer and StopServer are called from one thread (the front-end's);
// ClientCount and WaitForClientThreads from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace rureza {

class ServerRun;

// Serves one request connection and closes it; the listener counts the client out afterwards.
using ConnectionHandler = void (*)(ServerRun& run, Socket connection, const sockaddr_in& peer);

void StartServer(ConnectionHandler serve);
void StopServer();

// True between StartServer and StopServer, or until the run ends on its own because it cannot
// serve (see ServerFailure).
bool ServerIsRunning();

// Why the last run ended on its own: its listener could not open the request or control port
// (after its numbered line) or stopped accepting, or its threads or events could not be made.
// One line for the operator that names the port and, when it can be told, what holds it:
// "TCP port 4567 is already in use by nginx (PID 812)". Empty from StartServer on while the
// run serves, and when the last run was stopped by StopServer.
std::string ServerFailure();

// Called once for each run that ends on its own, after it has ended (ServerIsRunning() is false
// and ServerFailure() says why), on whichever thread found the failure. Set before StartServer.
void SetServerFailureHandler(void (*handler)());

// Called on the listener thread of every run at each pass of its accept loop, so at least once
// a second while it serves: a front-end's sign of life for a service manager's watchdog (a
// listener that hangs stops calling it). Set before StartServer; null: none.
using ListenerHeartbeat = void (*)(const ServerRun& run);
void SetListenerHeartbeat(ListenerHeartbeat beat);

// The live client threads of every run (never reset; never below 0).
int ClientCount();

// Waits until no client thread of any run is left; false when timeoutMs passes first.
bool WaitForClientThreads(uint32_t timeoutMs);

// How long a connection's peer may leave data unacknowledged before the connection is shut
// down as dead (an adapter switched off): 90 s; tests shorten it. Takes effect for connections
// accepted afterwards (keepalive) and at the listener's next check.
uint32_t DeadPeerTimeoutMs();
void SetDeadPeerTimeoutMs(uint32_t ms);

// How long an adapter may take to send one block the server waits for before a reply (the
// request block, a stream handshake's answers) before its connection counts as closed: 30 s;
// tests shorten it.
uint32_t RequestTimeLimitMs();
void SetRequestTimeLimitMs(uint32_t ms);

// The run in progress, or null when stopped. For tests and diagnostics.
std::shared_ptr<ServerRun> CurrentRun();

}  // namespace rureza
