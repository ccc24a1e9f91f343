// The order in which the listing gives a folder's entries: natural name order, as a file manager
// shows names. Runs of digits compare by their value ("2" before "10", "007" equal to "7"),
// everything else byte by byte with the case of ASCII and Latin-1 letters ignored ("b" after "A",
// "é" with "É"); a name's four-byte ending counts only where the rest is equal, so "Song.mp3"
// comes before "Song 2.mp3". Names equal in all that are ordered by their bytes, so no two
// different names are ever equal.
// Thread safety: pure functions.
#pragma once

#include <string_view>

namespace rureza {

// True when a comes before b. withEnding: the names end in a four-byte ending (listed files).
bool NaturalLess(std::string_view a, std::string_view b, bool withEnding = false);

}  // namespace rureza
