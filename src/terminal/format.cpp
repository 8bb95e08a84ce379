#include "terminal/format.h"

#include <algorithm>

namespace orva::terminal {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, std::uint8_t byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0F]);
}

// Never past the end of the bytes given, whatever the count says.
core::ByteSpan Head(core::ByteSpan bytes, std::uint16_t count) {
    return bytes.first(std::min<std::size_t>(count, bytes.size()));
}

}  // namespace

std::string HexDump(core::ByteSpan bytes, std::uint16_t count) {
    std::string out;
    const core::ByteSpan head = Head(bytes, count);
    out.reserve(head.size() * 3);
    for (const std::uint8_t b : head) {
        AppendHex(out, b);
        out.push_back(' ');
    }
    return out;
}

std::string PrintableDump(core::ByteSpan bytes, std::uint16_t count) {
    std::string out;
    for (const std::uint8_t b : Head(bytes, count)) {
        if (b >= 32 && b <= 126) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('x');
            AppendHex(out, b);
            out.push_back(' ');
        }
    }
    return out;
}

std::string HexString(core::ByteSpan bytes, std::uint16_t count) {
    std::string out;
    const core::ByteSpan head = Head(bytes, count);
    out.reserve(head.size() * 2);
    for (const std::uint8_t b : head) {
        AppendHex(out, b);
    }
    return out;
}

}  // namespace orva::terminal
