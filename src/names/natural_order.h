// The order in which the listing gives a folder's entries: natural name order, as a file manager
// shows names. Runs of digits compare by their value ("2" before "10", "007" equal to "7"),
// everything else byte by byte with the case of ASCII and Latin-1 letters ignored ("b" after "A",
// "é" with "É"); a name's four-byte ending counts only where the rest is equal, so "Song.mp3"
// comes before "Song 2.mp3". Names equal in all that are ordered by their bytes, so no two
// different names are ever equal.
// A name's sort key holds all that: keys compare byte by byte (a shorter key that begins another
// first) as their names compare, so a folder is sorted by plain comparisons of keys made once.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace rureza {

// Appends the sort key of name to *key. withEnding: the name ends in a four-byte ending (a
// listed file's).
void AppendNaturalKey(std::string_view name, bool withEnding, std::string* key);

}  // namespace rureza
