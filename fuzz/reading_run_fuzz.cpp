// A whole reading run (ButtonReadClick) against a terminal whose every answer comes from the fuzz
// input (fuzz_terminal.h), in normal or Debug mode, with or without -I. Sleeps return at once;
// the waits for a card and for the PIN end when the input does (the terminal then fails and the
// abort flag is set). Delivery writes to a file in the target's own folder; the decompression
// command is replaced by nothing.
//
// Input: byte 0 (bit 0 Debug, bit 1 the check box "Löschen" ticked, bit 2 -I); the rest drives
// the terminal.
//
// What a run delivers is a whole record or the ErrorRecord, never a part.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/sleep.h"
#include "core/state.h"
#include "fuzz_support.h"
#include "fuzz_terminal.h"
#include "reading/reading_run.h"
#include "record/compose.h"
#include "terminal/session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const orva::fuzz::Sandbox sandbox("readingrun");
    static const bool setUp = [] {
        orva::core::SetSleepFunction([](unsigned) {});
        orva::record::SetCommandRunner([](const std::string&) { return 0; });
        return true;
    }();
    (void)setUp;
    if (size == 0) {
        return 0;
    }
    orva::core::ResetState();
    orva::core::RunOptions& options = orva::core::Options();
    options.debug = (data[0] & 1) != 0;
    options.readGdo = (data[0] & 4) != 0;
    options.portNumber = 1;
    options.tempDir = sandbox.Path().string() + "/";
    options.writeFile = true;
    options.outputFileName = (sandbox.Path() / "ORVA.TXT").string();
    std::filesystem::remove(options.outputFileName);

    // A session of its own per input: the 67 00 fallback of one input does not reach the next.
    orva::terminal::TerminalSession session;
    orva::fuzz::FuzzTerminal terminal(data + 1, size - 1);
    orva::reading::ButtonReadClick(terminal, session);

    std::ifstream in(options.outputFileName, std::ios::binary);
    const std::vector<char> record((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (!record.empty()) {
        ORVA_FUZZ_CHECK(record.size() >= 10 && std::memcmp(record.data(), "\x04OKVK 01", 8) == 0);
        ORVA_FUZZ_CHECK(record.back() == 0x04);
    }
    orva::core::ResetState();
    return 0;
}
