// getenv: the process environment that setenv changes.
#include <cstdlib>

#include "sim_env.h"

namespace orva::sim {

std::optional<std::string> SimGetEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace orva::sim
