#include "terminal/executor.h"

#include <cstdio>
#include <string>

#include "core/bytes.h"
#include "core/sleep.h"
#include "core/ui.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"
#include "terminal/format.h"

namespace orva::terminal {

std::int8_t ExecuteCommand(int row, std::uint16_t& lenr, Response& response) {
    TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
    core::Ui& ui = core::GetUi();

    lenr = kResponseRoom;
    std::uint8_t dad = command.Dad();
    std::uint8_t sad = command.Sad();
    ui.SetStatus(command.Prompt());
    ui.BringToFront();

    std::int8_t result = -1;
    if (const CtDataFn data = EntryPoints().data) {
        result = data(1, &dad, &sad, command.lenc, command.command.data(), &lenr,
                      response.data());
    } else {
        lenr = 0;  // no library entry point to call: no answer at all
    }

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

void AwaitPinEntry(int row, std::uint16_t& lenr, Response& response) {
    TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
    while (core::EndsWith(response, lenr, core::kSw6900) && !core::Reader().abort) {
        core::SleepMs(1000);
        const auto saved = command.prompt;
        command.SetPrompt(kPinPrompt);
        ExecuteCommand(row, lenr, response);
        command.prompt = saved;
    }
}

}  // namespace orva::terminal
