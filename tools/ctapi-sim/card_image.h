// Card images: the text files that tell the simulated terminals which cards to present.
//
// An image is INI-like text. '#' and ';' start a comment (to the end of the line); blank lines
// are ignored. One [terminal] section and one [card] section per card, inserted one after the
// other. Every other line is "key = value". A byte value is hexadecimal (spaces allowed,
// "90 00" or "9000") or "@path" naming a binary file, relative to the image file's folder
// unless it starts at a root directory.
//
//   [terminal]
//   init = 0            results of successive CT_init calls, comma-separated; the last repeats
//   reset = 90 00       answer to RESET CT
//   latency_ms = 0      pause before every CT_data answer
//   fail_exchange = 0   the N-th CT_data call of the process fails with -1 (0 = never)
//   rounds = 1          the cards of the image are inserted this many times over, in order
//
//   [card]
//   kind = egk          egk | kvk | other (required)
//   absent_polls = 0    REQUEST ICC answers 62 00 this many times before the card is in
//   request = 90 01     answer to REQUEST ICC (default 90 01 egk, 90 00 kvk, 6A 00 other)
//   eject_busy = 0      EJECT ICC answers 62 00 this many times, then
//   eject = 90 00       this; the card is then out and the next [card] applies
//   pin_polls = 0       the first N READ BINARY commands answer 69 00
//   max_data = 0        most data bytes in one answer (0 = as many as Le allows)
//   repeat = 1          the card is inserted this many times in a row (0: not at all)
//   latency_ms          pause before every CT_data answer while this card is the current one
//                       (default: the terminal's)
//   kvk:  data = <the whole memory image>, app_offset = 30 (decimal, or 0x1E; without it 0
//         when the image is shorter than 30 bytes, a bare template)
//   egk:  select_mf = 90 00, extended_length = yes|no, version = <rec1>, <rec2>, <rec3>,
//         gdo, status, pd | pd_xml, vd | vd_xml [gvd_xml]
//
// EF.PD built from pd_xml:  [2-byte big-endian length L][gzip member of L bytes]
// EF.VD built from vd_xml and gvd_xml:
//   [startVD][endVD][startGVD][endGVD]   four big-endian 16-bit offsets, end offsets inclusive,
//                                         FF FF FF FF for an absent GVD
//   [gzip member of the VD][gzip member of the GVD]
// A file key left out means the card has no such file. "repeat" and "rounds" together may make
// at most kMaxCards cards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orva::sim {

using ByteVector = std::vector<std::uint8_t>;

inline constexpr std::size_t kMaxCards = 10000;

struct TerminalImage {
    std::vector<std::int8_t> init{0};
    ByteVector reset{0x90, 0x00};
    unsigned latencyMs = 0;
    unsigned failExchange = 0;
    unsigned rounds = 1;
};

enum class CardKind { Egk, Kvk, Other };

struct CardImage {
    CardKind kind = CardKind::Other;
    int line = 0;  // line of the [card] header, for messages
    unsigned absentPolls = 0;
    ByteVector request;
    unsigned ejectBusy = 0;
    ByteVector eject{0x90, 0x00};
    unsigned pinPolls = 0;
    unsigned maxData = 0;
    unsigned repeat = 1;
    std::optional<unsigned> latencyMs;  // none: the terminal's

    // Memory card (kvk).
    ByteVector data;
    std::size_t appOffset = 30;

    // Processor card (egk). A file that is not there is nullopt.
    ByteVector selectMf{0x90, 0x00};
    bool extendedLength = true;
    std::vector<ByteVector> version;  // records 1.., empty when the card has no EF.Version
    std::optional<ByteVector> gdo;
    std::optional<ByteVector> status;
    std::optional<ByteVector> pd;
    std::optional<ByteVector> vd;
};

struct CardSet {
    TerminalImage terminal;
    std::vector<CardImage> cards;  // in the order of insertion, "repeat" and "rounds" applied
};

// Reads and checks an image file. On failure returns nullopt and sets error to one line:
// "<file>:<line>: <what is wrong>" (line 0 when the file itself cannot be read).
[[nodiscard]] std::optional<CardSet> LoadCardImage(const std::filesystem::path& file,
                                                   std::string& error);

// The same for image text already in memory; @paths are relative to baseDir, and fileName is
// the name used in messages.
[[nodiscard]] std::optional<CardSet> ParseCardImage(std::string_view text,
                                                    const std::filesystem::path& baseDir,
                                                    const std::string& fileName,
                                                    std::string& error);

// One gzip member (RFC 1952) of the bytes; nullopt only when zlib fails.
[[nodiscard]] std::optional<ByteVector> GzipCompress(std::span<const std::uint8_t> bytes);

// Inflates one gzip member from the start of bytes; consumed gets the member's length.
// nullopt when the bytes do not start with a whole, valid member.
[[nodiscard]] std::optional<ByteVector> GunzipMember(std::span<const std::uint8_t> bytes,
                                                     std::size_t& consumed);

// EF.PD from the personal-data XML: 2-byte big-endian length, then the gzip member.
// nullopt when the member would not fit a 16-bit length.
[[nodiscard]] std::optional<ByteVector> BuildPersonalDataFile(std::span<const std::uint8_t> xml);

// EF.VD from the insurance-data XML and the optional protected-data XML. nullopt when an
// offset would not fit 16 bits (or reach the absent mark FF FF).
[[nodiscard]] std::optional<ByteVector> BuildInsuranceDataFile(
    std::span<const std::uint8_t> vdXml, std::optional<std::span<const std::uint8_t>> gvdXml);

// The KVK application as a terminal's READ BINARY sees it after the SELECT: the memory from
// app_offset to the end of the image. A terminal does not stop at the end of the template:
// mobile terminals write their objects 91, 92 and 93 behind it, and a blank card reads as
// whatever its erased memory holds.
[[nodiscard]] std::span<const std::uint8_t> KvkApplication(const CardImage& card);

// The built-in demo set used when no image is named: one eGK of an invented insured person
// (personal data, insurance data with protected data, status and version), then no card.
[[nodiscard]] CardSet DemoCardSet();

}  // namespace orva::sim
