// The serial transport of start-up and run control: the port object, its set-up and the block
// protocol that reads the cards over it.
#include "app/services.h"
#include "core/state.h"
#include "record/delivery.h"
#include "terminal/block_protocol.h"
#include "terminal/serial_port.h"

namespace orva::app {

namespace {

// Created by start-up in serial mode; deliberately never freed: the protocol and the port's
// event thread may use it until the process ends.
terminal::CSerial* gPort = nullptr;

}  // namespace

bool SystemServices::OpenSerial(const std::string& portName) {
    if (gPort == nullptr) {
        gPort = new terminal::CSerial();
    }
    // The receive handler is connected before the port opens, so every answer reaches it.
    gPort->SetCallback(terminal::SerialHandler::Receive, terminal::OnSerialReceive);
    terminal::SetProtocolPort(gPort);
    if (!gPort->Open(portName.c_str(), 9600, terminal::kParityEven, terminal::kOneStopBit)) {
        return false;
    }
    terminal::ClearSoftwareFlowControl(*gPort);
    return true;
}

// A serial read is always a memory card's; the card kind is that of the last CT-API run (none
// in serial mode, so KVK).
void SystemServices::StartSerialProtocol() {
    terminal::StartBlockProtocol([](std::span<const std::uint8_t> data) {
        (void)record::DeliverRecord(record::BytesOnly(data), core::Reader().cardKind);
    });
}

void SystemServices::CloseSerial() {
    if (gPort != nullptr) {
        gPort->Close();
    }
}

void SystemServices::SerialTimerTick() { terminal::OnTimer(); }

}  // namespace orva::app
