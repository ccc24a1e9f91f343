// What the robustness tests tried, for docs/RELIABILITY.md: with RUREZA_RELIABILITY_DIR set,
// each call appends one tab-separated line, prefixed with the running test's name, to a file
// there (one append per line, so parallel test processes never mix lines); otherwise nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rureza::test {

// A hostile input sent to the live server (inputs.tsv): group, readable input, times sent.
void RecordInput(std::string_view group, std::string_view input, int64_t times = 1);
// An injected fault (faults.tsv): the fault, where it struck, the outcome the test checked.
void RecordFault(std::string_view fault, std::string_view where, std::string_view outcome);
// A figure of a load or soak run (load.tsv): name and value.
void RecordFigure(std::string_view name, std::string_view value);
// Bytes as readable text: printable ASCII kept, the rest as \xNN, cut to maxLength.
std::string Printable(std::string_view bytes, size_t maxLength = 60);

}  // namespace rureza::test
