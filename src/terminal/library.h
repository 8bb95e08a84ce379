// Platform half of the CT-API binding: opening a shared library and finding a symbol.
#pragma once

#include <string>

namespace orva::terminal::detail {

extern const char* const kLibraryExtension;

// Opens the library the way the platform's search order finds it; null when it cannot.
void* OpenCtApiLibrary(const std::string& fileName);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

}  // namespace orva::terminal::detail
