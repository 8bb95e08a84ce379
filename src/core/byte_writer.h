// Appending bytes to a fixed buffer without ever writing past it. Used wherever the program
// fills a buffer of fixed size: composing the record, flattening a document, storing what a card
// answered. A piece that does not fit is refused whole and the writer stays refused, so nothing
// is ever cut into something that looks complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orva::core {

class ByteWriter {
  public:
    // reserve: bytes kept free at the end (the zero that ends a text).
    explicit ByteWriter(std::span<std::uint8_t> out, std::size_t reserve = 0)
        : out_(out), reserve_(std::min(reserve, out.size())) {}

    bool Append(std::span<const std::uint8_t> bytes) {
        if (!fits_ || out_.size() - reserve_ - length_ < bytes.size()) {
            fits_ = false;
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(length_));
        length_ += bytes.size();
        return true;
    }
    bool Append(std::string_view text) {
        return Append({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
    bool Append(std::uint8_t byte) { return Append(std::span(&byte, 1)); }

    // Back to the first length bytes (never forward); a refusal is forgotten.
    void Truncate(std::size_t length) {
        length_ = std::min(length, length_);
        fits_ = true;
    }

    std::size_t Length() const { return length_; }
    bool Fits() const { return fits_; }
    std::span<std::uint8_t> Written() const { return out_.first(length_); }
    // The reserved bytes behind what was written (for a terminating zero).
    std::span<std::uint8_t> Reserved() const { return out_.subspan(length_, reserve_); }

  private:
    std::span<std::uint8_t> out_;
    std::size_t reserve_;
    std::size_t length_ = 0;
    bool fits_ = true;
};

}  // namespace orva::core
