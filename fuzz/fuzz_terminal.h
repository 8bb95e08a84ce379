// A card terminal whose every answer comes from the fuzz input: the result code, whether and
// what it writes back (addresses, length, bytes), even a length that claims more than it wrote
// or more than the room announced. When the input is used up every call fails with -1 and
// leaves everything untouched, and the abort flag is set, so that a run waiting for a card (or
// for a PIN) ends.
//
// Per CT_data call: one control byte (bit 0: write bytes back; bit 1: set lenr to a length of
// the input's choosing instead of the count written; bit 2: write dad/sad), the result (1 byte),
// with bit 1 the length (2 bytes), the byte count (1 byte, 0 to 255, plus 256 when bit 3) and
// the bytes. CT_init takes its result from one byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/state.h"
#include "terminal/ctapi_binding.h"

namespace orva::fuzz {

class FuzzTerminal final : public terminal::CtApi {
  public:
    FuzzTerminal(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool BeginRun() override { return true; }

    std::int8_t Init(std::uint16_t, std::uint16_t) override {
        std::uint8_t result = 0;
        if (!Take(result)) {
            return -1;
        }
        // Mostly success, so that the run gets going; from 0xE0 on the failures -32 to -1.
        return result < 0xE0 ? std::int8_t{0} : static_cast<std::int8_t>(result);
    }

    std::int8_t Data(std::uint16_t, std::uint8_t& dad, std::uint8_t& sad,
                     std::span<const std::uint8_t> command, std::uint16_t& lenr,
                     std::span<std::uint8_t> response) override {
        ++calls_;
        // The command must lie in the caller's buffer: touch every byte.
        volatile std::uint8_t sink = 0;
        for (std::uint8_t b : command) {
            sink = static_cast<std::uint8_t>(sink ^ b);
        }
        std::uint8_t control = 0;
        std::uint8_t result = 0;
        if (!Take(control) || !Take(result)) {
            return -1;
        }
        std::uint16_t claimed = 0;
        if ((control & 2) != 0) {
            std::uint8_t high = 0, low = 0;
            if (!Take(high) || !Take(low)) {
                return -1;
            }
            claimed = static_cast<std::uint16_t>(high << 8 | low);
        }
        std::uint8_t countByte = 0;
        std::size_t count = 0;
        if ((control & 1) != 0) {
            if (!Take(countByte)) {
                return -1;
            }
            count = countByte + ((control & 8) != 0 ? 256u : 0u);
            count = std::min({count, size_ - pos_, response.size(), std::size_t{lenr}});
            std::copy_n(data_ + pos_, count, response.begin());
            pos_ += count;
            lenr = static_cast<std::uint16_t>(count);
        }
        if ((control & 2) != 0) {
            lenr = claimed;
        }
        if ((control & 4) != 0) {
            sad = (control & 0x10) != 0 ? 0 : 1;
            dad = 2;
        }
        // Mostly success; from 0xC0 on the failures -64 to -1.
        return result < 0xC0 ? std::int8_t{0} : static_cast<std::int8_t>(result);
    }

    std::int8_t Close(std::uint16_t) override { return 0; }

    unsigned long Calls() const { return calls_; }

  private:
    bool Take(std::uint8_t& byte) {
        if (pos_ >= size_) {
            core::Reader().abort = true;
            return false;
        }
        byte = data_[pos_++];
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    unsigned long calls_ = 0;
};

}  // namespace orva::fuzz
