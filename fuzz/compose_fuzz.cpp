// ComposeRecord over any card data, in both forms, with PD.XML, VD.XML and ST.TXT of the input's
// choosing: the decompression command is replaced by one that writes the input's PD.XML or
// VD.XML, or fails without writing when the input has none.
//
// Input: byte 0: bit 0 the eGK form (and the first two data bytes then set to the length, as
// the eGK reading leaves them), bits 1-3 which of the three files exist, bits 4-5 whether the
// version and card serial number strings are set; then four 2-byte big-endian lengths (PD.XML,
// VD.XML, ST.TXT, card data) and those bytes in that order.
//
// A built record lies in the record buffer, begins with the header and ends with 04.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/sleep.h"
#include "core/state.h"
#include "fuzz_support.h"
#include "record/compose.h"

namespace {

std::span<const std::uint8_t> Take(const std::uint8_t*& data, std::size_t& size,
                                   std::size_t wanted) {
    const std::size_t n = std::min(wanted, size);
    std::span<const std::uint8_t> part(data, n);
    data += n;
    size -= n;
    return part;
}

std::size_t Length(const std::uint8_t*& data, std::size_t& size) {
    const auto two = Take(data, size, 2);
    return two.size() == 2 ? static_cast<std::size_t>(two[0] << 8 | two[1]) : 0;
}

// The decompressed documents of the current input, by name.
std::map<std::string, std::span<const std::uint8_t>> gDocuments;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const orva::fuzz::Sandbox sandbox("compose");
    static const bool setUp = [] {
        orva::core::SetSleepFunction([](unsigned) {});  // a failed decompression is tried again
        orva::record::SetCommandRunner([](const std::string& line) {
            for (const char* name : {"PD", "VD"}) {
                const auto document = gDocuments.find(name);
                if (line.find(std::string(name) + ".GZ") != std::string::npos &&
                    document != gDocuments.end()) {
                    sandbox.Write(std::string(name) + ".XML", document->second);
                    return 0;
                }
            }
            return 1;
        });
        return true;
    }();
    (void)setUp;
    if (size < 9) {
        return 0;
    }
    const std::uint8_t control = data[0];
    ++data;
    --size;
    std::size_t lengths[4];
    for (std::size_t& length : lengths) {
        length = Length(data, size);
    }
    static const char* const kFiles[] = {"PD", "VD", "ST.TXT"};
    gDocuments.clear();
    std::filesystem::remove(sandbox.Path() / "ST.TXT");
    for (int i = 0; i < 3; ++i) {
        const auto bytes = Take(data, size, lengths[i]);
        if ((control & (2 << i)) == 0) {
            continue;
        }
        if (i < 2) {
            gDocuments[kFiles[i]] = bytes;
        } else {
            sandbox.Write(kFiles[i], bytes);
        }
    }
    const auto cardData = Take(data, size, std::min(lengths[3], orva::core::kDataBufferSize));

    const std::string tempDir = sandbox.Path().string() + "/";
    std::vector<std::uint8_t> buffer(cardData.begin(), cardData.end());
    if ((control & 1) != 0 && buffer.size() >= 2) {
        // As the EF.VD read leaves them: the end offset, also taken as the length.
        buffer[0] = static_cast<std::uint8_t>(buffer.size() >> 8);
        buffer[1] = static_cast<std::uint8_t>(buffer.size() & 0xFF);
    }
    const orva::record::RecordInput input{
        .data = buffer,
        .form = (control & 1) != 0 ? orva::record::RecordForm::Egk : orva::record::RecordForm::Kvk,
        .tempDir = tempDir,
        .version = (control & 0x10) != 0 ? "003000000000300000010030000003" : "",
        .iccsn = (control & 0x20) != 0 ? "80276999990000654321AB12" : "",
    };
    std::size_t length = buffer.size();
    std::vector<std::uint8_t> record(orva::record::kRecordBufferSize);
    const std::size_t before = length;
    const auto result = orva::record::ComposeRecord(record, input, length);
    if (result == orva::record::ComposeResult::Built) {
        ORVA_FUZZ_CHECK(length >= 11 && length <= record.size());
        ORVA_FUZZ_CHECK(std::memcmp(record.data(), "\x04OKVK 01", 8) == 0);
        ORVA_FUZZ_CHECK(record[length - 1] == 0x04);
    } else {
        ORVA_FUZZ_CHECK(length == before);
    }
    return 0;
}
