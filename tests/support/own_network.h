// A network namespace of the test's own: a thread moved into a fresh namespace that holds only a
// loopback interface, so a test can drop every packet of its peers (by taking that interface
// down) without touching the machine's network. Threads started from there (the server's) live
// in the namespace too.
#pragma once

#include <functional>
#include <string>

namespace rureza::test {

// Runs body on a new thread inside a new network namespace whose loopback interface is up, and
// waits for it. False, with the reason in *why, when no namespace can be made here (no
// CAP_SYS_ADMIN, or a container that forbids it); body has not run then.
bool RunInOwnNetwork(const std::function<void()>& body, std::string* why);

// From a thread inside such a namespace: brings its loopback interface up or down. Down, every
// packet on it is dropped; connections stay open on both ends.
bool SetLoopbackUp(bool up);

}  // namespace rureza::test
