#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "core/platform.h"

namespace orva::core {

std::string ProgramDirectory() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) {
        return "./";
    }
    path.resize(static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::string TempBase() {
    for (const char* name : {"TMP", "TMPDIR"}) {
        if (auto value = GetEnv(name); value && !value->empty()) {
            return *value;
        }
    }
    return "/tmp";
}

int DeleteFileWithErrno(const std::string& path) {
    errno = 0;
    if (unlink(path.c_str()) == 0) {
        return 0;
    }
    return errno;
}

}  // namespace orva::core
