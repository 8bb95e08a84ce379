// LoadLibraryA by bare name. The current directory is taken out of the DLL search order first, so
// a ct_api_*.dll planted in whatever folder the program was started from is never loaded; the
// program's folder, the system folders and PATH are still searched.
#include <windows.h>

#include "terminal/library.h"

namespace orva::terminal::detail {

const char* const kLibraryExtension = ".dll";

void* OpenCtApiLibrary(const std::string& fileName) {
    SetDllDirectoryW(L"");
    return reinterpret_cast<void*>(LoadLibraryA(fileName.c_str()));
}

void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace orva::terminal::detail
