#include "terminal/ctapi_binding.h"

#include <vector>

namespace orva::terminal {

namespace {

// The one place where a looked-up symbol becomes a typed entry point; the types come from the
// prototypes in ctapi.h.
template <typename Fn>
Fn Bind(void* library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(detail::FindSymbol(library, name)));
}

// Reported when the library lacks the entry point that was to be called.
constexpr std::int8_t kCtErrInvalid = -1;

}  // namespace

std::string CtApiLibraryFileName(std::string_view kind, std::string_view suffix) {
    std::string name = "ct_api_";
    name += kind;
    name += suffix;
    name += detail::kLibraryExtension;
    return name;
}

LoadResult CtApiLibrary::Load(std::string_view portName, std::string_view suffix) {
    struct Kind {
        std::string_view word;
        std::string_view fileKind;
    };
    constexpr Kind kKinds[] = {{"COM", "com"}, {"USB", "usb"}, {"LAN", "lan"}};
    for (const Kind& kind : kKinds) {
        if (portName.find(kind.word) != std::string_view::npos) {
            // The last attempt decides; a library loaded by an earlier word and replaced here
            // is released, as none of its entry points is ever used.
            module_ = Module(detail::OpenCtApiLibrary(CtApiLibraryFileName(kind.fileKind, suffix)));
        }
    }
    LookUpEntryPoints();
    if (!module_) {
        return LoadResult::NoLibrary;
    }
    return entry_.init == nullptr ? LoadResult::NoInit : LoadResult::Loaded;
}

void CtApiLibrary::Unload() {
    module_.Reset();
    entry_ = {};
}

void CtApiLibrary::LookUpEntryPoints() {
    if (!module_) {
        entry_ = {};
        return;
    }
    entry_.init = Bind<CtInitFn>(module_.Get(), "CT_init");
    entry_.data = Bind<CtDataFn>(module_.Get(), "CT_data");
    entry_.close = Bind<CtCloseFn>(module_.Get(), "CT_close");
}

bool CtApiLibrary::BeginRun() {
    if (entry_.close == nullptr) {
        LookUpEntryPoints();
    }
    return entry_.init != nullptr && entry_.data != nullptr && entry_.close != nullptr;
}

std::int8_t CtApiLibrary::Init(std::uint16_t ctn, std::uint16_t pn) {
    return entry_.init != nullptr ? entry_.init(ctn, pn) : kCtErrInvalid;
}

std::int8_t CtApiLibrary::Data(std::uint16_t ctn, std::uint8_t& dad, std::uint8_t& sad,
                               std::span<const std::uint8_t> command, std::uint16_t& lenr,
                               std::span<std::uint8_t> response) {
    if (entry_.data == nullptr) {
        lenr = 0;  // no entry point to call: no answer at all
        return kCtErrInvalid;
    }
    // The prototype takes the command writable; the library gets a copy of its own.
    std::vector<std::uint8_t> sent(command.begin(), command.end());
    return entry_.data(ctn, &dad, &sad, static_cast<std::uint16_t>(sent.size()), sent.data(), &lenr,
                       response.data());
}

std::int8_t CtApiLibrary::Close(std::uint16_t ctn) {
    const std::int8_t result = entry_.close != nullptr ? entry_.close(ctn) : kCtErrInvalid;
    entry_.close = nullptr;
    return result;
}

}  // namespace orva::terminal
