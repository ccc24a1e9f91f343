// What the robustness tests tried, for docs/RELIABILITY.md. The shared helpers note hostile
// inputs and injected faults as they make them, each as a line with the running test's name in
// a file in RUREZA_RELIABILITY_DIR (nothing without that variable); scripts/reliability-report
// sums them up and takes each test's result from the test run. Any thread may note.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rureza::test {

// Inputs are noted only while the hostile fixture's tests record them.
void RecordInputs(bool on);
void NoteInput(std::string_view input, int64_t times = 1);
// A fault injected by the running test.
void NoteFault(std::string_view fault);
// A figure of a load run.
void NoteFigure(std::string_view name, std::string_view value);

// Bytes as readable text: printable ASCII kept, the rest as \xNN, cut to maxLength.
std::string Printable(std::string_view bytes, size_t maxLength = 60);

}  // namespace rureza::test
