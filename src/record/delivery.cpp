// Delivery of one record: the ErrorRecord passes through unchanged, card data are composed;
// the record then goes to the output file as it is, or, with every 0xFF replaced by 0x1F, to
// the client. Each call has its own record buffer; composition works on a copy of the data.
#include "record/delivery.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/state.h"
#include "core/ui.h"
#include "record/client_channel.h"
#include "record/compose.h"
#include "record/card_data.h"

namespace orva::record {

namespace {

void ShowError(std::string text) {
    core::GetUi().ShowMessage({.caption = "Fehler", .text = std::move(text)});
}

// Only the whole ErrorRecord passes through. Card data that merely begin like it (a card or a
// terminal can send "04 4F" as well as anything else) are composed like any other data, so the
// client never receives a part of a record.
bool IsErrorRecord(std::span<const std::uint8_t> data) {
    return std::ranges::equal(data, kErrorRecord);
}

// Steps after composition: the output file, or the client.
bool HandOver(std::span<std::uint8_t> record, core::CardKind cardKind) {
    const core::RunOptions& options = core::Options();
    if (!options.outputFileName.empty()) {
        return WriteWholeFile(options.outputFileName, record);
    }
    std::replace(record.begin(), record.end(), std::uint8_t{0xFF}, std::uint8_t{0x1F});
    if (options.noClientSend && cardKind == core::CardKind::Egk) {
        return true;
    }
    switch (GetClientChannel().Hand(record)) {
        case ClientChannel::Handover::Delivered:
            return true;
        case ClientChannel::Handover::NoChannel:
            return false;
        case ClientChannel::Handover::NoClientWindow:
            ShowError("Ovira Telnet Client nicht gestartet!");
            return false;
    }
    return false;
}

}  // namespace

bool DeliverRecord(const CardData& card, core::CardKind cardKind) {
    const std::span<const std::uint8_t> data = card.bytes;
    std::vector<std::uint8_t> record(kRecordBufferSize);
    std::size_t length = data.size();
    if (IsErrorRecord(data)) {
        std::copy(data.begin(), data.end(), record.begin());
        return HandOver(std::span(record).first(length), cardKind);
    }

    const core::RunOptions& options = core::Options();
    const RecordInput input{.data = data,
                            .form = ChooseRecordForm(data, card.stored),
                            .tempDir = options.tempDir,
                            .version = card.version,
                            .iccsn = card.iccsn};
    const ComposeResult result = ComposeRecord(record, input, length);
    if (result == ComposeResult::TooShort && !options.endless.load()) {
        char bytes[8];
        std::snprintf(bytes, sizeof bytes, "%02x %02x", data.size() > 0 ? data[0] : 0,
                      data.size() > 1 ? data[1] : 0);
        ShowError("Daten unvollst\xE4ndig! (" + std::to_string(data.size()) + "): " + bytes + "\n");
    }
    if (result == ComposeResult::TooLong && !options.endless.load()) {
        ShowError("Datensatz zu lang! (" + std::to_string(data.size()) + ")");
    }
    if (result != ComposeResult::Built) {
        if (!options.endless.load()) {
            DeliverErrorRecord(cardKind);
        }
        return false;
    }
    return HandOver(std::span(record).first(length), cardKind);
}

bool DeliverErrorRecord(core::CardKind cardKind) {
    return DeliverRecord(BytesOnly(kErrorRecord), cardKind);
}

bool WriteWholeFile(const std::string& name, std::span<const std::uint8_t> bytes) {
    bool written = false;
    if (std::FILE* file = std::fopen(name.c_str(), "wb")) {
        const std::size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
        const bool closed = std::fclose(file) == 0;
        written = n == bytes.size() && closed;
    }
    if (!written) {
        ShowError("Datei " + name + " kann nicht geschrieben werden!");
    }
    return written;
}

}  // namespace orva::record
