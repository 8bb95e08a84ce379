// Helpers of the record tests: writing a small file into a temporary folder and flattening it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "record/flatten.h"
#include "support/test_support.h"

namespace orva::test {

inline std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Writes text as the file name in folder and flattens it with a data-buffer-sized output;
// returns the text up to the first zero byte, or "<none>" when FlattenFile refused it.
inline std::string FlattenText(const TempFolder& folder, const std::string& name,
                               const std::string& text) {
    const auto path = folder.Path() / name;
    WriteFileBytes(path, Bytes(text));
    std::vector<std::uint8_t> out(16384, 0xAA);
    const auto length = record::FlattenFile(path.string(), out);
    if (!length) {
        return "<none>";
    }
    std::string result;
    for (std::size_t i = 0; i < out.size() && out[i] != 0; ++i) {
        result.push_back(static_cast<char>(out[i]));
    }
    return result;
}

}  // namespace orva::test
