// What a reading run or a serial card cycle hands to delivery: the card's data bytes and, for
// an eGK, the texts and files the run read besides them. Everything a record is made of travels
// in this value (and in the files it names), so composition needs nothing else of the run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orva::record {

// The eGK files that this very run stored in the folder of the intermediate files.
struct StoredEgkFiles {
    bool status = false;  // ST.TXT
    bool pd = false;      // PD.GZ
    bool vd = false;      // VD.GZ

    bool All() const { return status && pd && vd; }
};

struct CardData {
    std::vector<std::uint8_t> bytes;  // the card data (or the ErrorRecord)
    std::string version;              // 30 hex digits of EF.Version, or empty
    std::string iccsn;                // 24 hex digits of EF.GDO, or empty
    StoredEgkFiles stored;            // none for a memory card
};

// The data of a memory card (or the ErrorRecord): bytes only.
inline CardData BytesOnly(std::span<const std::uint8_t> bytes) {
    CardData card;
    card.bytes.assign(bytes.begin(), bytes.end());
    return card;
}

}  // namespace orva::record
