// The serial block protocol run against the port, the window and delivery. The state table
// lives in block_machine.h; this is the glue: the receive handler on the port's event thread,
// the 3000 ms window timer on the GUI thread, and the start at start-up.
//
// Both handlers take one mutex. The timer never waits for it: a tick that finds the receive
// handler busy is skipped, and the receive handler's pauses (200 and 500 ms) run with the mutex
// released, so the window never freezes behind them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "terminal/block_machine.h"
#include "terminal/serial_port.h"

namespace orva::terminal {

// What the protocol needs of a port: read what has been received, write a block.
class ProtocolLink {
  public:
    virtual ~ProtocolLink() = default;
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maxCount) = 0;
    virtual bool Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

// The port the protocol talks through (start-up's CSerial). Null disconnects.
void SetProtocolPort(CSerial* port);
// Another link instead of a CSerial (tests).
void SetProtocolLink(ProtocolLink* link);

// Receives the card data of each card cycle (on the thread that completed the cycle: the port's
// event thread, or the GUI thread through the timer).
using DeliverCardData = std::function<void(std::span<const std::uint8_t> data)>;

// Clears the data buffer and sends the first block (12 C0 00 D2 at process start). Every card
// read from now on goes to deliver.
void StartBlockProtocol(DeliverCardData deliver);

// The receive callback of the port (SerialHandler::Receive); userData is ignored.
void OnSerialReceive(void* userData);

// The window timer's tick (every 3000 ms, on the GUI thread). Does nothing unless the serial
// protocol is reading a card.
void OnTimer();

// The current state.
ProtocolState CurrentProtocolState();

// Back to the state at process start: state 0, next PCB 0xC0, no link (tests).
void ResetBlockProtocol();

}  // namespace orva::terminal
