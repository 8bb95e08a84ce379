// Handing a record over: to the output file (-F) or, through the client channel, to the practice
// program. Every reading run ends here, and several failure paths hand over the ErrorRecord.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace orva::record {

// Stands for the absence of usable card data: 04 "OKVK 01-" 04.
inline constexpr std::array<std::uint8_t, 10> kErrorRecord = {0x04, 0x4F, 0x4B, 0x56, 0x4B,
                                                              0x20, 0x30, 0x31, 0x2D, 0x04};

// Composes the record from the card data (unless they are the ErrorRecord, or a head of it) and
// delivers it. True when it was written to the output file, handed to the client, or withheld
// under -S; false when composition failed or nothing could be handed over.
bool DeliverRecord(std::span<const std::uint8_t> data);

// Delivers the ErrorRecord.
bool DeliverErrorRecord();

// Creates or replaces the file and writes the bytes. A file that cannot be created, or a write
// that fails or falls short, shows "Datei <name> kann nicht geschrieben werden!" (caption
// "Fehler") and returns false.
bool WriteWholeFile(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace orva::record
