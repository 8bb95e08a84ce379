// Turns one insurance-data XML file of the eGK (PD.XML, VD.XML) into the flat text lines of the
// record, and passes the status file ST.TXT through behind its prefix.
//
// Output, from offset 0 of the caller's buffer, ended by a zero byte:
//   prefix        the two characters of the file name 6 and 5 places before its end, then ">"
//                 ("PD>", "VD>", "ST>")
//   ST.TXT only   the file's bytes, unchanged, and nothing else
//   version line  "CDM_VERSION>" + the 5 bytes that follow CDM_VERSION=' + "\n", when present
//   value lines   path of enclosing opening tags (each up to and including its ">") + value + "\n"
//   "GD>"         where the root of the protected insurance data begins (not right after the
//                 prefix)
// The first line follows the prefix directly. This is a single forward scan tuned to the card
// documents, not an XML parser: no entity decoding, no character conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace orva::record {

// At most this many bytes of a file are read; a longer file is cut there.
inline constexpr std::size_t kFlattenInputLimit = 29999;
// The chain of open elements holds at most this many characters.
inline constexpr std::size_t kFlattenPathLimit = 251;

// Flattens the file into out and returns the number of bytes written before the terminating
// zero. A file that cannot be opened shows "Datei <path> kann nicht gelesen werden!" (caption
// "Fehler") and leaves the prefix alone, ended.
//
// When the text would not fit into out (with its terminating zero), or an element chain would
// not fit into the path, nothing is cut: the result is none and out holds the prefix alone,
// ended.
std::optional<std::size_t> FlattenFile(const std::string& path, std::span<std::uint8_t> out);

// The message of a file that cannot be read: "Datei <path> kann nicht gelesen werden!".
void ReportUnreadable(const std::string& path);

}  // namespace orva::record
