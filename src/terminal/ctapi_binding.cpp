#include "terminal/ctapi_binding.h"

#include <atomic>

#include "terminal/library.h"

namespace orva::terminal {

namespace {

CtApiEntryPoints gEntryPoints;
std::atomic<void*> gLibrary{nullptr};

// The one place where a looked-up symbol becomes a typed entry point.
template <typename Fn>
Fn Bind(void* library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(detail::FindSymbol(library, name)));
}

}  // namespace

CtApiEntryPoints& EntryPoints() { return gEntryPoints; }

std::string CtApiLibraryFileName(std::string_view kind, std::string_view suffix) {
    std::string name = "ct_api_";
    name += kind;
    name += suffix;
    name += detail::kLibraryExtension;
    return name;
}

LoadResult LoadCtApiLibrary(std::string_view portName, std::string_view suffix) {
    struct Kind {
        std::string_view word;
        std::string_view fileKind;
    };
    constexpr Kind kKinds[] = {{"COM", "com"}, {"USB", "usb"}, {"LAN", "lan"}};
    for (const Kind& kind : kKinds) {
        if (portName.find(kind.word) != std::string_view::npos) {
            // A library loaded by an earlier word and replaced here stays loaded, as the
            // handle of the last attempt is the one kept.
            gLibrary = detail::OpenCtApiLibrary(CtApiLibraryFileName(kind.fileKind, suffix));
        }
    }
    if (gLibrary.load() == nullptr) {
        return LoadResult::NoLibrary;
    }
    LookUpEntryPoints();
    return gEntryPoints.init == nullptr ? LoadResult::NoInit : LoadResult::Loaded;
}

void UnloadCtApiLibrary() {
    if (void* library = gLibrary.exchange(nullptr)) {
        detail::CloseLibrary(library);
    }
}

bool CtApiLibraryLoaded() { return gLibrary.load() != nullptr; }

void LookUpEntryPoints() {
    void* library = gLibrary.load();
    if (library == nullptr) {
        gEntryPoints = {};
        return;
    }
    gEntryPoints.init = Bind<CtInitFn>(library, "CT_init");
    gEntryPoints.data = Bind<CtDataFn>(library, "CT_data");
    gEntryPoints.close = Bind<CtCloseFn>(library, "CT_close");
}

}  // namespace orva::terminal
