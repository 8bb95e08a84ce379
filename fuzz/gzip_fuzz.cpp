// The GZIP program's decompression over any file content. What it reports as a success must
// begin with what zlib alone makes of the first member (the card-image reader's one-member
// inflate serves as that reference).
//
// Input: the file.
#include <vector>

#include "card_image.h"
#include "fuzz_support.h"
#include "gunzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A small input can inflate to a lot; past this the sink says stop (a "write error").
    constexpr std::size_t kOutputLimit = 64u << 20;
    std::vector<unsigned char> output;
    const char* error = orva::gzip::DecompressMembers(
        std::span(data, size), [&output](std::span<const unsigned char> bytes) {
            if (output.size() + bytes.size() > kOutputLimit) {
                return false;
            }
            output.insert(output.end(), bytes.begin(), bytes.end());
            return true;
        });
    if (error == nullptr) {
        std::size_t consumed = 0;
        const auto first = orva::sim::GunzipMember(std::span(data, size), consumed);
        ORVA_FUZZ_CHECK(first.has_value());
        ORVA_FUZZ_CHECK(first->size() <= output.size());
        ORVA_FUZZ_CHECK(std::equal(first->begin(), first->end(), output.begin()));
    }
    return 0;
}
