// Sending one row of the command table through the CT-API, and the PIN wait.
//
// Each exchange shows the row's prompt in the Status label, brings the window to the front,
// calls CT_data and appends one line to the command log:
//   "<row>: CT_data=<result>, Src=<sad>, Dest=<dad>, Len=<lenr>: <HexDump of the response>"
// row, result, sad and dad as signed decimal, lenr as unsigned 16-bit decimal; sad and dad as
// the library wrote them back.
#pragma once

#include <array>
#include <cstdint>

#include "core/state.h"
#include "terminal/ctapi_binding.h"

namespace orva::terminal {

using Response = std::array<std::uint8_t, core::kResponseBufferSize>;

// Room announced to the library in every call.
inline constexpr std::uint16_t kResponseRoom = 9999;

inline constexpr char kPinPrompt[] = "Bitte geben Sie die PIN ein.";

// Returns CT_data's result. lenr is set to 9999 before the call and holds what the library left.
std::int8_t ExecuteCommand(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response);

// While the response ends with 69 00 and no abort is requested: wait a second, then send the row
// again with the PIN prompt in place of its own.
void AwaitPinEntry(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response);

}  // namespace orva::terminal
