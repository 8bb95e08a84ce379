// Platform half of the simulated terminal: reading its environment variables.
#pragma once

#include <optional>
#include <string>

namespace orva::sim {

// The variable's value from the process environment; nullopt when it is unset or empty.
std::optional<std::string> SimGetEnv(const char* name);

}  // namespace orva::sim
