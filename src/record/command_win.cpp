// Runs a command line through cmd.exe, which performs the output redirection, and waits. The
// interpreter is started without a console window, so nothing flashes up on the reception's
// screen while the card data are decompressed.
#include <windows.h>

#include <vector>

#include "core/handle_win.h"
#include "core/platform.h"
#include "record/compose.h"

namespace orva::record {

int RunCommand(const std::string& commandLine) {
    const std::string interpreter = core::GetEnv("ComSpec").value_or("cmd.exe");
    std::string line = "\"" + interpreter + "\" /c " + commandLine;
    std::vector<char> mutableLine(line.begin(), line.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(interpreter.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        return -1;
    }
    const core::Handle thread(process.hThread);
    const core::Handle child(process.hProcess);
    WaitForSingleObject(child.Get(), INFINITE);
    DWORD exitCode = 0;
    const bool known = GetExitCodeProcess(child.Get(), &exitCode) != 0;
    return known ? static_cast<int>(exitCode) : -1;
}

}  // namespace orva::record
