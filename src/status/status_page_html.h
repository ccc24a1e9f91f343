// The status page: one self-contained HTML document (its style, script and icon inline, nothing
// fetched but /status.json from the server it came from) that shows the report and fetches it
// afresh every second. It puts every text from the server into the page as text, never as
// markup, so a name in the log cannot become part of the page.
// Thread safety: constant.
#pragma once

#include <string_view>

namespace rureza {

// The page, with kStatusPageNonce where the script's nonce goes (the response's
// Content-Security-Policy lets only that script run).
extern const std::string_view kStatusPageHtml;
inline constexpr std::string_view kStatusPageNonce = "@NONCE@";

}  // namespace rureza
