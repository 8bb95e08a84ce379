// The serial block protocol as a pure state machine: it is fed received bytes and timer ticks
// and answers with what to do (blocks to send, pauses, deliveries, window actions). It does no
// I/O and takes no locks; block_protocol.cpp runs it against the port, the window and delivery.
//
// Block on the line, both directions (laid out like ISO/IEC 7816-3 T=1):
//   offset 0        NAD  node address: 0x12 terminal commands, 0x02 card commands
//   offset 1        PCB  protocol control byte
//   offset 2        LEN  number of INF bytes (0..16 sent, up to 255 received)
//   offset 3        INF  LEN bytes
//   offset 3 + LEN  LRC  exclusive-or of bytes 0 .. 2 + LEN
//
// PCB sent: 0xC0 once (resynchronisation request, the first block of the process), then 0x40
// and 0x00 alternately for every block outside states 4 and 5; in states 4 and 5 an R-block
// 0x80 when the last answer's PCB had the sequence bit 0x40, else 0x90. Of an answer only LEN,
// INF and the PCB bits 0x20 (more data follows) and 0x40 (sequence) are used.
//
// The state is the command-table row whose block was sent last:
//   0 resync -> 1 REQUEST ICC -> 2 SELECT -> 3 READ BINARY -> 4 (chained answers, R-blocks)
//   -> 5 (last R-block) -> 6 ERASE -> 7 EJECT -> delivery -> 0
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orva::terminal {

// The protocol's states; each one's number is the command-table row whose block it sent.
enum class ProtocolState : int {
    Resync = 0,       // resynchronisation request, answer awaited
    RequestIcc = 1,   // REQUEST ICC
    SelectKvk = 2,    // SELECT of the KVK application
    Read = 3,         // READ BINARY
    ReadChained = 4,  // R-block for the next piece of a chained answer
    ReadLast = 5,     // R-block after the piece that ends the read
    Erase = 6,        // ERASE BINARY
    Eject = 7,        // EJECT ICC
};
constexpr int RowOf(ProtocolState state) {
    return static_cast<int>(state);
}

inline constexpr std::size_t kBlockNad = 0;
inline constexpr std::size_t kBlockPcb = 1;
inline constexpr std::size_t kBlockLen = 2;
inline constexpr std::size_t kBlockInf = 3;
inline constexpr std::uint8_t kPcbMoreData = 0x20;
inline constexpr std::uint8_t kPcbSequence = 0x40;
inline constexpr std::uint8_t kPcbResync = 0xC0;
inline constexpr std::uint8_t kPcbAckSequenceSet = 0x80;
inline constexpr std::uint8_t kPcbAckSequenceClear = 0x90;
inline constexpr std::size_t kReceiveBufferSize = 260;
// Head of the data buffer in which the timer looks for the checksum and trailer tags.
inline constexpr std::size_t kCompletionSearchBytes = 260;
inline constexpr unsigned kReadRestartPauseMs = 500;
inline constexpr unsigned kEjectPauseMs = 200;
inline constexpr std::size_t kDataCapacity = 16384;

// Writes the exclusive-or of the first n bytes of block at position n and returns it.
// n must be at least 1 and less than the block's size.
std::uint8_t AppendLrc(std::span<std::uint8_t> block, std::size_t n);

struct ProtocolEffect {
    enum class Kind {
        Send,           // write bytes; show prompt first when it is not empty
        Pause,          // wait milliseconds
        Deliver,        // hand bytes to delivery
        RestoreWindow,  // set the main window to normal if it is minimised
        Minimise,       // minimise the main window (emitted only with Invisible)
        PostClose,      // close the application's window
    };
    ProtocolEffect(Kind k) : kind(k) {}  // implicit: {Kind::X} reads as the effect X

    Kind kind;
    int row = 0;                      // Send
    std::vector<std::uint8_t> bytes;  // Send: the block; Deliver: the card data
    std::string prompt;               // Send: the row's prompt, Windows-1252
    unsigned milliseconds = 0;        // Pause
};
using ProtocolEffects = std::vector<ProtocolEffect>;

struct ProtocolFlags {
    bool endless = false;
    bool invisible = false;
};

class BlockMachine {
  public:
    // The machine collects the read answers in a data buffer of its own, of dataCapacity bytes
    // (16384, the data buffer of a reading run). Every card cycle starts with the whole buffer
    // cleared (at the start, after a delivery, and whenever a cycle is given up), so nothing of
    // an earlier card lies behind the data.
    explicit BlockMachine(std::size_t dataCapacity = kDataCapacity);

    // Clears the data buffer and sends the block of the current state.
    ProtocolEffects Start();

    // How many bytes the receive buffer can still take; read at most this many from the port.
    std::size_t FreeSpace() const { return kReceiveBufferSize - received_; }

    // One receive event with the bytes read for it (possibly none). Bytes beyond FreeSpace()
    // are ignored.
    ProtocolEffects OnReceive(std::span<const std::uint8_t> bytes, ProtocolFlags flags);

    // The window timer's supervision, every 3000 ms.
    ProtocolEffects OnTick(ProtocolFlags flags);

    ProtocolState State() const { return state_; }
    std::uint8_t ControlByte() const { return controlByte_; }
    int ReceiveEvents() const { return receiveEvents_; }
    std::size_t ReceivedCount() const { return received_; }
    // The card data collected in this cycle so far.
    std::span<const std::uint8_t> CollectedData() const {
        return std::span(data_).first(dataLength_);
    }

  private:
    void SendBlock(ProtocolState state, ProtocolEffects& out);
    void ActOnAnswer(std::size_t len, ProtocolFlags flags, ProtocolEffects& out);
    void ActOnReadAnswer(std::size_t len, ProtocolEffects& out);
    void ActOnEjectAnswer(std::size_t len, ProtocolFlags flags, ProtocolEffects& out);
    bool AnswerStartsWith(std::size_t len, std::uint8_t sw1, std::uint8_t sw2) const;
    bool ReadChainEnds(std::size_t len) const;
    bool DataComplete() const;
    void DeliverAndEmpty(bool minimise, ProtocolEffects& out);
    void DropData();  // empties the data buffer: the cycle's data are given up or handed over
    std::size_t Length() const;

    std::vector<std::uint8_t> data_;
    std::size_t dataLength_ = 0;
    ProtocolState state_ = ProtocolState::Resync;
    std::uint8_t controlByte_ = kPcbResync;
    std::array<std::uint8_t, kReceiveBufferSize> receive_{};
    std::size_t received_ = 0;
    int receiveEvents_ = 0;
    int eventsAtLastTick_ = 0;
    bool deliveredByTimer_ = false;  // the timer already handed this cycle's data over
};

}  // namespace orva::terminal
