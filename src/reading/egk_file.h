// Reading one file of an eGK into the data buffer and storing it in the folder of the
// intermediate files: the card serial number (GDO.TXT), the version records (VER.TXT), the status
// data (ST.TXT), the personal data (PD.GZ) and the insurance data (VD.GZ).
#pragma once

#include <string>

#include "terminal/executor.h"

namespace orva::reading {

// Reads the file that the command table's row reads first, in further chunks when it is longer
// than one answer, and writes what it stored to path. startOffset is 0, or 6 for EF.VD. The
// response buffer is the caller's. Returns the number of bytes stored; 0 when the card gave no
// data, and also when the file would not fit the data buffer (an empty file is written then).
[[nodiscard]] int ReadEgkFile(terminal::CtApi& ctApi, int row, const std::string& path,
                              int startOffset, terminal::Response& response);

}  // namespace orva::reading
