// ORVA.exe: the program entry. The command line reaches start-up as Windows-1252 texts, element
// 0 being the program's path.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/run_control.h"
#include "app/window_win.h"

namespace {

std::vector<std::string> CommandLineElements() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* elements = CommandLineToArgvW(GetCommandLineW(), &count);
    if (elements == nullptr) {
        return args;
    }
    for (int i = 0; i < count; ++i) {
        const int n = WideCharToMultiByte(1252, 0, elements[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
        WideCharToMultiByte(1252, 0, elements[i], -1, text.data(), n, nullptr, nullptr);
        text.resize(text.size() - 1);
        args.push_back(text);
    }
    LocalFree(elements);
    return args;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const int status = orva::app::RunMainWindow(CommandLineElements());
    if (orva::app::ReaderThreadRunning()) {
        // A run that never ended (a card never taken out) is still inside the CT-API library:
        // end the process without running static destructors under its feet.
        ExitProcess(static_cast<UINT>(status));
    }
    return status;
}
