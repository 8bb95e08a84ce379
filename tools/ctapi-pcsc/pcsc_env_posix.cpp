// getenv: the process environment that setenv changes.
#include <cstdlib>

#include "pcsc_env.h"

namespace orva::pcsc {

std::optional<std::string> PcscGetEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace orva::pcsc
