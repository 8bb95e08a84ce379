// The decompression of the GZIP program: every gzip member (RFC 1952) of a file's bytes, in
// order. Bytes after the last member that do not begin a new member (1F 8B) are ignored.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

namespace orva::gzip {

// Receives the decompressed bytes as they come; false stops with "write error".
using Sink = std::function<bool(std::span<const unsigned char>)>;

// Null when at least one member was decompressed whole; otherwise the fault, as the program
// reports it ("empty file", "not in gzip format", "unexpected end of file", ...). The sink has
// then received everything the decompressor produced before the fault.
[[nodiscard]] const char* DecompressMembers(std::span<const unsigned char> bytes, const Sink& sink);

}  // namespace orva::gzip
