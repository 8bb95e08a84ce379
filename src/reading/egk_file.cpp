// Reading one eGK file in chunks.
//
// What is read and how it is stored (the run's data buffer; "held" counts the file
// bytes in it, status words excluded, and is the number of bytes stored):
//   row 19  EF.GDO         GDO.TXT  response bytes 0-11 as 24 hex digits (also the ICCSN string)
//   row 15  EF.Version     VER.TXT  bytes 0-4 of records 1, 2, 3 (rows 15, 16, 17) as 30 hex digits
//                                   (also the version string)
//   row 13  EF.StatusVD    ST.TXT   first byte not A0: bytes 0-14 as they are, bytes 15-24 as 20 hex
//                                   digits (35 bytes);
//                                   first byte A0 (a mobile terminal's buffer): bytes 2-16 as they
//                                   are, bytes 17-26 as 20 hex digits, then bytes 27 on without the
//                                   last two data bytes (lenr + 4 bytes)
//   row 10  EF.PD          PD.GZ    bytes 0-1: big-endian count of the gzip bytes from byte 2 on
//   row 11  EF.VD          VD.GZ    read from file offset 6: bytes 6-7 are the end offset (FFFF:
//                                   take bytes 2-3); stored from file offset 8
// The text forms are placed at data buffer offset 2; rows 10 and 11 put the file bytes from the
// start offset on at offset 0, so the stored bytes begin at offset 2 for every row.
//
// Follow-up chunks (rows 10 and 11 only) go to file offset startOffset + held: up to 255 with the
// row's short-file-identifier P1 and the offset in P2, above that as P1 P2 = the 15-bit offset of
// the file the first read made current. A first answer ending in 67 00 switches rows 10 and 11
// to the short Le for the rest of the terminal session (the process) and the row is sent once
// more.
//
// held is the length of the card data in the run's buffer: after EF.VD, the record form is told by
// the data buffer's first two bytes and this length.
//
// Nothing is copied outside the 10000-byte response buffer or the 16384-byte data buffer: a file
// that would not fit counts as not read.
#include "reading/egk_file.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "core/bytes.h"
#include "core/state.h"
#include "core/ui.h"
#include "record/delivery.h"
#include "terminal/command_table.h"
#include "terminal/format.h"

namespace orva::reading {

namespace {

using terminal::Response;

constexpr int kStatusFormA0 = 0xA0;
constexpr int kTextOffset = 2;          // where the stored bytes begin in the data buffer
constexpr std::size_t kStatusPlain = 15;  // status byte and timestamp, stored as they are
constexpr std::size_t kStatusHex = 10;    // schema versions, stored as hex digits
constexpr std::size_t kStatusTextSize = kStatusPlain + 2 * kStatusHex;  // 35
constexpr std::size_t kMaxOffsetInP2 = 255;

// The response length as far as it lies inside the buffer.
std::size_t Length(std::uint16_t lenr, const Response& response) {
    return std::min<std::size_t>(lenr, response.size());
}

// Whether the latest answer ends with one of the status words that stop the follow-up reads.
bool EndsWithStop(const Response& response, std::size_t length) {
    return core::EndsWith(response, length, core::kSw6282) ||
           core::EndsWith(response, length, core::kSw6B00) ||
           core::EndsWith(response, length, core::kSw6A00);
}

void PutText(std::span<std::uint8_t> data, std::size_t at, const std::string& text) {
    std::memcpy(data.data() + at, text.data(), text.size());
}

std::string Hex(const Response& response, std::size_t from, std::size_t count) {
    return terminal::HexString(std::span(response).subspan(from), static_cast<std::uint16_t>(count));
}

// The status data in one of their two forms; returns held (= target).
int StoreStatus(const Response& response, std::size_t length, std::span<std::uint8_t> data) {
    if (response[0] != kStatusFormA0) {
        std::memcpy(data.data() + kTextOffset, response.data(), kStatusPlain);
        PutText(data, kTextOffset + kStatusPlain, Hex(response, kStatusPlain, kStatusHex));
        return static_cast<int>(kStatusTextSize);
    }
    // A0 form: two leading bytes, the fixed part, then the appended data objects without the
    // answer's last two data bytes. Answers too short for that tail store the fixed part only.
    constexpr std::size_t kHead = 2;
    constexpr std::size_t kTailFrom = kHead + kStatusPlain + kStatusHex;  // 27
    constexpr std::size_t kLeftOut = 2 + 2;  // the last two data bytes and the status word
    std::memcpy(data.data() + kTextOffset, response.data() + kHead, kStatusPlain);
    PutText(data, kTextOffset + kStatusPlain, Hex(response, kHead + kStatusPlain, kStatusHex));
    const std::size_t tail = length > kTailFrom + kLeftOut ? length - kTailFrom - kLeftOut : 0;
    std::memcpy(data.data() + kTextOffset + kStatusTextSize, response.data() + kTailFrom, tail);
    return static_cast<int>(kStatusTextSize + tail);
}

}  // namespace

int ReadEgkFile(terminal::CtApi& ctApi, terminal::TerminalSession& session, int row, const std::string& path, int startOffset,
                Response& response, RunData& run) {
    auto& data = run.buffer;
    const std::size_t start = static_cast<std::size_t>(std::max(startOffset, 0));

    int target = 0;
    response.fill(0);
    std::uint16_t lenr = 0;

    terminal::ExecuteCommand(ctApi, terminal::RowExchange(row, session), lenr, response);
    terminal::AwaitPinEntry(ctApi, terminal::RowExchange(row, session), lenr, response);
    if (core::EndsWith(response, lenr, core::kSw6700)) {
        session.UseShortLe();
        terminal::ExecuteCommand(ctApi, terminal::RowExchange(row, session), lenr, response);
    }

    int held = 0;
    bool fits = true;
    std::size_t length = Length(lenr, response);
    if (length > start + 2) {
        switch (row) {
        case terminal::kRowReadVersion1: {
            std::string version = Hex(response, 0, 5);
            terminal::ExecuteCommand(ctApi, terminal::kRowReadVersion2, lenr, response);
            version += Hex(response, 0, 5);
            terminal::ExecuteCommand(ctApi, terminal::kRowReadVersion3, lenr, response);
            version += Hex(response, 0, 5);
            length = Length(lenr, response);
            run.version = version;
            PutText(data, kTextOffset, version);
            held = target = static_cast<int>(version.size());
            break;
        }
        case terminal::kRowReadStatus:
            held = target = StoreStatus(response, length, data);
            break;
        case terminal::kRowReadGdo: {
            run.iccsn = Hex(response, 0, 12);
            PutText(data, kTextOffset, run.iccsn);
            held = target = static_cast<int>(run.iccsn.size());
            break;
        }
        default: {
            // The whole answer fits the data buffer: it is at most 10000 bytes.
            std::memcpy(data.data(), response.data() + start, length - start);
            held = static_cast<int>(length - start - 2);
            target = response[start] * 256 + response[start + 1];
            if (target == 0xFFFF) {
                target = start == 6 ? response[2] * 256 + response[3] : held;
            }
            break;
        }
        }
    }

    core::GetUi().AppendMemo(terminal::PrintableDump(response, static_cast<std::uint16_t>(length)));
    core::GetUi().AppendMemo("");

    while (target - startOffset > held && !EndsWithStop(response, length)) {
        const int offset = startOffset + held;
        const terminal::Exchange first = terminal::RowExchange(row, session);
        const auto p2 = static_cast<std::uint8_t>(offset % 256);
        terminal::ExecuteCommand(
            ctApi,
            static_cast<std::size_t>(offset) > kMaxOffsetInP2
                ? first.AtOffset(static_cast<std::uint8_t>(offset / 256), p2)
                : first.AtOffset(p2),
            lenr, response);

        length = Length(lenr, response);
        if (length <= 2) {
            break;  // an answer without data would ask for the same chunk for ever
        }
        const std::size_t at = static_cast<std::size_t>(held);
        if (at + length > data.size()) {
            fits = false;
            break;
        }
        std::memcpy(data.data() + at, response.data(), length);
        held += static_cast<int>(length - 2);
    }

    if (held > target) {
        held = target;
    }
    if (held < target && held >= target - startOffset) {
        held = target;
    }
    if (static_cast<std::size_t>(held) + kTextOffset > data.size()) {
        fits = false;
    }
    if (!fits) {
        held = 0;
    }
    run.length = static_cast<std::size_t>(held);
    (void)record::WriteWholeFile(
        path, std::span<const std::uint8_t>(data.data() + kTextOffset, static_cast<std::size_t>(held)));
    return held;
}

}  // namespace orva::reading
