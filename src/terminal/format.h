// Turning response bytes into text for the command log and the Memo. Hex digits are upper case.
#pragma once

#include <cstdint>
#include <string>

#include "core/bytes.h"

namespace orva::terminal {

// "90 00 " for the bytes 90 00: two hex digits and a blank per byte.
std::string HexDump(core::ByteSpan bytes, std::uint16_t count);

// Printable bytes (32 to 126) as themselves, any other byte as "x0A " (x, two hex digits, blank).
std::string PrintableDump(core::ByteSpan bytes, std::uint16_t count);

// "9000" for the bytes 90 00: two hex digits per byte, nothing between them.
std::string HexString(core::ByteSpan bytes, std::uint16_t count);

}  // namespace orva::terminal
