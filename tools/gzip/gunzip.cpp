// One zlib inflate stream per member; the member's end is where zlib reports Z_STREAM_END, and
// the next member must start right there.
#include "gunzip.h"

#include <zlib.h>

#include <array>
#include <climits>
#include <cstring>

namespace orva::gzip {
namespace {

constexpr unsigned char kMagic0 = 0x1F;
constexpr unsigned char kMagic1 = 0x8B;
constexpr int kGzipOnly = 16 + MAX_WBITS;  // zlib: expect the gzip header and trailer

bool IsMemberStart(std::span<const unsigned char> bytes, std::size_t pos) {
    return bytes.size() - pos >= 2 && bytes[pos] == kMagic0 && bytes[pos + 1] == kMagic1;
}

// Inflates the member at pos; on success pos moves behind it.
const char* InflateMember(std::span<const unsigned char> bytes, std::size_t& pos,
                          const Sink& sink) {
    z_stream stream{};
    if (inflateInit2(&stream, kGzipOnly) != Z_OK) {
        return "out of memory";
    }
    stream.next_in = const_cast<unsigned char*>(bytes.data() + pos);
    stream.avail_in = static_cast<uInt>(bytes.size() - pos);
    std::array<unsigned char, 65536> out;
    const char* error = nullptr;
    for (;;) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = out.size() - stream.avail_out;
        if (produced > 0 && !sink(std::span<const unsigned char>(out.data(), produced))) {
            error = "write error";
            break;
        }
        if (status == Z_STREAM_END) {
            break;
        }
        if (status == Z_DATA_ERROR) {
            error = stream.msg != nullptr && std::strstr(stream.msg, "check") != nullptr
                        ? "invalid compressed data--crc error"
                        : "invalid compressed data--format violated";
            break;
        }
        if (status == Z_BUF_ERROR || (status == Z_OK && stream.avail_in == 0 && produced == 0)) {
            error = "unexpected end of file";
            break;
        }
        if (status != Z_OK) {
            error = "invalid compressed data";
            break;
        }
    }
    pos = bytes.size() - stream.avail_in;
    inflateEnd(&stream);
    return error;
}

}  // namespace

const char* DecompressMembers(std::span<const unsigned char> bytes, const Sink& sink) {
    if (bytes.empty()) {
        return "empty file";
    }
    if (bytes.size() > UINT_MAX) {
        return "file too large";
    }
    if (!IsMemberStart(bytes, 0)) {
        return "not in gzip format";
    }
    std::size_t pos = 0;
    while (pos < bytes.size() && IsMemberStart(bytes, pos)) {
        if (const char* error = InflateMember(bytes, pos, sink)) {
            return error;
        }
    }
    return nullptr;
}

}  // namespace orva::gzip
