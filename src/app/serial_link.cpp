// The serial transport of start-up and run control: the one port object of the process,
// opened at 9600 baud, even parity, one stop bit, without XON/XOFF, and connected to the block
// protocol, whose supervision runs on the window's 3000 ms timer.
#include "app/services.h"
#include "terminal/block_protocol.h"
#include "terminal/serial_port.h"

namespace orva::app {

namespace {

// Deliberately never destroyed: its event thread may still be ending when the process exits.
terminal::CSerial& Port() {
    static terminal::CSerial* const port = new terminal::CSerial();
    return *port;
}

}  // namespace

bool SystemServices::OpenSerial(const std::string& portName) {
    terminal::CSerial& port = Port();
    if (!port.Open(portName.c_str(), 9600, terminal::kParityEven, terminal::kOneStopBit)) {
        return false;
    }
    terminal::ClearSoftwareFlowControl(port);
    terminal::SetProtocolPort(&port);
    port.SetCallback(terminal::SerialHandler::Receive, &terminal::OnSerialReceive);
    return true;
}

void SystemServices::StartSerialProtocol() { terminal::StartBlockProtocol(); }

void SystemServices::CloseSerial() { Port().Close(); }

void SystemServices::SerialTimerTick() { terminal::OnTimer(); }

}  // namespace orva::app
