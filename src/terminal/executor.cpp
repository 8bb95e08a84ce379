#include "terminal/executor.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/bytes.h"
#include "core/sleep.h"
#include "core/ui.h"
#include "terminal/format.h"

namespace orva::terminal {

Exchange Exchange::AtOffset(std::uint8_t p2) const {
    Exchange moved = *this;
    moved.command[3] = p2;
    return moved;
}

Exchange Exchange::AtOffset(std::uint8_t p1, std::uint8_t p2) const {
    Exchange moved = AtOffset(p2);
    moved.command[2] = p1;
    return moved;
}

Exchange RowExchange(int row) {
    const TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
    return Exchange{.row = row,
                    .command = command.command,
                    .length = std::min<std::size_t>(command.lenc, command.command.size()),
                    .prompt = command.Prompt()};
}

Exchange RowExchange(int row, const TerminalSession& session) {
    Exchange exchange = RowExchange(row);
    exchange.length = std::min<std::size_t>(session.CommandLength(row), exchange.command.size());
    return exchange;
}

std::int8_t ExecuteCommand(CtApi& ctApi, const Exchange& exchange, std::uint16_t& lenr,
                           Response& response) {
    const TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(exchange.row));
    core::Ui& ui = core::GetUi();

    lenr = kResponseRoom;
    std::uint8_t dad = command.Dad();
    std::uint8_t sad = command.Sad();
    ui.SetStatus(exchange.prompt);
    ui.BringToFront();

    // The status word of an earlier answer must never pass for this one's.
    response[0] = 0;
    response[1] = 0;
    const std::int8_t result = ctApi.Data(1, dad, sad, exchange.Command(), lenr, response);

    char head[96];
    std::snprintf(head, sizeof head, "%i: CT_data=%i, Src=%i, Dest=%i, Len=%hu: ", exchange.row,
                  result, sad, dad, lenr);
    std::string line = head;
    line += HexDump(response, lenr);
    ui.AppendHexlist(line);
    if (core::Options().debug) {
        ui.RepaintHexlist();
    }
    if (result < 0) {
        // A failed exchange is no answer, whatever the library left in the buffer: no status
        // word, no data.
        lenr = 0;
        response[0] = 0;
        response[1] = 0;
    }
    return result;
}

std::int8_t ExecuteCommand(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response) {
    return ExecuteCommand(ctApi, RowExchange(row), lenr, response);
}

void AwaitPinEntry(CtApi& ctApi, const Exchange& exchange, std::uint16_t& lenr,
                   Response& response) {
    Exchange withPinPrompt = exchange;
    withPinPrompt.prompt = kPinPrompt;
    while (core::EndsWith(response, lenr, core::kSw6900) && !core::Reader().abort) {
        core::SleepMs(1000);
        ExecuteCommand(ctApi, withPinPrompt, lenr, response);
    }
}

void AwaitPinEntry(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response) {
    AwaitPinEntry(ctApi, RowExchange(row), lenr, response);
}

}  // namespace orva::terminal
