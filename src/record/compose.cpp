// Record composition: the KVK form straight from the card data, the eGK form from the files of
// the eGK run (decompressed by the GZIP program, then flattened). Nothing is written outside the
// record buffer or the working buffer: a record that would not fit is refused as a whole.
#include "record/compose.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "core/bytes.h"
#include "core/platform.h"
#include "core/state.h"
#include "record/flatten.h"

namespace orva::record {

namespace {

constexpr std::array<std::uint8_t, 8> kHeader = {0x04, 'O', 'K', 'V', 'K', ' ', '0', '1'};
constexpr std::uint8_t kTrailer = 0x04;

constexpr std::uint8_t kTagName = 0x80;      // first tag of the insurance template
constexpr std::uint8_t kTagChecksum = 0x8E;  // check sum: the end of the card template
constexpr std::uint8_t kTagTerminal = 0x93;  // check value appended by mobile terminals
constexpr std::size_t kTagNameWindow = 10;
constexpr std::size_t kTagWindowStart = 4;
constexpr std::size_t kUntaggedMinimum = 218;
constexpr std::size_t kUntaggedShort = 218;
constexpr std::size_t kUntaggedLong = 232;
constexpr std::size_t kUntaggedShortLimit = 230;

std::mutex gSeamMutex;
CommandRunner gRunner;
std::optional<std::string> gGzipDirectory;

int Run(const std::string& commandLine) {
    CommandRunner runner;
    {
        std::lock_guard lock(gSeamMutex);
        runner = gRunner;
    }
    return runner ? runner(commandLine) : RunCommand(commandLine);
}

std::string GzipDirectory() {
    std::lock_guard lock(gSeamMutex);
    return gGzipDirectory ? *gGzipDirectory : core::ProgramDirectory();
}

// Appends to the record buffer, refusing what does not fit.
class RecordWriter {
public:
    explicit RecordWriter(std::span<std::uint8_t> record) : record_(record) {}

    bool Append(std::span<const std::uint8_t> bytes) {
        if (!fits_ || record_.size() - length_ < bytes.size()) {
            fits_ = false;
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), record_.begin() + static_cast<std::ptrdiff_t>(length_));
        length_ += bytes.size();
        return true;
    }
    bool Append(std::string_view text) {
        return Append({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }

    std::size_t Length() const { return length_; }
    bool Fits() const { return fits_; }

private:
    std::span<std::uint8_t> record_;
    std::size_t length_ = 0;
    bool fits_ = true;
};

// Flattens one file into the working buffer and appends its text up to the first zero byte.
bool AppendFlattened(RecordWriter& writer, const std::string& path, std::span<std::uint8_t> work) {
    const auto written = FlattenFile(path, work);
    if (!written) {
        return false;
    }
    const std::size_t length = core::FindByte(work, 0, *written).value_or(*written);
    return writer.Append(work.first(length));
}

ComposeResult ComposeEgk(std::span<std::uint8_t> record, std::span<std::uint8_t> data,
                         std::size_t& length) {
    const std::string& tempDir = core::Options().tempDir;
    const std::string programDir = GzipDirectory();
    Run(GzipCommandLine(programDir, tempDir, "PD"));
    Run(GzipCommandLine(programDir, tempDir, "VD"));

    RecordWriter writer(record);
    writer.Append(kHeader);
    for (const char* file : {"PD.XML", "VD.XML", "ST.TXT"}) {
        if (!AppendFlattened(writer, tempDir + file, data)) {
            return ComposeResult::TooLong;
        }
    }
    const core::ReaderState& reader = core::Reader();
    if (!reader.version.empty()) {
        writer.Append("\nVER>");
        writer.Append(reader.version);
    }
    if (!reader.iccsn.empty()) {
        writer.Append("\nICCSN>");
        writer.Append(reader.iccsn);
    }
    writer.Append(std::span(&kTrailer, 1));
    if (!writer.Fits()) {
        return ComposeResult::TooLong;
    }
    length = writer.Length();
    return ComposeResult::Built;
}

ComposeResult ComposeKvk(std::span<std::uint8_t> record, std::span<std::uint8_t> data,
                         std::size_t& length) {
    std::size_t n = 0;
    const bool named = core::FindByte(data, kTagName, kTagNameWindow).has_value();
    const auto window = data.size() > kTagWindowStart ? data.subspan(kTagWindowStart)
                                                      : std::span<std::uint8_t>();
    const auto terminal = core::FindByte(window, kTagTerminal, length);
    const auto checksum = core::FindByte(window, kTagChecksum, length);
    if (named && terminal) {
        n = kTagWindowStart + *terminal + 2;
    } else if (named && checksum) {
        n = kTagWindowStart + *checksum + 2;
    } else {
        const std::size_t textLength = core::FindByte(data, 0, data.size()).value_or(data.size());
        if (textLength < kUntaggedMinimum) {
            return ComposeResult::TooShort;
        }
        n = length <= kUntaggedShortLimit ? kUntaggedShort : kUntaggedLong;
    }
    // Byte n is sent as two digits, so it must lie in the buffer too.
    if (n >= data.size() || n + 11 > record.size()) {
        return ComposeResult::TooLong;
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (data[i] < 0x1F) {
            data[i] = static_cast<std::uint8_t>(data[i] + 0xE0);
        }
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    RecordWriter writer(record);
    writer.Append(kHeader);
    writer.Append(data.first(n));
    const std::uint8_t last = data[n];
    const char hex[2] = {kDigits[last >> 4], kDigits[last & 0x0F]};
    writer.Append(std::string_view(hex, 2));
    writer.Append(std::span(&kTrailer, 1));
    length = writer.Length();
    return ComposeResult::Built;
}

#ifdef _WIN32
std::string Quoted(const std::string& path) { return "\"" + path + "\""; }
#else
// Single quotes keep every byte literal for /bin/sh; a single quote itself is closed, escaped
// and reopened.
std::string Quoted(const std::string& path) {
    std::string out = "'";
    for (const char c : path) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}
#endif

}  // namespace

ComposeResult ComposeRecord(std::span<std::uint8_t> record, std::span<std::uint8_t> data,
                            std::size_t& length, DataOrigin origin) {
    if (length > data.size() || data.size() < 2) {
        return ComposeResult::TooLong;
    }
    // After the eGK branch the data buffer holds what the EF.VD read left there: its first two
    // bytes are the end offset that was also taken as the length, or FF FF. When they are not
    // (the read stopped early), the data fall to the KVK rules and so to "incomplete".
    const std::size_t head = data[0] * 256u + data[1];
    if (origin == DataOrigin::EgkBranch &&
        (head == length || (data[0] == 0xFF && data[1] == 0xFF))) {
        return ComposeEgk(record, data, length);
    }
    return ComposeKvk(record, data, length);
}

std::string GzipCommandLine(const std::string& programDir, const std::string& tempDir,
                            std::string_view name) {
    const std::string n(name);
    std::string line = Quoted(programDir + "GZIP") + " -dc " + Quoted(tempDir + n + ".GZ") +
                       " > " + Quoted(tempDir + n + ".XML");
#ifdef _WIN32
    line = "\"" + line + "\"";
#endif
    return line;
}

void SetCommandRunner(CommandRunner runner) {
    std::lock_guard lock(gSeamMutex);
    gRunner = std::move(runner);
}

void SetGzipDirectory(std::optional<std::string> directory) {
    std::lock_guard lock(gSeamMutex);
    gGzipDirectory = std::move(directory);
}

}  // namespace orva::record
