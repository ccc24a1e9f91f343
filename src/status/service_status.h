// What a service manager hears of rureza-server (platform/service_notify.h): READY=1 once a
// run's listener serves (and again once it serves after a reload), STATUS= with the summary
// ("2 adapters, 1 stream, cache 1.2 of 2.0 GiB") when it changes, looked at at most once a
// second, WATCHDOG=1 from the listener's loop, the thread that would hang, within half the
// interval the manager asks for; RELOADING=1 and STOPPING=1 when the front-end says so.
// Without NOTIFY_SOCKET nothing is sent.
// Thread safety: any thread.
#pragma once

namespace rureza {

// Makes the listener tell the manager how it is. Call before StartServer.
void StartServiceNotifications();
// A reload begins: READY=1 follows once the new run serves.
void NotifyServiceReloading();
void NotifyServiceStopping();

}  // namespace rureza
