// Sending one command through the CT-API, and the PIN wait.
//
// Each exchange shows the command's prompt in the Status label, brings the window to the front,
// calls CT_data and appends one line to the command log:
//   "<row>: CT_data=<result>, Src=<sad>, Dest=<dad>, Len=<lenr>: <HexDump of the response>"
// row, result, sad and dad as signed decimal, lenr as unsigned 16-bit decimal; sad and dad as
// the library wrote them back.
//
// What goes out is a row of the constant command table, or a row with what a run changes for
// one exchange (an offset in P1 P2, the PIN prompt, the short Le of the terminal session): an
// Exchange, made from the row and changed as a value.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/state.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"
#include "terminal/session.h"

namespace orva::terminal {

using Response = std::array<std::uint8_t, core::kResponseBufferSize>;

// Room announced to the library in every call.
inline constexpr std::uint16_t kResponseRoom = 9999;

inline constexpr char kPinPrompt[] = "Bitte geben Sie die PIN ein.";

// One command as it goes out.
struct Exchange {
    int row;  // the table row it comes from: addresses and the number in the log line
    std::array<std::uint8_t, 16> command;
    std::size_t length;  // command bytes sent
    std::string_view prompt;

    std::span<const std::uint8_t> Command() const { return std::span(command).first(length); }
    // The same command at another offset: P1 (only when given) and P2.
    Exchange AtOffset(std::uint8_t p2) const;
    Exchange AtOffset(std::uint8_t p1, std::uint8_t p2) const;
};

// The row as the table holds it.
Exchange RowExchange(int row);
// The row as it goes out in this terminal session.
Exchange RowExchange(int row, const TerminalSession& session);

// Returns CT_data's result. lenr is set to 9999 before the call and holds what the library left
// (the log line shows that), and the response's first two bytes are cleared. After a failed call
// (negative result) the response counts as empty: lenr 0, first two bytes zero.
std::int8_t ExecuteCommand(CtApi& ctApi, const Exchange& exchange, std::uint16_t& lenr,
                           Response& response);
std::int8_t ExecuteCommand(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response);

// While the response ends with 69 00 and no abort is requested: wait a second, then send the
// exchange again with the PIN prompt in place of its own.
void AwaitPinEntry(CtApi& ctApi, const Exchange& exchange, std::uint16_t& lenr, Response& response);
void AwaitPinEntry(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response);

}  // namespace orva::terminal
