// Record composition: the KVK form straight from the card data, the eGK form from the files of
// the eGK run (decompressed by the GZIP program, then flattened). Nothing is written outside the
// record buffer or the working buffer: a record that would not fit is refused as a whole.
#include "record/compose.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "core/byte_writer.h"
#include "core/bytes.h"
#include "core/platform.h"
#include "core/sleep.h"
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

// Removes the file; true when it is gone or was never there.
bool RemoveIfPresent(const std::string& path) {
    errno = 0;
    return std::remove(path.c_str()) == 0 || errno == ENOENT;
}

// A decompression is tried this often before its document counts as unreadable, with a pause
// between the tries. Starting the command interpreter can fail for a moment (the system refuses
// a new process for a while; a virus scanner holds a file that was just written); a corrupt
// document fails every time, and only costs the pauses.
constexpr int kDecompressionTries = 3;
constexpr unsigned kDecompressionPauseMs = 100;

// Decompresses name.GZ into name.XML in tempDir; true when the XML file holds this card's
// whole document. The file an earlier card left is removed first, and a decompression that
// fails takes its output away again: neither an earlier patient's data nor a part of this
// card's may reach the record.
bool Decompress(const std::string& programDir, const std::string& tempDir, std::string_view name) {
    const std::string xml = tempDir + std::string(name) + ".XML";
    const std::string commandLine = GzipCommandLine(programDir, tempDir, name);
    for (int tries = 1;; ++tries) {
        if (RemoveIfPresent(xml) && Run(commandLine) == 0) {
            return true;
        }
        if (tries == kDecompressionTries) {
            break;
        }
        core::SleepMs(kDecompressionPauseMs);
    }
    (void)RemoveIfPresent(xml);
    return false;
}

// Flattens one file into the working buffer and appends its text up to the first zero byte.
bool AppendFlattened(core::ByteWriter& writer, const std::string& path,
                     std::span<std::uint8_t> work) {
    const auto written = FlattenFile(path, work);
    if (!written) {
        return false;
    }
    const std::size_t length = core::FindByte(work, 0, *written).value_or(*written);
    return writer.Append(work.first(length));
}

ComposeResult ComposeEgk(std::span<std::uint8_t> record, const RecordInput& input,
                         std::span<std::uint8_t> work, std::size_t& length) {
    const std::string tempDir(input.tempDir);
    const std::string programDir = GzipDirectory();
    const bool pd = Decompress(programDir, tempDir, "PD");
    const bool vd = Decompress(programDir, tempDir, "VD");

    core::ByteWriter writer(record);
    writer.Append(kHeader);
    const struct {
        const char* file;
        bool present;
    } texts[] = {{"PD.XML", pd}, {"VD.XML", vd}, {"ST.TXT", true}};
    for (const auto& text : texts) {
        const std::string path = tempDir + text.file;
        if (!text.present) {
            // What the record holds for a file that cannot be read: its prefix alone.
            ReportUnreadable(path);
            writer.Append(std::string_view(text.file, 2));
            writer.Append(">");
        } else if (!AppendFlattened(writer, path, work)) {
            return ComposeResult::TooLong;
        }
    }
    if (!input.version.empty()) {
        writer.Append("\nVER>");
        writer.Append(input.version);
    }
    if (!input.iccsn.empty()) {
        writer.Append("\nICCSN>");
        writer.Append(input.iccsn);
    }
    writer.Append(kTrailer);
    if (!writer.Fits()) {
        return ComposeResult::TooLong;
    }
    length = writer.Length();
    return ComposeResult::Built;
}

// data: the card data followed by zero bytes to the end of the working buffer.
ComposeResult ComposeKvk(std::span<std::uint8_t> record, std::span<std::uint8_t> data,
                         std::size_t dataLength, std::size_t& length) {
    std::size_t n = 0;
    const bool named = core::FindByte(data, kTagName, kTagNameWindow).has_value();
    const auto window =
        data.size() > kTagWindowStart ? data.subspan(kTagWindowStart) : std::span<std::uint8_t>();
    const auto terminal = core::FindByte(window, kTagTerminal, dataLength);
    const auto checksum = core::FindByte(window, kTagChecksum, dataLength);
    if (named && terminal) {
        n = kTagWindowStart + *terminal + 2;
    } else if (named && checksum) {
        n = kTagWindowStart + *checksum + 2;
    } else {
        const std::size_t textLength = core::FindByte(data, 0, data.size()).value_or(data.size());
        if (textLength < kUntaggedMinimum) {
            return ComposeResult::TooShort;
        }
        n = dataLength <= kUntaggedShortLimit ? kUntaggedShort : kUntaggedLong;
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
    core::ByteWriter writer(record);
    writer.Append(kHeader);
    writer.Append(data.first(n));
    const std::uint8_t last = data[n];
    const char hex[2] = {kDigits[last >> 4], kDigits[last & 0x0F]};
    writer.Append(std::string_view(hex, 2));
    writer.Append(kTrailer);
    length = writer.Length();
    return ComposeResult::Built;
}

#ifdef _WIN32
std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}
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

RecordForm ChooseRecordForm(std::span<const std::uint8_t> data, const StoredEgkFiles& stored) {
    if (!stored.All() || data.size() < 2) {
        return RecordForm::Kvk;
    }
    const std::size_t head = data[0] * 256u + data[1];
    return head == data.size() || (data[0] == 0xFF && data[1] == 0xFF) ? RecordForm::Egk
                                                                       : RecordForm::Kvk;
}

ComposeResult ComposeRecord(std::span<std::uint8_t> record, const RecordInput& input,
                            std::size_t& length) {
    // The working buffer: the card data, zero bytes behind them. The KVK form converts bytes in
    // it, the eGK form flattens each document into it in turn.
    if (input.data.size() > core::kDataBufferSize) {
        return ComposeResult::TooLong;
    }
    std::vector<std::uint8_t> work(core::kDataBufferSize, 0);
    std::copy(input.data.begin(), input.data.end(), work.begin());
    if (input.form == RecordForm::Egk) {
        return ComposeEgk(record, input, work, length);
    }
    return ComposeKvk(record, work, input.data.size(), length);
}

std::string GzipCommandLine(const std::string& programDir, const std::string& tempDir,
                            std::string_view name) {
    const std::string n(name);
    std::string line = Quoted(programDir + "GZIP") + " -dc " + Quoted(tempDir + n + ".GZ") + " > " +
                       Quoted(tempDir + n + ".XML");
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
