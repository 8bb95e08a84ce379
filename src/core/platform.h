// The few operating-system facts the portable code needs: the directory separator, the folder
// of the running program, environment variables, deleting a file with its error number, and
// text conversion at the edges (texts inside are Windows-1252).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orva::core {

#ifdef _WIN32
inline constexpr char kDirSeparator = '\\';
#else
inline constexpr char kDirSeparator = '/';
#endif

// The folder of the running executable, ending with the directory separator.
std::string ProgramDirectory();

std::optional<std::string> GetEnv(const char* name);

// The folder for intermediate files, without a trailing separator: on Windows the value of TMP
// (empty when unset); on Linux TMP, else TMPDIR, else /tmp.
std::string TempBase();

// Deletes a file; returns 0, or the error number (2 = no such file).
int DeleteFileWithErrno(const std::string& path);

// Windows-1252 bytes to UTF-8 (for the console and for tests that compare with UTF-8 text).
std::string Cp1252ToUtf8(std::string_view text);

}  // namespace orva::core
