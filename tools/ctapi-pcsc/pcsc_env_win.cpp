// The process environment block, not the C runtime's copy: the program that loads the library
// may link another runtime, and a parent may have set the variable for the whole process.
#include <windows.h>

#include <vector>

#include "pcsc_env.h"

namespace orva::pcsc {

std::optional<std::string> PcscGetEnv(const char* name) {
    std::vector<char> value(256);
    DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length >= value.size()) {
        value.resize(length + 1);
        length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    }
    if (length == 0 || length >= value.size()) {
        return std::nullopt;
    }
    return std::string(value.data(), length);
}

}  // namespace orva::pcsc
