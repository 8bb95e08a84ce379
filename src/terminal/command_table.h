// The table of the twenty terminal and card commands. Every byte the program sends to a card
// terminal, over the CT-API or over the serial line, comes from a row of this table.
//
// Row layout (packed, 58 bytes):
//   nad      1 byte   high nibble: destination (0 card, 1 terminal), low nibble: source (2 host)
//   command 16 bytes  the APDU, left-aligned; only the first lenc bytes are sent
//   lenc     1 byte   number of command bytes to send (0 to 16)
//   prompt  40 bytes  zero-terminated Windows-1252 text shown while the command runs
//
// The table is constant. What a run changes for one exchange (row 3's P2 for the second KVK
// read, the offsets of the eGK follow-up reads, the PIN prompt) is an Exchange made from the row
// (executor.h); the short Le of rows 10 and 11 after a 67 00 lasts for the terminal session
// (session.h).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orva::terminal {

struct TerminalCommand {
    std::uint8_t nad;
    std::array<std::uint8_t, 16> command;
    std::uint8_t lenc;
    std::array<char, 40> prompt;

    std::uint8_t Dad() const { return static_cast<std::uint8_t>(nad >> 4); }
    std::uint8_t Sad() const { return static_cast<std::uint8_t>(nad & 0x0F); }
    std::string_view Prompt() const;
};
static_assert(sizeof(TerminalCommand) == 58, "rows are packed without gaps");

inline constexpr int kRowCount = 20;

// Row numbers by what they do.
enum Row : int {
    kRowResync = 0,         // serial only: block without information field
    kRowRequestIcc = 1,     // REQUEST ICC
    kRowSelectKvk = 2,      // SELECT the KVK application
    kRowReadKvk = 3,        // READ BINARY of the memory card
    kRowAck4 = 4,           // serial only
    kRowAck5 = 5,           // serial only
    kRowErase = 6,          // ERASE BINARY
    kRowEjectKvk = 7,       // EJECT ICC (memory card)
    kRowResetCt = 8,        // RESET CT
    kRowSelectHca = 9,      // SELECT DF.HCA
    kRowReadPd = 10,        // READ BINARY EF.PD
    kRowReadVd = 11,        // READ BINARY EF.VD
    kRowReadGvd = 12,       // READ BINARY EF.GVD (never sent)
    kRowReadStatus = 13,    // READ BINARY EF.StatusVD
    kRowEjectEgk = 14,      // EJECT ICC (eGK)
    kRowReadVersion1 = 15,  // READ RECORD EF.Version, records 1 to 3
    kRowReadVersion2 = 16,
    kRowReadVersion3 = 17,
    kRowSelectMf = 18,  // Select Masterfile
    kRowReadGdo = 19,   // READ BINARY EF.GDO
};

using CommandRows = std::array<TerminalCommand, kRowCount>;

// The rows.
extern const CommandRows kCommandTable;

inline const CommandRows& CommandTable() {
    return kCommandTable;
}

}  // namespace orva::terminal
