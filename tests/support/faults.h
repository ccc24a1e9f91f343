// Faults injected into the server's system calls through its seam (platform/syscalls.h): one
// set of knobs for every test. The injecting calls are put in place by InstallFaults or by the
// first knob set, which must happen before the server starts; afterwards every knob may change
// while the server runs (they are atomics). ServerTest's TearDown calls ResetFaults. Each knob
// notes its fault for the reliability report.
#pragma once

#include <cstdint>
#include <string>

namespace rureza::test {

void InstallFaults();

// Every other transfer (send, recv, file read and write, splice, sendfile) moves at most `most`
// bytes, and every third is interrupted (EINTR); 0 turns it off.
void ShortTransfers(size_t most);
// Socket sends (send, splice into a socket, sendfile) fail with err once `bytes` more have
// gone out (with err 0 they move nothing and return 0); -1: no limit.
void FailSendsAfter(int64_t bytes, int err);
// File reads (read, splice out of a file, sendfile) fail with EIO once `bytes` more have been
// read; -1: no limit.
void FailFileReadsAfter(int64_t bytes);
// A read at the end of a file finds more bytes ('G'): the file grows while it is read.
void GrowFilesWhileRead(bool on);
// The next accept fails with err; each accept first waits delayMs.
void FailNextAccept(int err);
void DelayAccepts(int delayMs);
bool AcceptHeld();  // an accept has begun its wait
// The n-th thread start from now (0: the next one) fails; -1: none.
void FailThreadStart(int n);
// The n-th thread start from now begins its body delayMs late, as on a busy machine; -1: none.
void DelayThreadStart(int n, int delayMs);
// Opening a path that contains part fails with err.
void FailOpens(const std::string& part, int err);
// The n-th file write from now fails with err (-1: none).
void FailWrite(int n, int err);
// Setting a stream's pacing option (the bound on unsent bytes) fails with err; 0: off.
void RefuseSocketOptions(int err);

// Every knob back to off and the real calls back in place.
void ResetFaults();

}  // namespace rureza::test
