// Handing a record over: to the output file (-F) or, through the client channel, to the practice
// program. Every reading run ends here, and several failure paths hand over the ErrorRecord.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "record/compose.h"

namespace orva::record {

// Stands for the absence of usable card data: 04 "OKVK 01-" 04.
inline constexpr std::array<std::uint8_t, 10> kErrorRecord = {0x04, 0x4F, 0x4B, 0x56, 0x4B,
                                                              0x20, 0x30, 0x31, 0x2D, 0x04};

// Composes the record from the card data (unless they are the ErrorRecord, or a head of it) and
// delivers it. True when it was written to the output file, handed to the client, or withheld
// under -S; false when composition failed or nothing could be handed over.
//
// When data is the head of the reader's data buffer (core::Reader().data), the KVK tag search
// may look up to three bytes past the data into the rest of that buffer; the buffer itself is
// left as it is (composition works on a copy).
//
// Data that cannot be composed show a "Fehler" box (unless Endless is set) and the ErrorRecord
// is delivered in their place: "Daten unvollst\xE4ndig! (<length>): <xx> <xx>\n" for KVK data
// that are too short, "Datensatz zu lang! (<length>)" for a record that would not fit the
// 16384-byte record buffer and shared block (length: the card data's).
// origin: see DataOrigin; only the data of this run's eGK branch may take the eGK form.
bool DeliverRecord(std::span<const std::uint8_t> data,
                   DataOrigin origin = DataOrigin::MemoryCard);

// Delivers the ErrorRecord.
bool DeliverErrorRecord();

// Creates or replaces the file and writes the bytes. A file that cannot be created, or a write
// that fails or falls short, shows "Datei <name> kann nicht geschrieben werden!" (caption
// "Fehler") and returns false.
bool WriteWholeFile(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace orva::record
