// Bounded byte helpers used wherever card answers are looked at. Nothing here reads outside
// the span it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace orva::core {

using ByteSpan = std::span<const std::uint8_t>;

// Position of the first byte equal to value among the first n bytes of buffer (n is cut to the
// buffer's size); none when n is 0 or the byte is not there.
constexpr std::optional<std::size_t> FindByte(ByteSpan buffer, std::uint8_t value, std::size_t n) {
    const std::size_t end = n < buffer.size() ? n : buffer.size();
    for (std::size_t i = 0; i < end; ++i) {
        if (buffer[i] == value) {
            return i;
        }
    }
    return std::nullopt;
}

// A status word SW1 SW2 as the decisions of the reading run compare it.
struct StatusWord {
    std::uint8_t sw1;
    std::uint8_t sw2;
};

inline constexpr StatusWord kSw6200{0x62, 0x00};
inline constexpr StatusWord kSw6282{0x62, 0x82};
inline constexpr StatusWord kSw6400{0x64, 0x00};
inline constexpr StatusWord kSw6700{0x67, 0x00};
inline constexpr StatusWord kSw6900{0x69, 0x00};
inline constexpr StatusWord kSw6A00{0x6A, 0x00};
inline constexpr StatusWord kSw6A80{0x6A, 0x80};
inline constexpr StatusWord kSw6A82{0x6A, 0x82};
inline constexpr StatusWord kSw6B00{0x6B, 0x00};
inline constexpr StatusWord kSw9000{0x90, 0x00};
inline constexpr StatusWord kSw9001{0x90, 0x01};

// Whether the buffer begins with the status word (the "first two bytes" decisions).
constexpr bool BeginsWith(ByteSpan buffer, StatusWord sw) {
    return buffer.size() >= 2 && buffer[0] == sw.sw1 && buffer[1] == sw.sw2;
}

// Whether a response of length bytes ends with the status word (the "last two bytes"
// decisions). A response shorter than two bytes, or longer than the buffer, has none.
constexpr bool EndsWith(ByteSpan buffer, std::size_t length, StatusWord sw) {
    return length >= 2 && length <= buffer.size() && buffer[length - 2] == sw.sw1 &&
           buffer[length - 1] == sw.sw2;
}

}  // namespace orva::core
