// dlopen: the program's own folder first (where the installation puts the CT-API libraries),
// then the loader's search path by bare name.
#include <dlfcn.h>

#include "core/platform.h"
#include "terminal/library.h"

namespace orva::terminal::detail {

const char* const kLibraryExtension = ".so";

void* OpenCtApiLibrary(const std::string& fileName) {
    const std::string local = core::ProgramDirectory() + fileName;
    if (void* handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return handle;
    }
    return dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void CloseLibrary(void* library) {
    dlclose(library);
}

}  // namespace orva::terminal::detail
