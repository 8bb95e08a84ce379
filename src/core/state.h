// Process-wide state shared by the subsystems: the options from the command line, the directory
// of the intermediate files, the abort flag and the kind of the card read last.
//
// The flags that other threads change while a run is in progress (the abort flag, Endless) are
// atomics; everything else is written once at start-up or only by the thread that runs the
// reading run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace orva::core {

inline constexpr std::size_t kDataBufferSize = 16384;
inline constexpr std::size_t kResponseBufferSize = 10000;

struct RunOptions {
    std::atomic<bool> endless{false};  // -E; cleared by the abort button and on close
    bool invisible = false;            // -U
    bool debug = false;                // -D; also set after a fatal start-up failure
    bool writeFile = false;            // -F
    bool noClientSend = false;         // -S
    bool readGdo = false;              // -I
    std::string outputFileName;        // target of delivery when not empty
    std::uint16_t portNumber = 0;      // passed to CT_init
    std::string tempDir;               // ends with the directory separator
    std::string portName;              // upper case
    std::string librarySuffix;         // 0 to 3 characters from -L
};

enum class CardKind : int { Kvk = 1, Egk = 2 };

// What outlives one reading run. The card data themselves travel as values: a reading run
// returns what it read (reading/reading_run.h), the serial protocol hands over what it collected.
struct ReaderState {
    std::atomic<bool> abort{false};  // set by the abort button and on close; never reset
    // The card the last CT-API run recognised (KVK until one has); written by the reading run,
    // passed to delivery, where -S withholds what follows an eGK.
    std::atomic<CardKind> cardKind{CardKind::Kvk};
};

RunOptions& Options();
ReaderState& Reader();

// Puts both back to their state at process start (tests).
void ResetState();

}  // namespace orva::core
