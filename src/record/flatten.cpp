// The flattening scan. Every search stays within the bytes read from the file, and every write
// checks the room left in the output and in the path; what does not fit makes the whole result
// void rather than cut (a cut record would look valid to the practice program).
#include "record/flatten.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "core/byte_writer.h"
#include "core/ui.h"

namespace orva::record {

namespace {

using Text = std::vector<std::uint8_t>;

constexpr std::string_view kLand = "<Land/>";
constexpr std::string_view kCdmVersion = "CDM_VERSION=";
constexpr std::string_view kProtectedRoot = "GeschuetzteVersichertendaten";
constexpr std::size_t kVersionOffset = 13;  // behind "CDM_VERSION=" and the opening quote
constexpr std::size_t kVersionLength = 5;
constexpr std::size_t kPrefixColonWindow = 40;
constexpr std::size_t kPrefixCloseWindow = 300;

// Position of the first occurrence of what in text[from, end), or none.
std::optional<std::size_t> Find(const Text& text, std::string_view what, std::size_t from = 0,
                                std::size_t end = SIZE_MAX) {
    end = std::min(end, text.size());
    if (what.empty() || from >= end || end - from < what.size()) {
        return std::nullopt;
    }
    for (std::size_t i = from; i + what.size() <= end; ++i) {
        if (std::equal(what.begin(), what.end(), text.begin() + static_cast<std::ptrdiff_t>(i),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
            return i;
        }
    }
    return std::nullopt;
}

// Whether the bytes at pos are what (false when the text ends before).
bool At(const Text& text, std::size_t pos, std::string_view what) {
    return pos <= text.size() && text.size() - pos >= what.size() &&
           Find(text, what, pos, pos + what.size()) == pos;
}

// The byte at pos, or 0 past the end.
std::uint8_t ByteAt(const Text& text, std::size_t pos) {
    return pos < text.size() ? text[pos] : 0;
}

// The flattened text in the caller's buffer, with room kept for its terminating zero.
class Output {
  public:
    explicit Output(std::span<std::uint8_t> out) : out_(out), writer_(out, 1) {}

    bool Append(std::span<const std::uint8_t> bytes) { return writer_.Append(bytes); }
    bool Append(std::string_view text) { return writer_.Append(text); }
    void End() { out_[writer_.Length()] = 0; }
    // Back to the prefix alone, ended.
    void Void(std::size_t prefixLength) {
        writer_.Truncate(prefixLength);
        End();
    }

    std::size_t Length() const { return writer_.Length(); }
    bool Fits() const { return writer_.Fits(); }

  private:
    std::span<std::uint8_t> out_;
    core::ByteWriter writer_;
};

// The forward scan over an XML text. Positions are indices into the text; the mark of the last
// ">" is signed because a ">" at position 0 sets it to -1.
class Scan {
  public:
    Scan(const Text& text, Output& out) : text_(text), out_(out) {}

    // False when a line or a path entry did not fit.
    bool Run() {
        std::size_t p = 0;
        while (p < text_.size() && ok_) {
            if (text_[p] == '>') {
                lastClose_ = static_cast<std::ptrdiff_t>(p) - 1;
                ++p;
            } else if (text_[p] == '<') {
                p = Tag(p);
            } else {
                ++p;
            }
        }
        return ok_ && out_.Fits();
    }

  private:
    // Handles the tag whose "<" stands at p; returns where the scan goes on.
    std::size_t Tag(std::size_t p) {
        if (ByteAt(text_, p + 1) != '/') {
            const auto colon = Find(text_, ":", p, p + kPrefixColonWindow);
            const auto close = NextClose(p);
            if (colon && close && *close < p + kPrefixCloseWindow && *colon < *close) {
                p = *colon;
            }
        }
        const std::uint8_t next = ByteAt(text_, p + 1);
        if (next == '/') {
            return ClosingTag(p);
        }
        if (next == '?') {
            return ProcessingInstruction(p);
        }
        if (next == 'U' && At(text_, p + 2, "C_")) {
            return RootTag(p, p + 4);
        }
        if (next == 'U' || next == 'V') {
            if (At(text_, p + 1, "VSD:UC_")) {
                return RootTag(p, p + 8);
            }
            if (At(text_, p + 1, "VSD:")) {
                p += 4;
            }
        }
        return OpeningTag(p);
    }

    std::size_t ClosingTag(std::size_t p) {
        if (valueStart_ != 0 && lastClose_ > static_cast<std::ptrdiff_t>(nameStart_)) {
            const std::size_t end = std::max(p, valueStart_);
            ok_ = out_.Append(path_) &&
                  out_.Append(std::span(text_).subspan(valueStart_, end - valueStart_)) &&
                  out_.Append("\n");
            valueStart_ = 0;
        }
        if (valueStart_ == 0 && !path_.empty()) {
            path_.pop_back();
            while (!path_.empty() && path_.back() != '>') {
                path_.pop_back();
            }
        }
        nameStart_ = 0;
        valueStart_ = 0;
        return p + 1;
    }

    std::size_t ProcessingInstruction(std::size_t p) {
        nameStart_ = 0;
        valueStart_ = 0;
        const auto close = NextClose(p);
        return close ? *close + 1 : p + 1;
    }

    // A root element "UC_..." (name behind "UC_" at nameRest): left out of the path; the root
    // of the protected data marks its start in the output.
    std::size_t RootTag(std::size_t p, std::size_t nameRest) {
        if (At(text_, nameRest, kProtectedRoot) && out_.Length() > 3) {
            ok_ = out_.Append("GD>");
        }
        return p + 1;
    }

    std::size_t OpeningTag(std::size_t p) {
        const auto close = NextClose(p);
        if (!close) {
            return p + 1;
        }
        nameStart_ = p + 1;
        lastClose_ = static_cast<std::ptrdiff_t>(*close) - 1;
        valueStart_ = *close + 1;
        const std::size_t entryLength = *close + 1 - nameStart_;
        if (path_.size() + entryLength > kFlattenPathLimit) {
            ok_ = false;
            return *close + 1;
        }
        path_.append(text_.begin() + static_cast<std::ptrdiff_t>(nameStart_),
                     text_.begin() + static_cast<std::ptrdiff_t>(*close) + 1);
        return *close + 1;
    }

    // The first ">" at or after p. One search answers for every position from where it started
    // up to the ">" it found (or to the end when there is none), since no ">" lies between; so a
    // text of many "<" without a ">" is scanned once, not once for each "<".
    std::optional<std::size_t> NextClose(std::size_t p) {
        if (!closeSearched_ || p < closeSearchFrom_ || (close_ && p > *close_)) {
            close_ = Find(text_, ">", p);
            closeSearchFrom_ = p;
            closeSearched_ = true;
        }
        return close_;
    }

    const Text& text_;
    Output& out_;
    bool closeSearched_ = false;
    std::size_t closeSearchFrom_ = 0;
    std::optional<std::size_t> close_;
    std::string path_;
    std::size_t nameStart_ = 0;
    std::ptrdiff_t lastClose_ = 0;
    std::size_t valueStart_ = 0;
    bool ok_ = true;
};

std::optional<Text> ReadHead(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    Text text(kFlattenInputLimit);
    const std::size_t n = std::fread(text.data(), 1, text.size(), file);
    std::fclose(file);
    text.resize(n);
    return text;
}

}  // namespace

void ReportUnreadable(const std::string& path) {
    core::GetUi().ShowMessage(
        {.caption = "Fehler", .text = "Datei " + path + " kann nicht gelesen werden!"});
}

std::optional<std::size_t> FlattenFile(const std::string& path, std::span<std::uint8_t> out) {
    Output output(out);
    if (out.empty()) {
        return std::nullopt;
    }
    std::string prefix = "__>";  // a name too short to carry the two letters
    if (path.size() >= 6) {
        prefix[0] = path[path.size() - 6];
        prefix[1] = path[path.size() - 5];
    }
    if (!output.Append(prefix)) {
        output.Void(0);
        return std::nullopt;
    }

    auto text = ReadHead(path);
    if (!text) {
        ReportUnreadable(path);
        output.End();
        return output.Length();
    }

    if (prefix == "ST>") {
        if (!output.Append(*text)) {
            output.Void(prefix.size());
            return std::nullopt;
        }
        output.End();
        return output.Length();
    }

    if (const auto land = Find(*text, kLand)) {
        text->erase(text->begin() + static_cast<std::ptrdiff_t>(*land),
                    text->begin() + static_cast<std::ptrdiff_t>(*land + kLand.size()));
    }

    if (const auto version = Find(*text, kCdmVersion)) {
        const std::size_t from = std::min(*version + kVersionOffset, text->size());
        const std::size_t to = std::min(from + kVersionLength, text->size());
        output.Append("CDM_VERSION>");
        output.Append(std::span(*text).subspan(from, to - from));
        output.Append("\n");
    }

    if (!Scan(*text, output).Run()) {
        output.Void(prefix.size());
        return std::nullopt;
    }
    output.End();
    return output.Length();
}

}  // namespace orva::record
