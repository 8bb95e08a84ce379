// Loading a CT-API library and holding its entry points for the whole process.
//
// The library's file name is built from the port name and the -L suffix: "ct_api_com",
// "ct_api_usb" or "ct_api_lan", the suffix, and ".dll" on Windows (".so" on Linux). On Windows it
// is loaded by bare name through the standard search order, with the current directory taken
// out of it first; on Linux the program's own folder is tried first, then the loader's path.
#pragma once

#include <string>
#include <string_view>

#include "terminal/ctapi.h"

namespace orva::terminal {

struct CtApiEntryPoints {
    CtInitFn init = nullptr;
    CtDataFn data = nullptr;
    CtCloseFn close = nullptr;
};

// The entry points the program calls. Tests may fill them with in-process functions.
CtApiEntryPoints& EntryPoints();

enum class LoadResult { Loaded, NoLibrary, NoInit };

// portName is upper case; suffix has 1 to 3 characters. Each of COM, USB and LAN found in the
// port name is tried in that order; the last attempted load decides.
[[nodiscard]] LoadResult LoadCtApiLibrary(std::string_view portName, std::string_view suffix);

// Unloads the library, if one is loaded. The entry points are left as they are.
void UnloadCtApiLibrary();

bool CtApiLibraryLoaded();

// Looks the three entry points up again in the loaded library (a null when one is missing, or
// when no library is loaded).
void LookUpEntryPoints();

// "ct_api_usb01.dll" (Windows) or "ct_api_usb01.so" (Linux) for kind "usb" and suffix "01".
std::string CtApiLibraryFileName(std::string_view kind, std::string_view suffix);

}  // namespace orva::terminal
