// Reading one eGK file: one chunked reader of a transparent file (EF.PD, EF.VD) and a small
// storer for each of the other pieces (version, status, serial number).
//
// What is read and how it is stored (the run's data buffer; "held" counts the file
// bytes in it, status words excluded, and is the number of bytes stored):
//   row 19  EF.GDO         GDO.TXT  response bytes 0-11 as 24 hex digits (also the ICCSN string)
//   row 15  EF.Version     VER.TXT  bytes 0-4 of records 1, 2, 3 (rows 15, 16, 17) as 30 hex digits
//                                   (also the version string)
//   row 13  EF.StatusVD    ST.TXT   first byte not A0: bytes 0-14 as they are, bytes 15-24 as 20
//   hex
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
// that would not fit counts as not read, and so does one whose reading ended short of its end. Only
// the bytes the card sent in its latest answer are taken; where a piece reaches past them, it holds
// zero bytes.
#include "reading/egk_file.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

#include "core/byte_writer.h"
#include "core/bytes.h"
#include "core/state.h"
#include "core/ui.h"
#include "record/delivery.h"
#include "terminal/command_table.h"
#include "terminal/format.h"

namespace orva::reading {

namespace {

using terminal::Response;

constexpr std::uint8_t kStatusFormA0 = 0xA0;
constexpr std::size_t kTextOffset = 2;    // where the stored bytes begin in the data buffer
constexpr std::size_t kStatusPlain = 15;  // status byte and timestamp, stored as they are
constexpr std::size_t kStatusHex = 10;    // schema versions, stored as hex digits
constexpr std::size_t kVersionBytes = 5;  // of each EF.Version record
constexpr std::size_t kSerialBytes = 12;  // of EF.GDO
constexpr std::size_t kMaxOffsetInP2 = 255;

// The bytes of the latest answer, as far as the card sent them.
core::ByteSpan Received(const Response& response, std::uint16_t lenr) {
    return core::ByteSpan(response).first(std::min<std::size_t>(lenr, response.size()));
}

// count bytes of an answer from offset from; bytes the card did not send count as zero.
std::vector<std::uint8_t> Piece(core::ByteSpan answer, std::size_t from, std::size_t count) {
    std::vector<std::uint8_t> piece(count, 0);
    for (std::size_t i = 0; i < count && from + i < answer.size(); ++i) {
        piece[i] = answer[from + i];
    }
    return piece;
}

std::string HexPiece(core::ByteSpan answer, std::size_t from, std::size_t count) {
    return terminal::HexString(Piece(answer, from, count), static_cast<std::uint16_t>(count));
}

// Whether the latest answer ends with one of the status words that stop the follow-up reads.
bool EndsWithStop(core::ByteSpan answer) {
    return core::EndsWith(answer, answer.size(), core::kSw6282) ||
           core::EndsWith(answer, answer.size(), core::kSw6B00) ||
           core::EndsWith(answer, answer.size(), core::kSw6A00);
}

// Puts a text form at the stored bytes' place in the data buffer; returns its length.
std::size_t StoreText(std::span<std::uint8_t> data, core::ByteSpan text) {
    core::ByteWriter writer(data.subspan(kTextOffset));
    return writer.Append(text) ? writer.Length() : 0;
}
std::size_t StoreText(std::span<std::uint8_t> data, std::string_view text) {
    return StoreText(
        data, core::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// EF.Version: the first five bytes of records 1, 2 and 3 as 30 hex digits. The first record's
// answer is in; the other two are read here. Leaves the third answer in the response.
std::size_t StoreVersion(terminal::CtApi& ctApi, core::ByteSpan first, Response& response,
                         std::uint16_t& lenr, RunData& run) {
    std::string version = HexPiece(first, 0, kVersionBytes);
    for (const int row : {terminal::kRowReadVersion2, terminal::kRowReadVersion3}) {
        terminal::ExecuteCommand(ctApi, row, lenr, response);
        version += HexPiece(Received(response, lenr), 0, kVersionBytes);
    }
    run.version = version;
    return StoreText(run.buffer, version);
}

// EF.GDO: the card serial number, the first twelve bytes as 24 hex digits.
std::size_t StoreSerialNumber(core::ByteSpan answer, RunData& run) {
    run.iccsn = HexPiece(answer, 0, kSerialBytes);
    return StoreText(run.buffer, run.iccsn);
}

// EF.StatusVD in one of its two forms.
std::size_t StoreStatus(core::ByteSpan answer, RunData& run) {
    // A0 form (a mobile terminal's buffer): two leading bytes, the fixed part, then the appended
    // data objects without the answer's last two data bytes. Answers too short for that tail
    // store the fixed part only.
    const bool mobile = answer[0] == kStatusFormA0;
    const std::size_t head = mobile ? 2 : 0;
    std::vector<std::uint8_t> text = Piece(answer, head, kStatusPlain);
    const std::string hex = HexPiece(answer, head + kStatusPlain, kStatusHex);
    text.insert(text.end(), hex.begin(), hex.end());
    constexpr std::size_t kTailFrom = 2 + kStatusPlain + kStatusHex;  // 27
    constexpr std::size_t kLeftOut = 2 + 2;  // the last two data bytes and the status word
    if (mobile && answer.size() > kTailFrom + kLeftOut) {
        const core::ByteSpan tail = answer.subspan(kTailFrom, answer.size() - kTailFrom - kLeftOut);
        text.insert(text.end(), tail.begin(), tail.end());
    }
    return StoreText(run.buffer, text);
}

// How far the reading of a transparent file has come: the file bytes held from the start
// offset on (status words excluded), and the end the file announced.
struct FileProgress {
    std::size_t held = 0;
    std::size_t target = 0;
    bool fits = true;
};

// EF.PD and EF.VD: the first answer's file bytes from start on go to offset 0 of the data buffer,
// every further chunk behind them, over the status word of the chunk before; until target.
class TransparentFile {
  public:
    TransparentFile(std::span<std::uint8_t> data, std::size_t start)
        : writer_(data), start_(start) {}

    void TakeFirst(core::ByteSpan answer) {
        progress_.fits = writer_.Append(answer.subspan(start_));
        progress_.held = answer.size() - start_ - 2;
        progress_.target = std::size_t{answer[start_]} * 256 + answer[start_ + 1];
        if (progress_.target == 0xFFFF) {
            progress_.target =
                start_ == 6 ? std::size_t{answer[2]} * 256 + answer[3] : progress_.held;
        }
    }

    // Follow-up chunks at file offset start + held while the file goes on.
    void ReadRest(terminal::CtApi& ctApi, const terminal::Exchange& row, core::ByteSpan answer,
                  Response& response) {
        while (progress_.target > start_ && progress_.target - start_ > progress_.held &&
               !EndsWithStop(answer)) {
            const std::size_t offset = start_ + progress_.held;
            const auto p2 = static_cast<std::uint8_t>(offset % 256);
            std::uint16_t lenr = 0;
            terminal::ExecuteCommand(ctApi,
                                     offset > kMaxOffsetInP2
                                         ? row.AtOffset(static_cast<std::uint8_t>(offset / 256), p2)
                                         : row.AtOffset(p2),
                                     lenr, response);
            answer = Received(response, lenr);
            if (answer.size() <= 2) {
                break;  // an answer without data would ask for the same chunk for ever
            }
            writer_.Truncate(progress_.held);
            if (!writer_.Append(answer)) {
                progress_.fits = false;
                break;
            }
            progress_.held = writer_.Length() - 2;
        }
    }

    const FileProgress& Progress() const { return progress_; }

  private:
    core::ByteWriter writer_;
    std::size_t start_;
    FileProgress progress_;
};

}  // namespace

std::size_t ReadEgkFile(terminal::CtApi& ctApi, terminal::TerminalSession& session, int row,
                        const std::string& path, std::size_t startOffset, Response& response,
                        RunData& run) {
    response.fill(0);
    std::uint16_t lenr = 0;
    terminal::ExecuteCommand(ctApi, terminal::RowExchange(row, session), lenr, response);
    terminal::AwaitPinEntry(ctApi, terminal::RowExchange(row, session), lenr, response);
    if (core::EndsWith(response, lenr, core::kSw6700)) {
        session.UseShortLe();
        terminal::ExecuteCommand(ctApi, terminal::RowExchange(row, session), lenr, response);
    }

    FileProgress progress;
    TransparentFile file(run.buffer, startOffset);
    core::ByteSpan answer = Received(response, lenr);
    if (answer.size() > startOffset + 2) {
        switch (row) {
            case terminal::kRowReadVersion1:
                progress.held = progress.target = StoreVersion(ctApi, answer, response, lenr, run);
                answer = Received(response, lenr);
                break;
            case terminal::kRowReadStatus:
                progress.held = progress.target = StoreStatus(answer, run);
                break;
            case terminal::kRowReadGdo:
                progress.held = progress.target = StoreSerialNumber(answer, run);
                break;
            default:
                file.TakeFirst(answer);
                progress = file.Progress();
                break;
        }
    }

    core::GetUi().AppendMemo(
        terminal::PrintableDump(answer, static_cast<std::uint16_t>(answer.size())));
    core::GetUi().AppendMemo("");

    if (row == terminal::kRowReadPd || row == terminal::kRowReadVd) {
        file.ReadRest(ctApi, terminal::RowExchange(row, session), answer, response);
        progress = file.Progress();
    }

    std::size_t held = progress.held;
    const std::size_t target = progress.target;
    if (held > target) {
        held = target;
    }
    // EF.VD counts its end from the file's start, its bytes from offset 6.
    if (held < target && (target <= startOffset || held >= target - startOffset)) {
        held = target;
    }
    // A file whose reading ended short of its end (a stop status or a failed exchange in the
    // middle) counts as not read: part of a file must not pass for all of it.
    if (!progress.fits || held < target || held + kTextOffset > run.buffer.size()) {
        held = 0;
    }
    run.length = held;
    (void)record::WriteWholeFile(path, std::span(run.buffer).subspan(kTextOffset, held));
    return held;
}

}  // namespace orva::reading
