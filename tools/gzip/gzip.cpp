// GZIP -dc FILE: writes the decompressed content of every gzip member (RFC 1952) of FILE, in
// order, to standard output. The eGK keeps its insurance data as gzip members; EF.VD holds two
// of them one after the other, and a card file may carry a few bytes after the last member.
//
// Bytes after the last member that do not begin a new member (1F 8B) are ignored; the exit
// status is 0 when at least one member was decompressed. A missing, unreadable, empty or
// corrupt file gives one line on standard error and exit status 1; the output then ends with
// the last byte the decompressor produced before the fault. Wrong usage gives status 2.
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr unsigned char kMagic0 = 0x1F;
constexpr unsigned char kMagic1 = 0x8B;
constexpr int kGzipOnly = 16 + MAX_WBITS;  // zlib: expect the gzip header and trailer

int Fail(const std::string& name, const char* why) {
    std::fprintf(stderr, "GZIP: %s: %s\n", name.c_str(), why);
    return 1;
}

bool ReadAll(const std::string& name, std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    unsigned char chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool IsMemberStart(const std::vector<unsigned char>& bytes, std::size_t pos) {
    return bytes.size() - pos >= 2 && bytes[pos] == kMagic0 && bytes[pos + 1] == kMagic1;
}

// Inflates the member at pos; on success pos moves behind it. Output is written as it comes.
const char* InflateMember(const std::vector<unsigned char>& bytes, std::size_t& pos) {
    z_stream stream{};
    if (inflateInit2(&stream, kGzipOnly) != Z_OK) {
        return "out of memory";
    }
    stream.next_in = const_cast<unsigned char*>(bytes.data() + pos);
    stream.avail_in = static_cast<uInt>(bytes.size() - pos);
    unsigned char out[65536];
    const char* error = nullptr;
    for (;;) {
        stream.next_out = out;
        stream.avail_out = sizeof out;
        const int status = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = sizeof out - stream.avail_out;
        if (produced > 0 && std::fwrite(out, 1, produced, stdout) != produced) {
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

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-dc") != 0) {
        std::fprintf(stderr, "usage: GZIP -dc FILE\n");
        return 2;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string name = argv[2];
    std::vector<unsigned char> bytes;
    if (!ReadAll(name, bytes)) {
        return Fail(name, "cannot be read");
    }
    if (bytes.empty()) {
        return Fail(name, "empty file");
    }
    if (!IsMemberStart(bytes, 0)) {
        return Fail(name, "not in gzip format");
    }
    std::size_t pos = 0;
    while (pos < bytes.size() && IsMemberStart(bytes, pos)) {
        if (const char* error = InflateMember(bytes, pos)) {
            std::fflush(stdout);
            return Fail(name, error);
        }
    }
    if (std::fflush(stdout) != 0) {
        return Fail(name, "write error");
    }
    return 0;
}
