// Turns the card data of a reading run into the output record.
//
// Record header, 8 bytes, both forms: 04 "OKVK" " 01".
//
// KVK form (n card data bytes kept):
//   0      8   header
//   8      n   card data bytes 0..n-1, each byte below 0x1F raised by 0xE0 (mod 256)
//   8+n    2   card data byte n, unconverted, as two upper-case hexadecimal digits
//   10+n   1   04
// n is the offset of the first 0x93 (else 0x8E) behind offset 3 plus 2, when 0x80 stands among
// the first ten bytes; otherwise 218 (incoming length up to 230) or 232 (231 and more), provided
// the data hold no zero byte before offset 218.
//
// eGK form (see ChooseRecordForm):
//   header, flattened PD.XML, flattened VD.XML, "ST>" + ST.TXT, ["\nVER>" + version],
//   ["\nICCSN>" + card serial number], 04
// The two XML files are made by the GZIP program beside the executable from PD.GZ and VD.GZ in
// the folder of the intermediate files; each text is taken up to its first zero byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "record/card_data.h"

namespace orva::record {

inline constexpr std::size_t kRecordBufferSize = 16384;

enum class RecordForm { Kvk, Egk };

// The record-form rule, the one place it is decided. A record takes the eGK form only for the
// data of an eGK branch that stored ST.TXT, PD.GZ and VD.GZ in this very run, and then only when
// the data's first two bytes, big-endian, equal their length or are FF FF: the EF.VD read leaves
// its end offset there, which it also took as the length, so an EF.VD read that stopped early
// falls to the KVK rules (and so usually to "incomplete"). A memory card's data always take the
// KVK rules, whatever they begin with: the eGK form is built from the files in the intermediate
// folder, and files an earlier card left there must never reach another card's record.
[[nodiscard]] RecordForm ChooseRecordForm(std::span<const std::uint8_t> data,
                                          const StoredEgkFiles& stored);

// Everything a record is made of.
struct RecordInput {
    std::span<const std::uint8_t> data;  // the card data
    RecordForm form;
    std::string_view tempDir;  // the folder of the intermediate files, with its separator
    std::string_view version;  // the VER line's text, or empty for none
    std::string_view iccsn;    // the ICCSN line's text, or empty for none
};

enum class ComposeResult {
    Built,     // length holds the record length
    TooShort,  // KVK data without a tagged ending and shorter than 218 bytes
    TooLong,   // the record (or a flattened text) would not fit the 16384-byte record buffer
};

// Composes the record into record (16384 bytes); on Built, length is the record length. The
// KVK rules look just past the data (the tag search up to three bytes, the untagged length up to
// the first zero byte): they see zero bytes there, as in a data buffer cleared for the run.
// The eGK form runs the GZIP program on PD.GZ and VD.GZ in tempDir and flattens PD.XML, VD.XML
// and ST.TXT from there.
[[nodiscard]] ComposeResult ComposeRecord(std::span<std::uint8_t> record, const RecordInput& input,
                                          std::size_t& length);

// The command line that decompresses <tempDir><name>.GZ into <tempDir><name>.XML with the
// GZIP program in programDir (both folders end with the directory separator). Every path is
// quoted, so spaces in either folder work; on Windows the whole line is wrapped in one more
// pair of quotes, which cmd /c strips.
std::string GzipCommandLine(const std::string& programDir, const std::string& tempDir,
                            std::string_view name);

// Runs one command line through the command interpreter (cmd on Windows, /bin/sh elsewhere)
// and waits for it; returns its exit status, or -1 when it could not be started.
using CommandRunner = std::function<int(const std::string& commandLine)>;
int RunCommand(const std::string& commandLine);

// Test seams: replace the command runner, or the folder the GZIP program is taken from
// (normally the folder of the running executable). An empty value puts the real one back.
void SetCommandRunner(CommandRunner runner);
void SetGzipDirectory(std::optional<std::string> directory);

}  // namespace orva::record
