#include "terminal/command_table.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace orva::terminal {

namespace {

constexpr TerminalCommand MakeRow(std::uint8_t nad, std::initializer_list<std::uint8_t> bytes,
                                  std::uint8_t lenc, std::string_view prompt) {
    TerminalCommand row{};
    row.nad = nad;
    std::size_t i = 0;
    for (const std::uint8_t b : bytes) {
        row.command[i++] = b;
    }
    row.lenc = lenc;
    for (std::size_t j = 0; j < prompt.size() && j < row.prompt.size() - 1; ++j) {
        row.prompt[j] = prompt[j];
    }
    return row;
}

}  // namespace

// Prompts are Windows-1252 ("\xF6" is the o with umlaut). Row 18 stores two more bytes than it
// sends (80 00).
constexpr CommandRows kRows = {{
    MakeRow(0x12, {}, 0, ""),                                                                // 0
    MakeRow(0x12, {0x20, 0x12, 0x01, 0x00, 0x01, 0x01}, 6, "Versichertenkarte einstecken"),  // 1
    MakeRow(0x02, {0x00, 0xA4, 0x04, 0x00, 0x06, 0xD2, 0x76, 0x00, 0x00, 0x01, 0x01}, 11,
            "Select File"),                                                                 // 2
    MakeRow(0x02, {0x00, 0xB0, 0x00, 0x00, 0x00}, 5, "Daten lesen ..."),                    // 3
    MakeRow(0x02, {}, 0, ""),                                                               // 4
    MakeRow(0x02, {}, 0, ""),                                                               // 5
    MakeRow(0x02, {0x00, 0x0E, 0x00, 0x00}, 4, "Daten l\xF6schen"),                         // 6
    MakeRow(0x12, {0x20, 0x15, 0x01, 0x00, 0x01, 0x01}, 6, "Versichertenkarte entnehmen"),  // 7
    MakeRow(0x12, {0x20, 0x11, 0x00, 0x00, 0x00}, 5, ""),                                   // 8
    MakeRow(0x02, {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xD2, 0x76, 0x00, 0x00, 0x01, 0x02}, 11,
            "Select DF.HCA"),  // 9
    MakeRow(0x02, {0x00, 0xB0, 0x81, 0x00, 0x00, 0x00, 0x00}, 7,
            "Read Binary with SFID: EF.PD"),  // 10
    MakeRow(0x02, {0x00, 0xB0, 0x82, 0x00, 0x00, 0x00, 0x00}, 7,
            "Read Binary with SFID: EF.VD"),                                                 // 11
    MakeRow(0x02, {0x00, 0xB0, 0x83, 0x00, 0x00}, 5, "Read Binary with SFID: EF.GVD"),       // 12
    MakeRow(0x02, {0x00, 0xB0, 0x8C, 0x00, 0x00}, 5, "Read Binary with SFID: Statusdaten"),  // 13
    MakeRow(0x12, {0x20, 0x15, 0x01, 0x00, 0x01, 0x01}, 6, "Versichertenkarte entnehmen"),   // 14
    MakeRow(0x02, {0x00, 0xB2, 0x01, 0x84, 0x00}, 5, "Read Binary with SFID: EF.Version"),   // 15
    MakeRow(0x02, {0x00, 0xB2, 0x02, 0x04, 0x00}, 5, "Read Binary with SFID: EF.Version"),   // 16
    MakeRow(0x02, {0x00, 0xB2, 0x03, 0x04, 0x00}, 5, "Read Binary with SFID: EF.Version"),   // 17
    MakeRow(0x02,
            {0x00, 0xA4, 0x04, 0x0C, 0x22, 0x78, 0x44, 0x32, 0x76, 0x00, 0x01, 0x44, 0x80, 0x00},
            12, "Select Masterfile"),                                 // 18
    MakeRow(0x02, {0x00, 0xB0, 0x82, 0x00, 0x00}, 5, "Read EF.GDO"),  // 19
}};

const CommandRows kCommandTable = kRows;

std::string_view TerminalCommand::Prompt() const {
    return std::string_view(prompt.data(), strnlen(prompt.data(), prompt.size()));
}

}  // namespace orva::terminal
