// Reading one file of an eGK into the data buffer and storing it in the folder of the
// intermediate files: the card serial number (GDO.TXT), the version records (VER.TXT), the status
// data (ST.TXT), the personal data (PD.GZ) and the insurance data (VD.GZ).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/state.h"
#include "terminal/executor.h"
#include "terminal/session.h"

namespace orva::reading {

// What a reading run collects on its way: the data buffer in which the card data are assembled
// (zero at the start of every run), how many of its bytes are card data, and the eGK's texts.
struct RunData {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(core::kDataBufferSize, 0);
    std::size_t length = 0;
    std::string version;  // 30 hex digits of EF.Version, or empty
    std::string iccsn;    // 24 hex digits of EF.GDO, or empty
};

// Reads the file that the command table's row reads first, in further chunks when it is longer
// than one answer, into run's data buffer, and writes what it stored to path. startOffset is
// 0, or 6 for EF.VD. The response buffer is the caller's. Returns the number of bytes stored
// (also run.length); 0 when the card gave no data, and also when the file would not fit the
// data buffer (an empty file is written then). EF.Version and EF.GDO also fill run's texts.
[[nodiscard]] std::size_t ReadEgkFile(terminal::CtApi& ctApi, terminal::TerminalSession& session,
                                      int row, const std::string& path, std::size_t startOffset,
                                      terminal::Response& response, RunData& run);

}  // namespace orva::reading
