#include "terminal/executor.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/sleep.h"
#include "core/ui.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"
#include "terminal/format.h"

namespace orva::terminal {

std::int8_t ExecuteCommand(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response) {
    TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
    core::Ui& ui = core::GetUi();

    lenr = kResponseRoom;
    std::uint8_t dad = command.Dad();
    std::uint8_t sad = command.Sad();
    ui.SetStatus(command.Prompt());
    ui.BringToFront();

    const std::int8_t result = ctApi.Data(
        1, dad, sad, std::span<const std::uint8_t>(command.command).first(
                     std::min<std::size_t>(command.lenc, command.command.size())), lenr,
        response);

    char head[96];
    std::snprintf(head, sizeof head, "%i: CT_data=%i, Src=%i, Dest=%i, Len=%hu: ", row, result,
                  sad, dad, lenr);
    std::string line = head;
    line += HexDump(response, lenr);
    ui.AppendHexlist(line);
    if (core::Options().debug) {
        ui.RepaintHexlist();
    }
    return result;
}

void AwaitPinEntry(CtApi& ctApi, int row, std::uint16_t& lenr, Response& response) {
    TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
    while (core::EndsWith(response, lenr, core::kSw6900) && !core::Reader().abort) {
        core::SleepMs(1000);
        const auto saved = command.prompt;
        command.SetPrompt(kPinPrompt);
        ExecuteCommand(ctApi, row, lenr, response);
        command.prompt = saved;
    }
}

}  // namespace orva::terminal
