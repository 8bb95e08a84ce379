// GZIP -dc FILE: writes the decompressed content of every gzip member (RFC 1952) of FILE, in
// order, to standard output. The eGK keeps its insurance data as gzip members; EF.VD holds two
// of them one after the other, and a card file may carry a few bytes after the last member.
//
// Bytes after the last member that do not begin a new member (1F 8B) are ignored; the exit
// status is 0 when at least one member was decompressed. A missing, unreadable, empty or
// corrupt file gives one line on standard error and exit status 1; the output then ends with
// the last byte the decompressor produced before the fault. Wrong usage gives status 2.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gunzip.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

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
    const char* error =
        orva::gzip::DecompressMembers(bytes, [](std::span<const unsigned char> out) {
            return std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
        });
    if (error != nullptr) {
        std::fflush(stdout);
        return Fail(name, error);
    }
    if (std::fflush(stdout) != 0) {
        return Fail(name, "write error");
    }
    return 0;
}
