// The serial block protocol's state machine fed with any sequence of received chunks and timer
// ticks, with Endless and Invisible switched as the input says.
//
// Input, repeated: one control byte (bit 0: a tick instead of a receive event; bit 1: Endless;
// bit 2: Invisible; bits 3-7 with the next byte: the chunk's length, at most 300), then the
// chunk.
//
// Every block the machine sends must be well formed, every hand-over and the collected data
// must stay within the data buffer, and the state is always a row of the table's serial path.
#include <vector>

#include "core/state.h"
#include "fuzz_support.h"
#include "terminal/block_machine.h"

namespace {

using orva::terminal::ProtocolEffect;

void CheckEffects(const orva::terminal::BlockMachine& machine,
                  const orva::terminal::ProtocolEffects& effects) {
    const int state = static_cast<int>(machine.State());
    ORVA_FUZZ_CHECK(state >= 0 && state <= 7);
    ORVA_FUZZ_CHECK(machine.CollectedData().size() <= orva::core::kDataBufferSize);
    ORVA_FUZZ_CHECK(machine.ReceivedCount() <= orva::terminal::kReceiveBufferSize);
    for (const ProtocolEffect& effect : effects) {
        switch (effect.kind) {
            case ProtocolEffect::Kind::Send: {
                const auto& b = effect.bytes;
                ORVA_FUZZ_CHECK(b.size() >= 4 && b.size() == b[2] + 4u);
                std::uint8_t lrc = 0;
                for (std::size_t i = 0; i + 1 < b.size(); ++i) {
                    lrc = static_cast<std::uint8_t>(lrc ^ b[i]);
                }
                ORVA_FUZZ_CHECK(lrc == b.back());
                ORVA_FUZZ_CHECK(effect.row >= 0 && effect.row <= 7);
                break;
            }
            case ProtocolEffect::Kind::Deliver:
                ORVA_FUZZ_CHECK(effect.bytes.size() <= orva::core::kDataBufferSize);
                break;
            case ProtocolEffect::Kind::Pause:
                ORVA_FUZZ_CHECK(effect.milliseconds <= 500);
                break;
            default:
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orva::terminal::BlockMachine machine(orva::core::kDataBufferSize);
    CheckEffects(machine, machine.Start());

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t control = data[pos++];
        const orva::terminal::ProtocolFlags flags{.endless = (control & 2) != 0,
                                                  .invisible = (control & 4) != 0};
        if ((control & 1) != 0) {
            CheckEffects(machine, machine.OnTick(flags));
            continue;
        }
        std::size_t length = control >> 3;
        if (pos < size) {
            length = (length << 8 | data[pos++]) % 301;
        }
        length = std::min(length, size - pos);
        const std::size_t before = machine.ReceivedCount();
        const auto effects = machine.OnReceive(std::span(data + pos, length), flags);
        pos += length;
        CheckEffects(machine, effects);
        ORVA_FUZZ_CHECK(machine.ReceivedCount() == 0 ||
                        machine.ReceivedCount() ==
                            std::min(before + length, orva::terminal::kReceiveBufferSize));
    }
    return 0;
}
