// Bounds for the window's text views. A process that reads card after card for weeks must keep
// its memory flat, so the command log and the Memo drop their oldest lines.
#pragma once

#include <cstddef>
#include <string_view>

namespace orva::app {

// The command log (Hexlist) keeps its last lines only.
inline constexpr std::size_t kCommandLogLines = 10000;

// The Memo keeps at most this many characters: the data of several dozen cards, and more than
// the longest single dump (four characters for each byte of a 9999-byte answer, and CR LF).
inline constexpr std::size_t kMemoChars = 65536;
static_assert(kMemoChars >= 4 * 9999 + 2);

// How many characters to remove from the start of `text` so that `incoming` more characters fit
// within `limit`. The cut falls at the start of a line, so no line is kept in part; when no line
// start makes room (one long line, or a new text longer than the limit on its own), everything
// goes. 0 when the new text fits as it is.
std::size_t OldLinesToDrop(std::wstring_view text, std::size_t incoming, std::size_t limit);

}  // namespace orva::app
