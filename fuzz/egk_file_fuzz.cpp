// ReadEgkFile against a terminal whose every answer comes from the fuzz input (fuzz_terminal.h).
//
// Input: byte 0 picks the file (GDO, version, status data, EF.PD, EF.VD; bit 3: the short Le of
// rows 10 and 11); the rest drives the terminal.
//
// What it returns is what it stored: the file holds exactly that many bytes, and never more than
// the data buffer.
#include <filesystem>
#include <memory>

#include "core/sleep.h"
#include "core/state.h"
#include "fuzz_support.h"
#include "fuzz_terminal.h"
#include "reading/egk_file.h"
#include "terminal/session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const orva::fuzz::Sandbox sandbox("egkfile");
    orva::core::SetSleepFunction([](unsigned) {});
    if (size == 0) {
        return 0;
    }
    struct File {
        int row;
        const char* name;
        int startOffset;
    };
    static const File kFiles[] = {{19, "GDO.TXT", 0}, {15, "VER.TXT", 0}, {13, "ST.TXT", 0},
                                  {10, "PD.GZ", 0},   {11, "VD.GZ", 6},   {10, "PD.GZ", 0},
                                  {11, "VD.GZ", 6},   {11, "VD.GZ", 6}};
    const File& file = kFiles[data[0] & 7];
    orva::core::ResetState();
    const std::filesystem::path path = sandbox.Path() / file.name;
    std::filesystem::remove(path);

    // Bit 3: rows 10 and 11 with the short Le, as after an earlier 67 00 of the process.
    orva::terminal::TerminalSession session;
    if ((data[0] & 8) != 0) {
        session.UseShortLe();
    }
    orva::fuzz::FuzzTerminal terminal(data + 1, size - 1);
    auto response = std::make_unique<orva::terminal::Response>();
    orva::reading::RunData run;
    const int stored = orva::reading::ReadEgkFile(terminal, session, file.row, path.string(),
                                                  file.startOffset, *response, run);

    ORVA_FUZZ_CHECK(stored >= 0 && static_cast<std::size_t>(stored) <= orva::core::kDataBufferSize);
    ORVA_FUZZ_CHECK(run.length == static_cast<std::size_t>(stored));
    ORVA_FUZZ_CHECK(run.buffer.size() == orva::core::kDataBufferSize);
    std::error_code error;
    const auto onDisk = std::filesystem::file_size(path, error);
    ORVA_FUZZ_CHECK(!error && onDisk == static_cast<std::uintmax_t>(stored));
    return 0;
}
