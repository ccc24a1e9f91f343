// What the robustness tests tried, for docs/RELIABILITY.md. The shared helpers note hostile
// inputs and injected faults as they make them; a GoogleTest listener writes the notes, with
// the test's name and result, to files in RUREZA_RELIABILITY_DIR when each test ends (nothing
// without that variable). Any thread may note.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rureza::test {

// Inputs are noted only while the running test records them (the hostile fixture's tests).
void RecordInputs(bool on);
void NoteInput(std::string_view input, int64_t times = 1);
// A fault injected by the running test.
void NoteFault(std::string_view fault);
// A figure of a load run.
void NoteFigure(std::string_view name, std::string_view value);

// Bytes as readable text: printable ASCII kept, the rest as \xNN, cut to maxLength.
std::string Printable(std::string_view bytes, size_t maxLength = 60);

}  // namespace rureza::test
