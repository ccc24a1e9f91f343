// Starting threads. Every thread the server starts is detached and must end on its own;
// LiveThreadCount() lets callers wait for them (tests, a front-end's bounded shutdown).
#pragma once

#include <cstdint>
#include <functional>

namespace rureza {

// Runs body on a thread of its own: one whose earlier body has ended and that waits idle for
// another (for a short while), or else a new one. False when no thread can be started (body is
// not run).
bool StartThread(std::function<void()> body);

// The real thread start behind StartThread (through the system-call table, where tests can
// make it fail): hands body to an idle thread, or else starts a new one.
bool StartPooledThread(std::function<void()> body);

// Threads started by StartThread that have not yet ended.
int LiveThreadCount();

// Waits until LiveThreadCount() is 0; false when timeoutMs passes first.
bool WaitForThreadsToEnd(uint32_t timeoutMs);

}  // namespace rureza
