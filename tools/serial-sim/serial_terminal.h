// The behaviour of a simulated serial KVK terminal, without the line: it takes one block from
// the host and answers with at most one block. orva-serial-sim (main.cpp) puts it on a
// pseudo-terminal and paces it at 9600 baud.
//
// Blocks as on the line: NAD PCB LEN INF LRC (LRC = exclusive-or of the bytes before it).
// Answers carry NAD 0x21 (terminal to host). Recognised host blocks:
//   LEN 0, not an R-block     resynchronisation: E0 02 90 00 (the sequence numbers restart)
//   R-block (PCB 10x0 0000)   the next chunk of a chained answer, or the last block once more
//   20 12 ..  REQUEST ICC     62 00 while no card is in (absent_polls, or no card left), then
//                             the card's request answer (90 00 for a KVK)
//   00 A4 ..  SELECT          90 00 (6A 82 for a card that is no KVK)
//   00 B0 ..  READ BINARY     69 00 while pin_polls last; else the application (the memory from
//                             app_offset to the end of the image) from the offset on, at most
//                             Le (00 = 256) and max_data bytes, with 90 00, or 62 82 when the
//                             memory ends first; in I-blocks of at most
//                             `chunk` INF bytes, PCB bit 0x20 while more follows
//   00 0E ..  ERASE BINARY    90 00
//   20 15 ..  EJECT ICC       62 00 eject_busy times, then the card's eject answer; the card is
//                             out and the next one applies
// I-blocks from the terminal alternate the sequence bit 0x40.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card_image.h"

namespace orva::serialsim {

using Bytes = std::vector<std::uint8_t>;

enum class Fault { None, Split, Surplus, Drop, Pin };

std::optional<Fault> ParseFault(const std::string& name);

struct TerminalAnswer {
    Bytes block;           // empty: no answer at all
    bool lost = false;     // built, but lost on the line (fault drop)
    bool surplus = false;  // a stray byte follows the block (fault surplus)
};

class SerialTerminal {
  public:
    SerialTerminal(sim::CardSet cards, unsigned chunk, Fault fault);

    TerminalAnswer OnBlock(std::span<const std::uint8_t> block);

    // The number of cards taken out so far.
    std::size_t CardsDone() const { return current_; }

  private:
    Bytes IBlock(std::span<const std::uint8_t> inf, bool more);
    Bytes Status(std::uint8_t sw1, std::uint8_t sw2) { return IBlock(Bytes{sw1, sw2}, false); }
    Bytes NextChunk();
    Bytes ReadBinary(std::span<const std::uint8_t> apdu);
    const sim::CardImage* Card() const;

    sim::CardSet cards_;
    unsigned chunk_;
    Fault fault_;
    std::size_t current_ = 0;
    unsigned absentLeft_ = 0;
    unsigned ejectLeft_ = 0;
    unsigned pinLeft_ = 0;
    bool cardStarted_ = false;
    std::uint8_t sequence_ = 0;
    Bytes chain_;  // the INF of the chained answer being sent
    std::size_t chainSent_ = 0;
    Bytes lastBlock_;
    bool faultUsed_ = false;
};

}  // namespace orva::serialsim
