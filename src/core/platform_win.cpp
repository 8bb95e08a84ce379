#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/platform.h"

namespace orva::core {

std::string ProgramDirectory() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return ".\\";
        }
        if (n < path.size()) {
            std::string full(path.data(), n);
            return full.substr(0, full.find_last_of("\\/:") + 1);
        }
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> GetEnv(const char* name) {
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::string value(size, '\0');
    const DWORD n = GetEnvironmentVariableA(name, value.data(), size);
    value.resize(n);
    return value;
}

std::string TempBase() {
    return GetEnv("TMP").value_or("");
}

int DeleteFileWithErrno(const std::string& path) {
    errno = 0;
    if (_unlink(path.c_str()) == 0) {
        return 0;
    }
    return errno;
}

}  // namespace orva::core
