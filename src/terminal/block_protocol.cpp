// Runs the block protocol's state machine against the port, the window and delivery.
//
// Threads: OnSerialReceive runs on the port's event thread, OnTimer and StartBlockProtocol on
// the GUI thread. One mutex guards the machine and the port's writes. The GUI thread only ever
// try-locks it, and the event thread drops it for its pauses, so the window stays responsive.
// A tick can also arrive while a delivery of the timer itself shows a message box (timers keep
// firing inside modal loops): such a nested tick returns at once.
#include "terminal/block_protocol.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "core/sleep.h"
#include "core/state.h"
#include "core/ui.h"

namespace orva::terminal {

namespace {

class SerialLink final : public ProtocolLink {
  public:
    explicit SerialLink(CSerial& port) : port_(port) {}
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maxCount) override {
        return port_.Read(buffer, maxCount);
    }
    bool Write(const std::uint8_t* bytes, std::uint32_t count) override {
        return port_.Write(bytes, count);
    }

  private:
    CSerial& port_;
};

struct Protocol {
    std::mutex mutex;
    std::atomic<bool> inTick{false};
    std::unique_ptr<BlockMachine> machine;
    std::unique_ptr<SerialLink> serialLink;
    ProtocolLink* link = nullptr;
    DeliverCardData deliver;

    BlockMachine& Machine() {
        if (!machine) {
            machine = std::make_unique<BlockMachine>();
        }
        return *machine;
    }
};

Protocol& TheProtocol() {
    static Protocol protocol;
    return protocol;
}

ProtocolFlags CurrentFlags() {
    const core::RunOptions& options = core::Options();
    return ProtocolFlags{options.endless.load(), options.invisible};
}

// Carries out the machine's effects in order. Called with the lock held; pauses release it.
void Execute(Protocol& protocol, const ProtocolEffects& effects,
             std::unique_lock<std::mutex>& lock) {
    core::Ui& ui = core::GetUi();
    for (const ProtocolEffect& effect : effects) {
        switch (effect.kind) {
            case ProtocolEffect::Kind::Send:
                if (!effect.prompt.empty()) {
                    ui.SetStatus(effect.prompt);
                    ui.BringToFront();
                }
                if (protocol.link != nullptr) {
                    // A failed write is left to the timer's supervision.
                    (void)protocol.link->Write(effect.bytes.data(),
                                               static_cast<std::uint32_t>(effect.bytes.size()));
                }
                break;
            case ProtocolEffect::Kind::Pause:
                lock.unlock();
                core::SleepMs(effect.milliseconds);
                lock.lock();
                break;
            case ProtocolEffect::Kind::Deliver:
                if (protocol.deliver) {
                    protocol.deliver(effect.bytes);
                }
                break;
            case ProtocolEffect::Kind::RestoreWindow:
                if (ui.IsMinimised()) {
                    ui.SetMinimised(false);
                }
                break;
            case ProtocolEffect::Kind::Minimise:
                ui.SetMinimised(true);
                break;
            case ProtocolEffect::Kind::PostClose:
                ui.PostClose();
                break;
        }
    }
}

}  // namespace

void SetProtocolPort(CSerial* port) {
    Protocol& protocol = TheProtocol();
    std::lock_guard lock(protocol.mutex);
    if (port == nullptr) {
        protocol.serialLink.reset();
        protocol.link = nullptr;
        return;
    }
    protocol.serialLink = std::make_unique<SerialLink>(*port);
    protocol.link = protocol.serialLink.get();
}

void SetProtocolLink(ProtocolLink* link) {
    Protocol& protocol = TheProtocol();
    std::lock_guard lock(protocol.mutex);
    protocol.serialLink.reset();
    protocol.link = link;
}

void StartBlockProtocol(DeliverCardData deliver) {
    Protocol& protocol = TheProtocol();
    std::unique_lock lock(protocol.mutex);
    protocol.deliver = std::move(deliver);
    Execute(protocol, protocol.Machine().Start(), lock);
}

void OnSerialReceive(void* /*userData*/) {
    Protocol& protocol = TheProtocol();
    std::unique_lock lock(protocol.mutex);
    BlockMachine& machine = protocol.Machine();
    std::array<std::uint8_t, kReceiveBufferSize> bytes{};
    std::uint32_t n = 0;
    if (protocol.link != nullptr) {
        n = protocol.link->Read(bytes.data(), static_cast<std::uint32_t>(machine.FreeSpace()));
        n = std::min<std::uint32_t>(n, static_cast<std::uint32_t>(bytes.size()));
    }
    const ProtocolEffects effects =
        machine.OnReceive(std::span<const std::uint8_t>(bytes.data(), n), CurrentFlags());
    Execute(protocol, effects, lock);
}

void OnTimer() {
    Protocol& protocol = TheProtocol();
    if (protocol.inTick.exchange(true)) {
        return;
    }
    {
        std::unique_lock lock(protocol.mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            Execute(protocol, protocol.Machine().OnTick(CurrentFlags()), lock);
        }
    }
    protocol.inTick.store(false);
}

ProtocolState CurrentProtocolState() {
    Protocol& protocol = TheProtocol();
    std::lock_guard lock(protocol.mutex);
    return protocol.Machine().State();
}

void ResetBlockProtocol() {
    Protocol& protocol = TheProtocol();
    std::lock_guard lock(protocol.mutex);
    protocol.machine.reset();
    protocol.serialLink.reset();
    protocol.link = nullptr;
    protocol.deliver = nullptr;
}

}  // namespace orva::terminal
