// One reading run over the CT-API, from opening the terminal to delivering the record.
//
// The sequence of calls (rows of the command table in brackets):
//   CT_init(1, port)                 once more after 500 ms when it answers -10
//   RESET CT [8]                     into the reset buffer (looked at again for the GDO read)
//   REQUEST ICC [1] ...              62 00: no card yet, ask again after a second;
//                                    64 00 / 69 00: RESET CT [8] and ask once more at once
//   90 01 first: eGK                 Select MF [18], EF.GDO [19] (-I and a reset answered 90 00),
//                                    EF.Version [15-17], Select DF.HCA [9], EF.StatusVD [13],
//                                    EF.PD [10], EF.VD [11], ERASE [6], EJECT [14] while 62 00,
//                                    RESET CT [8] after 6A 80
//   90 00 last: KVK                  Select [2], READ BINARY [3] (with PIN wait), a second
//                                    READ BINARY [3] at offset lenr - 3, ERASE [6],
//                                    EJECT [7] while 62 00
//   CT_close(1), DeliverRecord
// All decisions rest on the response bytes; CT-API results are only logged.
#include "reading/reading_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "core/bytes.h"
#include "core/sleep.h"
#include "core/state.h"
#include "core/ui.h"
#include "reading/egk_file.h"
#include "record/delivery.h"
#include "terminal/command_table.h"
#include "terminal/ctapi_binding.h"
#include "terminal/executor.h"
#include "terminal/format.h"

namespace orva::reading {

namespace {

using terminal::ExecuteCommand;
using terminal::Response;

constexpr unsigned kInitRetryMs = 500;
constexpr unsigned kNoCardMs = 1000;
constexpr unsigned kEjectRepeatMs = 200;
constexpr std::int8_t kCtErrInvalid = -1;  // reported when the library lacks an entry point

constexpr char kNotGeneration1[] =
    "Keine Generation 1 Gesundheitskarte!\nVerarbeitung ab dem 1.4.2012 nicht mehr m\xF6glich!";

std::size_t Length(std::uint16_t lenr, const Response& response) {
    return std::min<std::size_t>(lenr, response.size());
}

void LogLine(const char* format, int value) {
    char line[64];
    std::snprintf(line, sizeof line, format, value);
    core::GetUi().AppendHexlist(line);
}

void StoreErrorRecord(RunData& run) {
    std::copy(record::kErrorRecord.begin(), record::kErrorRecord.end(), run.buffer.begin());
    run.length = record::kErrorRecord.size();
}

bool EraseWanted() {
    return !core::Options().debug || core::GetUi().DelRecordTicked();
}

// EJECT ICC until the terminal stops answering 62 00 (the card is still in), at most every
// 200 ms: a library that answers 62 00 at once cannot make the loop spin and flood the log. A
// failed exchange is no answer (executor.h), so it ends the loop.
void EjectCard(terminal::CtApi& ctApi, int row, std::uint16_t& lenr, Response& response) {
    for (;;) {
        ExecuteCommand(ctApi, row, lenr, response);
        if (!core::BeginsWith(response, core::kSw6200)) {
            return;
        }
        core::SleepMs(kEjectRepeatMs);
    }
}

// Opens the terminal; false when the run has to end here.
bool OpenTerminal(terminal::CtApi& ctApi) {
    const std::uint16_t port = core::Options().portNumber;
    std::int8_t result = kCtErrInvalid;
    // Without a library (the serial transport) or with an incomplete one there is nothing to
    // call: the run reports it as a failed CT_init.
    if (ctApi.BeginRun()) {
        result = ctApi.Init(1, port);
        if (result == terminal::kCtErrTrans) {
            LogLine("Fehler 1. CT_init=%i", result);
            core::SleepMs(kInitRetryMs);
            result = ctApi.Init(1, port);
        }
    }
    if (result == terminal::kCtOk) {
        return true;
    }
    LogLine("Fehler CT_init=%i", result);
    if (!core::Options().debug) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "Verbindung zum KVK-/eGK-Terminal pr\xFC"
                      "fen (Fehler %hd)",
                      static_cast<short>(result));
        core::GetUi().ShowMessage({.caption = "Fehler CT_init", .text = text});
    }
    return false;
}

// Reads an eGK; true when ST.TXT, PD.GZ and VD.GZ were all stored in this run, so that the data
// buffer holds this card's EF.VD and the intermediate folder this card's files.
bool ReadEgk(terminal::CtApi& ctApi, terminal::TerminalSession& session,
             const Response& resetBuffer, std::uint16_t& lenr, Response& work, RunData& run) {
    const core::RunOptions& options = core::Options();
    core::Reader().cardKind = core::CardKind::Egk;
    run.iccsn.clear();
    run.version.clear();

    ExecuteCommand(ctApi, terminal::kRowSelectMf, lenr, work);
    if (core::BeginsWith(work, core::kSw6A82)) {
        core::GetUi().ShowMessage({.caption = "Hinweis", .text = kNotGeneration1});
    }
    const std::string& dir = options.tempDir;
    if (options.readGdo && core::BeginsWith(resetBuffer, core::kSw9000)) {
        (void)ReadEgkFile(ctApi, session, terminal::kRowReadGdo, dir + "GDO.TXT", 0, work, run);
    }
    (void)ReadEgkFile(ctApi, session, terminal::kRowReadVersion1, dir + "VER.TXT", 0, work, run);
    ExecuteCommand(ctApi, terminal::kRowSelectHca, lenr, work);

    int files = 0;
    if (ReadEgkFile(ctApi, session, terminal::kRowReadStatus, dir + "ST.TXT", 0, work, run) > 0) {
        ++files;
    }
    if (files > 0) {
        if (ReadEgkFile(ctApi, session, terminal::kRowReadPd, dir + "PD.GZ", 0, work, run) > 0) {
            ++files;
        }
        if (ReadEgkFile(ctApi, session, terminal::kRowReadVd, dir + "VD.GZ", 6, work, run) > 0) {
            ++files;
        }
        if (EraseWanted()) {
            ExecuteCommand(ctApi, terminal::kRowErase, lenr, work);
        }
    }
    EjectCard(ctApi, terminal::kRowEjectEgk, lenr, work);
    if (core::BeginsWith(work, core::kSw6A80)) {
        ExecuteCommand(ctApi, terminal::kRowResetCt, lenr, work);
    }
    if (files < 3) {
        StoreErrorRecord(run);
        return false;
    }
    return true;
}

void ReadKvk(terminal::CtApi& ctApi, std::uint16_t& lenr, Response& work, RunData& run) {
    auto& data = run.buffer;
    core::Reader().cardKind = core::CardKind::Kvk;

    ExecuteCommand(ctApi, terminal::kRowSelectKvk, lenr, work);
    ExecuteCommand(ctApi, terminal::kRowReadKvk, lenr, work);
    terminal::AwaitPinEntry(ctApi, terminal::kRowReadKvk, lenr, work);

    // The template begins with tag 60; the terminal may put two or three bytes before it.
    const std::size_t first = Length(lenr, work);
    std::size_t offset = work[3] == 0x80 ? 3 : 2;
    if (!core::FindByte(work, 0x80, first) && !core::FindByte(work, 0x84, first)) {
        offset = 0;
    }
    const std::size_t kept = first > offset ? first - offset : 0;
    std::memcpy(data.data(), work.data() + offset, kept);
    run.length = kept;

    core::GetUi().AppendMemo(terminal::PrintableDump(work, lenr));
    core::GetUi().AppendMemo("");

    if (lenr > 2 && !core::EndsWith(work, lenr, core::kSw6282)) {
        // The second read starts three bytes before the end of the first answer (P2 only).
        const auto p2 = static_cast<std::uint8_t>((lenr - 3) % 256);
        ExecuteCommand(ctApi, terminal::RowExchange(terminal::kRowReadKvk).AtOffset(p2), lenr,
                       work);
        const std::size_t second = Length(lenr, work);
        const std::size_t more = second > 2 ? second - 2 : 0;
        if (kept + more > data.size()) {
            StoreErrorRecord(run);  // more than a memory card holds: not a card answer
        } else {
            std::memcpy(data.data() + kept, work.data(), more);
            run.length = kept + more;
        }
    }

    if (run.length == 0) {
        StoreErrorRecord(run);  // no answer at all: an empty record would pass for card data
    }

    if (EraseWanted()) {
        ExecuteCommand(ctApi, terminal::kRowErase, lenr, work);
    }
    EjectCard(ctApi, terminal::kRowEjectKvk, lenr, work);
}

}  // namespace

std::optional<CardRead> ReadCard(terminal::CtApi& ctApi, terminal::TerminalSession& session) {
    core::Ui& ui = core::GetUi();
    const std::atomic<bool>& abort = core::Reader().abort;

    if (!OpenTerminal(ctApi)) {
        return std::nullopt;
    }
    // The run's own data buffer, zero to its end: the KVK rules look past the card data.
    RunData run;

    Response resetBuffer{};
    Response work{};
    std::uint16_t lenr = 0;
    ExecuteCommand(ctApi, terminal::kRowResetCt, lenr, resetBuffer);
    if (lenr < 2) {
        resetBuffer[0] = 0;  // an answer without status word allows no GDO read
    }

    do {
        ExecuteCommand(ctApi, terminal::kRowRequestIcc, lenr, work);
        if (core::BeginsWith(work, core::kSw6400) || core::BeginsWith(work, core::kSw6900)) {
            ExecuteCommand(ctApi, terminal::kRowResetCt, lenr, work);
            ExecuteCommand(ctApi, terminal::kRowRequestIcc, lenr, work);
        }
        if (core::BeginsWith(work, core::kSw6200)) {
            core::SleepMs(kNoCardMs);
        }
    } while (core::BeginsWith(work, core::kSw6200) && !abort);

    if (abort) {
        (void)ctApi.Close(1);
        ui.RequestTerminate();
        return std::nullopt;
    }

    record::StoredEgkFiles stored;
    if (core::BeginsWith(work, core::kSw9001)) {
        if (ReadEgk(ctApi, session, resetBuffer, lenr, work, run)) {
            stored.status = stored.pd = stored.vd = true;
        }
    } else if (core::EndsWith(work, lenr, core::kSw9000)) {
        ReadKvk(ctApi, lenr, work, run);
    } else {
        StoreErrorRecord(run);
    }

    const std::int8_t result = ctApi.Close(1);
    LogLine("CT_close=%hu", static_cast<std::uint16_t>(static_cast<std::int16_t>(result)));

    CardRead read{.kind = core::Reader().cardKind,
                  .card = record::BytesOnly(
                      std::span(run.buffer).first(std::min(run.length, run.buffer.size())))};
    read.card.version = std::move(run.version);
    read.card.iccsn = std::move(run.iccsn);
    read.card.stored = stored;
    return read;
}

terminal::TerminalSession& ProcessTerminalSession() {
    static terminal::TerminalSession session;
    return session;
}

void ButtonReadClick(terminal::CtApi& ctApi, terminal::TerminalSession& session) {
    const std::optional<CardRead> read = ReadCard(ctApi, session);
    if (!read) {
        return;
    }
    core::Ui& ui = core::GetUi();
    ui.SetStatus(" ");
    (void)record::DeliverRecord(read->card, read->kind);
    if (core::Options().invisible) {
        ui.RequestTerminate();
    }
}

void ButtonReadClick(terminal::CtApi& ctApi) {
    ButtonReadClick(ctApi, ProcessTerminalSession());
}

}  // namespace orva::reading
