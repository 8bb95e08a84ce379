// Platform half of the PC/SC terminal: reading its environment variables.
#pragma once

#include <optional>
#include <string>

namespace orva::pcsc {

// The variable's value from the process environment; nullopt when it is unset or empty.
std::optional<std::string> PcscGetEnv(const char* name);

}  // namespace orva::pcsc
