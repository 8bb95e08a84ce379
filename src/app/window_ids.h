// Control identifiers of the main window (GetDlgItem), and its window class. Shared with the
// end-to-end tests, which read the window back through Win32.
#pragma once

namespace orva::app {

inline constexpr wchar_t kMainWindowClass[] = L"TFormOrvaMain";

enum ControlId : int {
    kIdButtonRead = 101,
    kIdButtonAbbruch = 102,
    kIdHexlist = 103,
    kIdMemo = 104,
    kIdDelRecord = 105,
    kIdStatus = 106,
    kIdVersion = 107,
    kIdParameter = 108,
    kIdNameFile = 109,
};

inline constexpr unsigned kEndlosLoopTimer = 1;
inline constexpr unsigned kEndlosLoopInterval = 3000;

}  // namespace orva::app
