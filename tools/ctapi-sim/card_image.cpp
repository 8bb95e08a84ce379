// Reading card images (format in card_image.h) and building the compressed eGK files.
//
// The image is read in two passes per section: its lines are collected first and checked when
// the section ends, so that "kind" may stand anywhere in a [card] section and the defaults that
// depend on it apply. Every error names the file and the line it was found on.
#include "card_image.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>

namespace orva::sim {
namespace {

constexpr std::size_t kVdHeaderSize = 8;
constexpr unsigned kAbsentOffset = 0xFFFF;

struct Entry {
    std::string key;
    std::string value;
    int line = 0;
};

struct Section {
    std::string name;
    int line = 0;
    std::vector<Entry> entries;
};

std::string Trim(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return text;
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(Trim(std::string_view(text).substr(start, comma - start)));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

// Larger files are no card data (every eGK file offset is 16 bits); refusing them also keeps a
// device such as /dev/zero from filling the memory.
constexpr std::size_t kFileLimit = 16u << 20;

// The whole file, or nullopt when it cannot be opened or read: a folder, a device that fails, a
// file larger than kFileLimit. Plain C file functions, so that no stream exception can arise.
std::optional<ByteVector> ReadWholeFile(const std::filesystem::path& path) {
#ifdef _WIN32
    std::FILE* file = _wfopen(path.c_str(), L"rb");
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
    if (file == nullptr) {
        return std::nullopt;
    }
    ByteVector bytes;
    std::array<std::uint8_t, 65536> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), file)) > 0 &&
           bytes.size() + n <= kFileLimit) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const bool ok = std::ferror(file) == 0 && std::feof(file) != 0;
    std::fclose(file);
    if (!ok) {
        return std::nullopt;
    }
    return bytes;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Checks one section after another and collects the result. Errors end the reading at once.
class Reader {
  public:
    Reader(const std::filesystem::path& baseDir, const std::string& fileName)
        : baseDir_(baseDir), fileName_(fileName) {}

    std::optional<CardSet> Read(std::string_view text, std::string& error) {
        std::vector<Section> sections;
        int lineNumber = 0;
        std::size_t pos = 0;
        while (pos <= text.size() && error_.empty()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            ++lineNumber;
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            if (const std::size_t comment = line.find_first_of("#;"); comment != line.npos) {
                line = line.substr(0, comment);
            }
            const std::string content = Trim(line);
            if (content.empty()) {
                continue;
            }
            if (content.front() == '[') {
                if (content.back() != ']') {
                    Fail(lineNumber, "section header without closing ']'");
                    break;
                }
                sections.push_back(
                    {Lower(Trim(std::string_view(content).substr(1, content.size() - 2))),
                     lineNumber,
                     {}});
                continue;
            }
            const std::size_t equals = content.find('=');
            if (equals == std::string::npos) {
                Fail(lineNumber, "expected 'key = value' or '[section]', got '" + content + "'");
                break;
            }
            if (sections.empty()) {
                Fail(lineNumber, "'" + content + "' stands before the first section");
                break;
            }
            Entry entry{Lower(Trim(std::string_view(content).substr(0, equals))),
                        Trim(std::string_view(content).substr(equals + 1)), lineNumber};
            if (entry.key.empty()) {
                Fail(lineNumber, "a value without a key");
                break;
            }
            sections.back().entries.push_back(std::move(entry));
        }

        CardSet set;
        bool haveTerminal = false;
        int terminalLine = 1;
        for (const Section& section : sections) {
            if (!error_.empty()) {
                break;
            }
            if (section.name == "terminal") {
                if (haveTerminal) {
                    Fail(section.line, "a second [terminal] section");
                    break;
                }
                haveTerminal = true;
                terminalLine = section.line;
                ReadTerminal(section, set.terminal);
            } else if (section.name == "card") {
                CardImage card;
                ReadCard(section, card);
                set.cards.push_back(std::move(card));
            } else {
                Fail(section.line, "unknown section [" + section.name + "]");
            }
        }
        if (error_.empty()) {
            Expand(set, terminalLine);
        }
        if (!error_.empty()) {
            error = error_;
            return std::nullopt;
        }
        return set;
    }

  private:
    // Applies "repeat" and "rounds": the list of cards in the order they go in.
    void Expand(CardSet& set, int terminalLine) {
        unsigned long long perRound = 0;
        for (const CardImage& card : set.cards) {
            perRound += card.repeat;
        }
        // perRound is below 2^45 (cards per image times a 32-bit count), so is this product
        // once perRound is within the limit.
        if (perRound > kMaxCards || perRound * set.terminal.rounds > kMaxCards) {
            Fail(terminalLine, "the image makes more than " + std::to_string(kMaxCards) +
                                   " cards (repeat and rounds)");
            return;
        }
        const unsigned long long total = perRound * set.terminal.rounds;
        std::vector<CardImage> round;
        round.reserve(static_cast<std::size_t>(perRound));
        for (const CardImage& card : set.cards) {
            round.insert(round.end(), card.repeat, card);
        }
        set.cards.clear();
        set.cards.reserve(static_cast<std::size_t>(total));
        for (unsigned r = 0; r < set.terminal.rounds; ++r) {
            set.cards.insert(set.cards.end(), round.begin(), round.end());
        }
    }

    void Fail(int line, const std::string& what) {
        if (error_.empty()) {
            error_ = fileName_ + ":" + std::to_string(line) + ": " + what;
        }
    }

    // Rejects a key given twice in one section.
    bool FirstTime(std::set<std::string>& seen, const Entry& entry) {
        if (!seen.insert(entry.key).second) {
            Fail(entry.line, "key '" + entry.key + "' given twice in one section");
            return false;
        }
        return true;
    }

    std::optional<ByteVector> Bytes(const Entry& entry, const std::string& value) {
        if (!value.empty() && value.front() == '@') {
            const std::string name = Trim(std::string_view(value).substr(1));
            // A path from a root directory stays as it is (on Windows "\\x" is on the current
            // drive, not on the image's).
            const std::filesystem::path given(name);
            const std::filesystem::path path =
                given.has_root_directory() ? given : baseDir_ / given;
            if (name.empty()) {
                Fail(entry.line, "'@' without a file name for key '" + entry.key + "'");
                return std::nullopt;
            }
            // The operating system would read the name only up to the zero byte.
            if (name.find('\0') != std::string::npos) {
                Fail(entry.line, "the file name for key '" + entry.key + "' holds a zero byte");
                return std::nullopt;
            }
            auto bytes = ReadWholeFile(path);
            if (!bytes) {
                Fail(entry.line,
                     "cannot read file '" + path.string() + "' for key '" + entry.key + "'");
            }
            return bytes;
        }
        ByteVector bytes;
        int high = -1;
        for (char c : value) {
            if (c == ' ' || c == '\t') {
                continue;
            }
            const int digit = HexDigit(c);
            if (digit < 0) {
                Fail(entry.line, std::string("bad hex digit '") + c + "' in the value of key '" +
                                     entry.key + "'");
                return std::nullopt;
            }
            if (high < 0) {
                high = digit;
            } else {
                bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
                high = -1;
            }
        }
        if (high >= 0) {
            Fail(entry.line, "odd number of hex digits in the value of key '" + entry.key + "'");
            return std::nullopt;
        }
        return bytes;
    }

    std::optional<ByteVector> Bytes(const Entry& entry) { return Bytes(entry, entry.value); }

    std::optional<unsigned> Count(const Entry& entry) {
        const std::string& v = entry.value;
        unsigned long long value = 0;
        bool ok = !v.empty();
        const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
        for (std::size_t i = hex ? 2 : 0; ok && i < v.size(); ++i) {
            const int digit =
                hex ? HexDigit(v[i])
                    : (std::isdigit(static_cast<unsigned char>(v[i])) ? v[i] - '0' : -1);
            ok = digit >= 0;
            value = value * (hex ? 16u : 10u) + static_cast<unsigned>(digit < 0 ? 0 : digit);
            ok = ok && value <= std::numeric_limits<unsigned>::max();
        }
        if (!ok) {
            Fail(entry.line, "key '" + entry.key + "' needs a whole number, got '" + v + "'");
            return std::nullopt;
        }
        return static_cast<unsigned>(value);
    }

    void ReadTerminal(const Section& section, TerminalImage& terminal) {
        std::set<std::string> seen;
        for (const Entry& entry : section.entries) {
            if (!FirstTime(seen, entry)) {
                return;
            }
            if (entry.key == "init") {
                terminal.init.clear();
                for (const std::string& part : SplitCommas(entry.value)) {
                    int value = 0;
                    std::istringstream in(part);
                    char extra = 0;
                    if (part.empty() || !(in >> value) || (in >> extra) || value < -128 ||
                        value > 127) {
                        Fail(entry.line,
                             "key 'init' needs results from -128 to 127, got '" + part + "'");
                        return;
                    }
                    terminal.init.push_back(static_cast<std::int8_t>(value));
                }
            } else if (entry.key == "reset") {
                auto bytes = Bytes(entry);
                if (!bytes) {
                    return;
                }
                terminal.reset = std::move(*bytes);
            } else if (entry.key == "latency_ms" || entry.key == "fail_exchange" ||
                       entry.key == "rounds") {
                auto count = Count(entry);
                if (!count) {
                    return;
                }
                if (entry.key == "latency_ms") {
                    terminal.latencyMs = *count;
                } else if (entry.key == "fail_exchange") {
                    terminal.failExchange = *count;
                } else {
                    terminal.rounds = *count;
                }
            } else {
                Fail(entry.line, "unknown key '" + entry.key + "' in [terminal]");
                return;
            }
        }
    }

    void ReadCard(const Section& section, CardImage& card) {
        static const std::set<std::string> kCommonKeys{"kind",       "absent_polls", "request",
                                                       "eject_busy", "eject",        "pin_polls",
                                                       "max_data",   "repeat",       "latency_ms"};
        static const std::set<std::string> kKvkKeys{"data", "app_offset"};
        static const std::set<std::string> kEgkKeys{
            "select_mf", "extended_length", "version", "gdo",    "status",
            "pd",        "pd_xml",          "vd",      "vd_xml", "gvd_xml"};

        card.line = section.line;
        std::set<std::string> seen;
        const Entry* kind = nullptr;
        for (const Entry& entry : section.entries) {
            if (!FirstTime(seen, entry)) {
                return;
            }
            if (!kCommonKeys.contains(entry.key) && !kKvkKeys.contains(entry.key) &&
                !kEgkKeys.contains(entry.key)) {
                Fail(entry.line, "unknown key '" + entry.key + "' in [card]");
                return;
            }
            if (entry.key == "kind") {
                kind = &entry;
            }
        }
        if (kind == nullptr) {
            Fail(section.line, "[card] section has no 'kind' (egk, kvk or other)");
            return;
        }
        const std::string kindName = Lower(kind->value);
        if (kindName == "egk") {
            card.kind = CardKind::Egk;
            card.request = {0x90, 0x01};
        } else if (kindName == "kvk") {
            card.kind = CardKind::Kvk;
            card.request = {0x90, 0x00};
        } else if (kindName == "other") {
            card.kind = CardKind::Other;
            card.request = {0x6A, 0x00};
        } else {
            Fail(kind->line, "kind must be egk, kvk or other, got '" + kind->value + "'");
            return;
        }

        const Entry* pdXml = nullptr;
        const Entry* vdXml = nullptr;
        const Entry* gvdXml = nullptr;
        bool haveAppOffset = false;
        for (const Entry& entry : section.entries) {
            const std::string& key = entry.key;
            if ((kKvkKeys.contains(key) && card.kind != CardKind::Kvk) ||
                (kEgkKeys.contains(key) && card.kind != CardKind::Egk)) {
                Fail(entry.line, "key '" + key + "' does not apply to a card of kind " + kindName);
                return;
            }
            if (key == "kind") {
                continue;
            }
            if (key == "absent_polls" || key == "eject_busy" || key == "pin_polls" ||
                key == "max_data" || key == "app_offset" || key == "repeat" ||
                key == "latency_ms") {
                auto count = Count(entry);
                if (!count) {
                    return;
                }
                if (key == "absent_polls") {
                    card.absentPolls = *count;
                } else if (key == "eject_busy") {
                    card.ejectBusy = *count;
                } else if (key == "pin_polls") {
                    card.pinPolls = *count;
                } else if (key == "max_data") {
                    card.maxData = *count;
                } else if (key == "repeat") {
                    card.repeat = *count;
                } else if (key == "latency_ms") {
                    card.latencyMs = *count;
                } else {
                    card.appOffset = *count;
                    haveAppOffset = true;
                }
            } else if (key == "extended_length") {
                const std::string v = Lower(entry.value);
                if (v == "yes" || v == "true" || v == "1") {
                    card.extendedLength = true;
                } else if (v == "no" || v == "false" || v == "0") {
                    card.extendedLength = false;
                } else {
                    Fail(entry.line,
                         "key 'extended_length' needs yes or no, got '" + entry.value + "'");
                    return;
                }
            } else if (key == "version") {
                for (const std::string& part : SplitCommas(entry.value)) {
                    auto bytes = Bytes(entry, part);
                    if (!bytes) {
                        return;
                    }
                    card.version.push_back(std::move(*bytes));
                }
            } else if (key == "pd_xml") {
                pdXml = &entry;
            } else if (key == "vd_xml") {
                vdXml = &entry;
            } else if (key == "gvd_xml") {
                gvdXml = &entry;
            } else {
                auto bytes = Bytes(entry);
                if (!bytes) {
                    return;
                }
                if (key == "request") {
                    card.request = std::move(*bytes);
                } else if (key == "eject") {
                    card.eject = std::move(*bytes);
                } else if (key == "data") {
                    card.data = std::move(*bytes);
                } else if (key == "select_mf") {
                    card.selectMf = std::move(*bytes);
                } else if (key == "gdo") {
                    card.gdo = std::move(*bytes);
                } else if (key == "status") {
                    card.status = std::move(*bytes);
                } else if (key == "pd") {
                    card.pd = std::move(*bytes);
                } else if (key == "vd") {
                    card.vd = std::move(*bytes);
                }
            }
        }

        if (haveAppOffset && card.appOffset > card.data.size()) {
            Fail(section.line, "app_offset " + std::to_string(card.appOffset) +
                                   " lies beyond the memory image of " +
                                   std::to_string(card.data.size()) + " bytes");
            return;
        }
        if (!haveAppOffset && card.kind == CardKind::Kvk && card.data.size() < card.appOffset) {
            card.appOffset = 0;  // a bare template without header and directory
        }
        if (pdXml != nullptr) {
            if (card.pd) {
                Fail(pdXml->line, "give either 'pd' or 'pd_xml', not both");
                return;
            }
            auto xml = Bytes(*pdXml);
            if (!xml) {
                return;
            }
            card.pd = BuildPersonalDataFile(*xml);
            if (!card.pd) {
                Fail(pdXml->line, "the compressed personal data do not fit EF.PD");
                return;
            }
        }
        if (gvdXml != nullptr && vdXml == nullptr) {
            Fail(gvdXml->line, "'gvd_xml' needs 'vd_xml'");
            return;
        }
        if (vdXml != nullptr) {
            if (card.vd) {
                Fail(vdXml->line, "give either 'vd' or 'vd_xml', not both");
                return;
            }
            auto vd = Bytes(*vdXml);
            if (!vd) {
                return;
            }
            std::optional<ByteVector> gvd;
            if (gvdXml != nullptr) {
                gvd = Bytes(*gvdXml);
                if (!gvd) {
                    return;
                }
            }
            card.vd = gvd ? BuildInsuranceDataFile(*vd, std::span<const std::uint8_t>(*gvd))
                          : BuildInsuranceDataFile(*vd, std::nullopt);
            if (!card.vd) {
                Fail(vdXml->line, "the compressed insurance data do not fit EF.VD");
                return;
            }
        }
    }

    std::filesystem::path baseDir_;
    std::string fileName_;
    std::string error_;
};

void PutBigEndian16(ByteVector& out, std::size_t at, std::size_t value) {
    out[at] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

std::optional<CardSet> ParseCardImage(std::string_view text, const std::filesystem::path& baseDir,
                                      const std::string& fileName, std::string& error) {
    Reader reader(baseDir, fileName);
    return reader.Read(text, error);
}

std::optional<CardSet> LoadCardImage(const std::filesystem::path& file, std::string& error) {
    const auto bytes = ReadWholeFile(file);
    if (!bytes) {
        error = file.string() + ": cannot read the card image file";
        return std::nullopt;
    }
    const std::string text(bytes->begin(), bytes->end());
    return ParseCardImage(text, file.parent_path(), file.string(), error);
}

std::optional<ByteVector> GzipCompress(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > std::numeric_limits<uInt>::max() / 2) {
        return std::nullopt;
    }
    z_stream stream{};
    // windowBits 15 + 16: a gzip wrapper. The header carries no time and the "unknown" system,
    // so the same text gives the same bytes on every platform.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return std::nullopt;
    }
    gz_header header{};
    header.os = 255;
    deflateSetHeader(&stream, &header);
    ByteVector out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 64);
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const std::size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return std::nullopt;
    }
    out.resize(produced);
    return out;
}

std::optional<ByteVector> GunzipMember(std::span<const std::uint8_t> bytes, std::size_t& consumed) {
    consumed = 0;
    if (bytes.size() > std::numeric_limits<uInt>::max()) {
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        return std::nullopt;
    }
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    ByteVector out;
    std::array<std::uint8_t, 4096> chunk{};
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        result = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.end() - stream.avail_out);
        if (result == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) {
            result = Z_DATA_ERROR;  // the member ends before its trailer
        }
    }
    consumed = bytes.size() - stream.avail_in;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        consumed = 0;
        return std::nullopt;
    }
    return out;
}

std::optional<ByteVector> BuildPersonalDataFile(std::span<const std::uint8_t> xml) {
    auto member = GzipCompress(xml);
    if (!member || member->size() > 0xFFFF) {
        return std::nullopt;
    }
    ByteVector file(2);
    PutBigEndian16(file, 0, member->size());
    file.insert(file.end(), member->begin(), member->end());
    return file;
}

std::optional<ByteVector> BuildInsuranceDataFile(
    std::span<const std::uint8_t> vdXml, std::optional<std::span<const std::uint8_t>> gvdXml) {
    auto vd = GzipCompress(vdXml);
    if (!vd) {
        return std::nullopt;
    }
    std::optional<ByteVector> gvd;
    if (gvdXml) {
        gvd = GzipCompress(*gvdXml);
        if (!gvd) {
            return std::nullopt;
        }
    }
    ByteVector file(kVdHeaderSize);
    const std::size_t endVd = kVdHeaderSize + vd->size() - 1;
    std::size_t startGvd = kAbsentOffset;
    std::size_t endGvd = kAbsentOffset;
    if (gvd) {
        startGvd = endVd + 1;
        endGvd = startGvd + gvd->size() - 1;
    }
    if (endVd >= kAbsentOffset || (gvd && endGvd >= kAbsentOffset)) {
        return std::nullopt;
    }
    PutBigEndian16(file, 0, kVdHeaderSize);
    PutBigEndian16(file, 2, endVd);
    PutBigEndian16(file, 4, startGvd);
    PutBigEndian16(file, 6, endGvd);
    file.insert(file.end(), vd->begin(), vd->end());
    if (gvd) {
        file.insert(file.end(), gvd->begin(), gvd->end());
    }
    return file;
}

std::span<const std::uint8_t> KvkApplication(const CardImage& card) {
    const std::span<const std::uint8_t> memory(card.data);
    return memory.subspan(std::min(card.appOffset, memory.size()));
}

}  // namespace orva::sim
