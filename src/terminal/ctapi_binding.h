// The CT-API a reading run talks to: the three entry points, passed to the run as one object.
//
// Two kinds of provider:
//   CtApiLibrary   a card-terminal library loaded from disk. It owns the module and keeps the
//                  reading run's rule for its entry points: CT_close is emptied after each call,
//                  and the next run looks the three entry points up again before it starts.
//   in-process     any other CtApi (the tests' scripted terminal, transports built in): it
//                  answers run after run for as long as it lives.
//
// The library's file name is built from the port name and the -L suffix: "ct_api_com",
// "ct_api_usb" or "ct_api_lan", the suffix, and ".dll" on Windows (".so" on Linux). On Windows it
// is loaded by bare name through the standard search order, with the current directory taken
// out of it first; on Linux the program's own folder is tried first, then the loader's path.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "terminal/ctapi.h"
#include "terminal/library.h"

namespace orva::terminal {

class CtApi {
  public:
    virtual ~CtApi() = default;

    // Called once at the start of every reading run, before CT_init. False when an entry point
    // is missing: the run then calls nothing and reports a failed CT_init.
    [[nodiscard]] virtual bool BeginRun() = 0;

    virtual std::int8_t Init(std::uint16_t ctn, std::uint16_t pn) = 0;
    // CT_data: the addresses go in and come back as the terminal wrote them; lenr announces the
    // room in response and holds the answer's length afterwards.
    virtual std::int8_t Data(std::uint16_t ctn, std::uint8_t& dad, std::uint8_t& sad,
                             std::span<const std::uint8_t> command, std::uint16_t& lenr,
                             std::span<std::uint8_t> response) = 0;
    virtual std::int8_t Close(std::uint16_t ctn) = 0;
};

struct CtApiEntryPoints {
    CtInitFn init = nullptr;
    CtDataFn data = nullptr;
    CtCloseFn close = nullptr;
};

enum class LoadResult { Loaded, NoLibrary, NoInit };

class CtApiLibrary final : public CtApi {
  public:
    CtApiLibrary() = default;

    // portName is upper case; suffix has 1 to 3 characters. Each of COM, USB and LAN found in
    // the port name is tried in that order; the last attempted load decides.
    [[nodiscard]] LoadResult Load(std::string_view portName, std::string_view suffix);
    // Releases the module; every entry point is empty afterwards.
    void Unload();
    [[nodiscard]] bool Loaded() const { return static_cast<bool>(module_); }

    const CtApiEntryPoints& EntryPoints() const { return entry_; }

    bool BeginRun() override;
    std::int8_t Init(std::uint16_t ctn, std::uint16_t pn) override;
    std::int8_t Data(std::uint16_t ctn, std::uint8_t& dad, std::uint8_t& sad,
                     std::span<const std::uint8_t> command, std::uint16_t& lenr,
                     std::span<std::uint8_t> response) override;
    // Calls CT_close and empties the entry, so that the next run looks them up again.
    std::int8_t Close(std::uint16_t ctn) override;

  private:
    // Looks the three entry points up again in the module (a null when one is missing, or when
    // no module is loaded).
    void LookUpEntryPoints();

    Module module_;
    CtApiEntryPoints entry_;
};

// "ct_api_usb01.dll" (Windows) or "ct_api_usb01.so" (Linux) for kind "usb" and suffix "01".
std::string CtApiLibraryFileName(std::string_view kind, std::string_view suffix);

}  // namespace orva::terminal
