// Handing a record over: to the output file (-F) or, through the client channel, to the practice
// program. Every reading run ends here, and several failure paths hand over the ErrorRecord.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/state.h"
#include "record/card_data.h"

namespace orva::record {

// Stands for the absence of usable card data: 04 "OKVK 01-" 04.
inline constexpr std::array<std::uint8_t, 10> kErrorRecord = {0x04, 0x4F, 0x4B, 0x56, 0x4B,
                                                              0x20, 0x30, 0x31, 0x2D, 0x04};

// Composes the record from the card data (unless they are the ErrorRecord, or a head of it) and
// delivers it. True when it was written to the output file, handed to the client, or withheld
// under -S; false when composition failed or nothing could be handed over.
//
// cardKind: the kind of the card the last CT-API run recognised (KVK until one has); with -S,
// nothing is handed to the client after an eGK.
//
// Data that cannot be composed show a "Fehler" box (unless Endless is set) and the ErrorRecord
// is delivered in their place: "Daten unvollst\xE4ndig! (<length>): <xx> <xx>\n" for KVK data
// that are too short, "Datensatz zu lang! (<length>)" for a record that would not fit the
// 16384-byte record buffer and shared block (length: the card data's).
bool DeliverRecord(const CardData& card, core::CardKind cardKind);

// Delivers the ErrorRecord.
bool DeliverErrorRecord(core::CardKind cardKind);

// Creates or replaces the file and writes the bytes. A file that cannot be created, or a write
// that fails or falls short, shows "Datei <name> kann nicht geschrieben werden!" (caption
// "Fehler") and returns false.
bool WriteWholeFile(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace orva::record
