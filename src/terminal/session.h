// What the conversation with the CT-API terminal keeps beyond one exchange, for as long as the
// process runs.
//
// A terminal that cannot take the extended Le of EF.PD and EF.VD (00 00 00) answers their first
// read with 67 00 (wrong length). From then on both rows go out with the short Le: their first
// five command bytes (lenc 5) instead of seven, in every later read of this process.
#pragma once

#include "terminal/command_table.h"

namespace orva::terminal {

class TerminalSession {
  public:
    // The number of command bytes row goes out with in this session.
    std::uint8_t CommandLength(int row) const {
        const TerminalCommand& command = CommandTable().at(static_cast<std::size_t>(row));
        if (shortLe_ && (row == kRowReadPd || row == kRowReadVd)) {
            return kShortLeLength;
        }
        return command.lenc;
    }

    // After a 67 00: rows 10 and 11 with the short Le from now on.
    void UseShortLe() { shortLe_ = true; }
    bool ShortLe() const { return shortLe_; }

  private:
    static constexpr std::uint8_t kShortLeLength = 5;
    bool shortLe_ = false;
};

}  // namespace orva::terminal
