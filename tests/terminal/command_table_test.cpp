#include "terminal/command_table.h"
#include "terminal/executor.h"
#include "terminal/session.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace orva::terminal {
namespace {

struct RowCase {
    int row;
    std::uint8_t nad;
    const char* sent;  // exactly lenc bytes
    const char* prompt;
};

// The rows as the terminals receive them. Any change here changes what goes over the wire.
const RowCase kRows[] = {
    {0, 0x12, "", ""},
    {1, 0x12, "20 12 01 00 01 01", "Versichertenkarte einstecken"},
    {2, 0x02, "00 A4 04 00 06 D2 76 00 00 01 01", "Select File"},
    {3, 0x02, "00 B0 00 00 00", "Daten lesen ..."},
    {4, 0x02, "", ""},
    {5, 0x02, "", ""},
    {6, 0x02, "00 0E 00 00", "Daten l\xF6schen"},
    {7, 0x12, "20 15 01 00 01 01", "Versichertenkarte entnehmen"},
    {8, 0x12, "20 11 00 00 00", ""},
    {9, 0x02, "00 A4 04 0C 06 D2 76 00 00 01 02", "Select DF.HCA"},
    {10, 0x02, "00 B0 81 00 00 00 00", "Read Binary with SFID: EF.PD"},
    {11, 0x02, "00 B0 82 00 00 00 00", "Read Binary with SFID: EF.VD"},
    {12, 0x02, "00 B0 83 00 00", "Read Binary with SFID: EF.GVD"},
    {13, 0x02, "00 B0 8C 00 00", "Read Binary with SFID: Statusdaten"},
    {14, 0x12, "20 15 01 00 01 01", "Versichertenkarte entnehmen"},
    {15, 0x02, "00 B2 01 84 00", "Read Binary with SFID: EF.Version"},
    {16, 0x02, "00 B2 02 04 00", "Read Binary with SFID: EF.Version"},
    {17, 0x02, "00 B2 03 04 00", "Read Binary with SFID: EF.Version"},
    {18, 0x02, "00 A4 04 0C 22 78 44 32 76 00 01 44", "Select Masterfile"},
    {19, 0x02, "00 B0 82 00 00", "Read EF.GDO"},
};

TEST(CommandTable, RowsAreInitialisedAsSent) {
    static_assert(std::size(kRows) == kRowCount);
    for (const RowCase& c : kRows) {
        SCOPED_TRACE("row " + std::to_string(c.row));
        const TerminalCommand& row = kCommandTable[static_cast<std::size_t>(c.row)];
        const auto sent = test::Hex(c.sent);
        EXPECT_EQ(row.nad, c.nad);
        ASSERT_EQ(row.lenc, sent.size());
        EXPECT_EQ(std::vector<std::uint8_t>(row.command.begin(), row.command.begin() + row.lenc),
                  sent);
        EXPECT_EQ(row.Prompt(), c.prompt);
        // Stored bytes after lenc are zero, except the two unsent bytes of row 18.
        const auto tail =
            std::vector<std::uint8_t>(row.command.begin() + row.lenc, row.command.end());
        std::vector<std::uint8_t> expected(tail.size(), 0);
        if (c.row == 18) {
            expected[0] = 0x80;
        }
        EXPECT_EQ(tail, expected);
        // Class byte 20 goes to the terminal, 00 to the card; the host is always the source.
        if (row.lenc > 0) {
            EXPECT_EQ(row.Dad(), row.command[0] == 0x20 ? 1 : 0);
        }
        EXPECT_EQ(row.Sad(), 2);
    }
}

// The lasting short Le after a 67 00 changes what rows 10 and 11 send, and nothing else.
TEST(CommandTable, TerminalSessionShortensOnlyTheTwoDataRows) {
    TerminalSession session;
    session.UseShortLe();
    for (const RowCase& c : kRows) {
        SCOPED_TRACE("row " + std::to_string(c.row));
        const Exchange exchange = RowExchange(c.row, session);
        std::string sent = c.sent;
        if (c.row == kRowReadPd || c.row == kRowReadVd) {
            sent = sent.substr(0, std::string("00 B0 8x 00 00").size());
        }
        EXPECT_EQ(test::ToHex({exchange.Command().begin(), exchange.Command().end()}), sent);
        EXPECT_EQ(exchange.prompt, c.prompt);
        const Exchange plain = RowExchange(c.row);
        EXPECT_EQ(test::ToHex({plain.Command().begin(), plain.Command().end()}), c.sent);
    }
}

}  // namespace
}  // namespace orva::terminal
