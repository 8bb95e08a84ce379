// The Win32 main window "KVK / eGK": its controls, the Ui it offers to the subsystems, and the
// message loop. Plain Win32, no framework.
#pragma once

#include <string>
#include <vector>

namespace orva::app {

// Creates the window (hidden), runs start-up, shows the window unless start-up minimised it or
// ended already, and runs the message loop until the application ends. Returns the exit code.
int RunMainWindow(const std::vector<std::string>& args);

}  // namespace orva::app
