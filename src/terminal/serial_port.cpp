// The platform-independent half of CSerial: the eight notification handlers and the order in
// which one wake-up of the event thread calls them. The port itself is in serial_port_win.cpp
// and serial_port_posix.cpp.
#include "terminal/serial_port.h"

namespace orva::terminal {

namespace {

constexpr std::uint32_t kCodeOpen = 0x501;
constexpr std::uint32_t kCodeClose = 0x502;
constexpr std::uint32_t kCodeReceive = 0x503;
constexpr std::uint32_t kCodeTransmitEmpty = 0x504;
constexpr std::uint32_t kCodeCarrier = 0x505;
constexpr std::uint32_t kCodeRing = 0x506;
constexpr std::uint32_t kCodeDsrChange = 0x507;
constexpr std::uint32_t kCodeCtsChange = 0x508;

}  // namespace

void CSerial::SetCallback(SerialHandler handler, SerialCallback callback) {
    callbacks_[static_cast<std::size_t>(handler)].store(callback);
}

bool CSerial::Notify(SerialHandler handler, std::uint32_t code) {
    if (const SerialCallback callback = callbacks_[static_cast<std::size_t>(handler)].load()) {
        callback(userData_.load());
        return true;
    }
    if (notifyWindow_.load() != nullptr) {
        PostToWindow(code);
        return true;
    }
    return false;
}

void CSerial::OnOpen() {
    Notify(SerialHandler::Open, kCodeOpen);
}
void CSerial::OnClose() {
    Notify(SerialHandler::Close, kCodeClose);
}
void CSerial::OnReceive() {
    if (!Notify(SerialHandler::Receive, kCodeReceive)) {
        PurgeReceive();
    }
}
void CSerial::OnTransmitEmpty() {
    Notify(SerialHandler::TransmitEmpty, kCodeTransmitEmpty);
}
void CSerial::OnRing() {
    Notify(SerialHandler::Ring, kCodeRing);
}
void CSerial::OnCarrier() {
    Notify(SerialHandler::Carrier, kCodeCarrier);
}
void CSerial::OnDsrChange() {
    Notify(SerialHandler::DsrChange, kCodeDsrChange);
}
void CSerial::OnCtsChange() {
    Notify(SerialHandler::CtsChange, kCodeCtsChange);
}

void CSerial::Dispatch(std::uint32_t events) {
    if ((events & kEvRxChar) != 0) {
        OnReceive();
    }
    if ((events & kEvTxEmpty) != 0) {
        OnTransmitEmpty();
    }
    if ((events & kEvModemLines) == 0) {
        return;
    }
    const std::uint32_t status = ModemStatus();
    if ((events & kEvRlsd) != 0) {
        rlsd_.store((status & kMsRlsdOn) != 0);
        OnCarrier();
    }
    if ((events & kEvRing) != 0) {
        ring_.store((status & kMsRingOn) != 0);
        OnRing();
    }
    if ((events & kEvCts) != 0) {
        cts_.store((status & kMsCtsOn) != 0);
        OnCtsChange();
    }
    if ((events & kEvDsr) != 0) {
        dsr_.store((status & kMsDsrOn) != 0);
        OnDsrChange();
    }
}

}  // namespace orva::terminal
