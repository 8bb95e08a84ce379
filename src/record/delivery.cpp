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

namespace orva::record {

namespace {

void ShowError(std::string text) {
    core::GetUi().ShowMessage({.caption = "Fehler", .text = std::move(text)});
}

bool IsErrorRecordHead(std::span<const std::uint8_t> data) {
    return data.size() <= kErrorRecord.size() &&
           std::equal(data.begin(), data.end(), kErrorRecord.begin());
}

// Steps after composition: the output file, or the client.
bool HandOver(std::span<std::uint8_t> record) {
    const core::RunOptions& options = core::Options();
    if (!options.outputFileName.empty()) {
        return WriteWholeFile(options.outputFileName, record);
    }
    std::replace(record.begin(), record.end(), std::uint8_t{0xFF}, std::uint8_t{0x1F});
    if (options.noClientSend && core::Reader().cardKind.load() == core::CardKind::Egk) {
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

bool DeliverRecord(std::span<const std::uint8_t> data, DataOrigin origin) {
    std::vector<std::uint8_t> record(kRecordBufferSize);
    std::size_t length = data.size();
    if (IsErrorRecordHead(data)) {
        std::copy(data.begin(), data.end(), record.begin());
        return HandOver(std::span(record).first(length));
    }

    // The working copy: the whole data buffer when the data are its head (the tag search may
    // look just past the data), otherwise the data followed by zero bytes.
    std::vector<std::uint8_t> work(core::kDataBufferSize, 0);
    const auto& readerData = core::Reader().data;
    ComposeResult result = ComposeResult::TooLong;
    if (data.size() <= work.size()) {
        if (data.data() == readerData.data()) {
            std::copy(readerData.begin(), readerData.end(), work.begin());
        } else {
            std::copy(data.begin(), data.end(), work.begin());
        }
        const std::uint8_t first = work[0];
        const std::uint8_t second = work[1];
        result = ComposeRecord(record, work, length, origin);
        if (result == ComposeResult::TooShort && !core::Options().endless.load()) {
            char bytes[8];
            std::snprintf(bytes, sizeof bytes, "%02x %02x", first, second);
            ShowError("Daten unvollst\xE4ndig! (" + std::to_string(data.size()) + "): " + bytes +
                      "\n");
        }
    }
    if (result == ComposeResult::TooLong && !core::Options().endless.load()) {
        ShowError("Datensatz zu lang! (" + std::to_string(data.size()) + ")");
    }
    if (result != ComposeResult::Built) {
        if (!core::Options().endless.load()) {
            DeliverErrorRecord();
        }
        return false;
    }
    return HandOver(std::span(record).first(length));
}

bool DeliverErrorRecord() { return DeliverRecord(kErrorRecord); }

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
