// The serial transport: the port object, its set-up and the block protocol that reads the cards
// over it, card after card, by itself.
#include "app/services.h"
#include "core/state.h"
#include "record/delivery.h"
#include "terminal/block_protocol.h"
#include "terminal/serial_port.h"

namespace orva::app {

namespace {

class SerialTransport final : public Transport {
  public:
    // Deliberately never freed: the protocol and the port's event thread may use the port until
    // the process ends.
    explicit SerialTransport(std::string portName)
        : portName_(std::move(portName)), port_(new terminal::CSerial()) {}
    ~SerialTransport() override = default;

    bool Start() override {
        // The receive handler is connected before the port opens, so every answer reaches it.
        port_->SetCallback(terminal::SerialHandler::Receive, terminal::OnSerialReceive);
        terminal::SetProtocolPort(port_);
        if (!port_->Open(portName_.c_str(), 9600, terminal::kParityEven, terminal::kOneStopBit)) {
            return false;
        }
        terminal::ClearSoftwareFlowControl(*port_);
        // A serial read is always a memory card's; the card kind is that of the last CT-API
        // run (none in serial mode, so KVK).
        terminal::StartBlockProtocol([](std::span<const std::uint8_t> data) {
            (void)record::DeliverRecord(record::BytesOnly(data), core::Reader().cardKind);
        });
        return true;
    }
    bool RunsOnRequest() const override { return false; }
    void ReadingRun() override {}
    void TimerTick() override { terminal::OnTimer(); }
    void Close(bool) override { port_->Close(); }

  private:
    std::string portName_;
    terminal::CSerial* port_;
};

}  // namespace

std::unique_ptr<Transport> SystemServices::SerialPort(const std::string& portName) {
    return std::make_unique<SerialTransport>(portName);
}

}  // namespace orva::app
