// FlattenFile over any file content, under each of the three names delivery flattens, into an
// output buffer of the real size or a small one.
//
// Input: byte 0 picks the name (bits 0-1: PD.XML, VD.XML, ST.TXT) and the output size (bit 7
// set: bits 2-6 + 1 bytes instead of 16384); the rest is the file.
#include <cstring>
#include <vector>

#include "core/state.h"
#include "fuzz_support.h"
#include "record/flatten.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const orva::fuzz::Sandbox sandbox("flatten");
    if (size == 0) {
        return 0;
    }
    static const char* const kNames[] = {"PD.XML", "VD.XML", "ST.TXT", "ST.TXT"};
    const std::uint8_t control = data[0];
    const std::string path =
        sandbox.Write(kNames[control & 3], std::span(data + 1, size - 1)).string();
    const std::size_t outSize =
        (control & 0x80) != 0 ? ((control >> 2) & 0x1F) + 1u : orva::core::kDataBufferSize;

    std::vector<std::uint8_t> out(outSize, 0xAA);
    const auto length = orva::record::FlattenFile(path, out);
    if (length) {
        // The text and its terminating zero lie inside the buffer, behind the prefix.
        ORVA_FUZZ_CHECK(*length >= 3 && *length < out.size());
        ORVA_FUZZ_CHECK(out[*length] == 0);
        ORVA_FUZZ_CHECK(std::memcmp(out.data() + 2, ">", 1) == 0);
    } else if (out.size() > 3) {
        // Refused: the prefix alone, ended.
        ORVA_FUZZ_CHECK(out[3] == 0);
    }
    return 0;
}
