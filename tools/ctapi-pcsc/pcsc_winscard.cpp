// The Pcsc interface over the platform's PC/SC functions. pcsc-lite keeps winscard's names and
// types, so one file serves both: only the header and the ANSI names (winscard's "A" functions)
// differ. The protocol control blocks are built here rather than taken from the library's
// g_rgSCardT0Pci/T1Pci data exports.
#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#define ORVA_SCARD_A(name) name##A
#else
#include <PCSC/winscard.h>
#define ORVA_SCARD_A(name) name
#endif

#include <algorithm>

#include "pcsc_winscard.h"

namespace orva::pcsc {
namespace {

ScardResult ResultOf(LONG rv) {
    return static_cast<ScardResult>(rv);
}

SCARDCONTEXT ContextOf(ScardContext context) {
    return static_cast<SCARDCONTEXT>(context);
}
SCARDHANDLE HandleOf(ScardHandle card) {
    return static_cast<SCARDHANDLE>(card);
}

class WinscardPcsc final : public Pcsc {
  public:
    ScardResult EstablishContext(ScardContext& context) override {
        SCARDCONTEXT ctx = 0;
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
        context = static_cast<ScardContext>(ctx);
        return ResultOf(rv);
    }

    ScardResult ReleaseContext(ScardContext context) override {
        return ResultOf(SCardReleaseContext(ContextOf(context)));
    }

    ScardResult ListReaders(ScardContext context, std::vector<std::string>& readers) override {
        readers.clear();
        DWORD length = 0;
        LONG rv = ORVA_SCARD_A(SCardListReaders)(ContextOf(context), nullptr, nullptr, &length);
        if (rv != SCARD_S_SUCCESS) {
            return ResultOf(rv);
        }
        std::vector<char> names(length + 1, '\0');
        rv = ORVA_SCARD_A(SCardListReaders)(ContextOf(context), nullptr, names.data(), &length);
        if (rv != SCARD_S_SUCCESS) {
            return ResultOf(rv);
        }
        // A multi-string: names ended by NUL, the list by one more NUL.
        const std::size_t end = std::min<std::size_t>(length, names.size() - 1);
        for (std::size_t i = 0; i < end && names[i] != '\0';) {
            std::string name(names.data() + i);
            i += name.size() + 1;
            readers.push_back(std::move(name));
        }
        return kScardSuccess;
    }

    ScardResult GetStatusChange(ScardContext context, const std::string& reader,
                                std::uint32_t currentState, std::uint32_t timeoutMs,
                                std::uint32_t& eventState) override {
        ORVA_SCARD_A(SCARD_READERSTATE) state{};
        state.szReader = reader.c_str();
        state.dwCurrentState = currentState;
        const LONG rv =
            ORVA_SCARD_A(SCardGetStatusChange)(ContextOf(context), timeoutMs, &state, 1);
        eventState = static_cast<std::uint32_t>(state.dwEventState);
        return ResultOf(rv);
    }

    ScardResult Connect(ScardContext context, const std::string& reader, ScardHandle& card,
                        std::uint32_t& protocol) override {
        SCARDHANDLE handle = 0;
        DWORD active = 0;
        const LONG rv =
            ORVA_SCARD_A(SCardConnect)(ContextOf(context), reader.c_str(), SCARD_SHARE_SHARED,
                                       SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &active);
        card = static_cast<ScardHandle>(handle);
        protocol = static_cast<std::uint32_t>(active);
        return ResultOf(rv);
    }

    ScardResult Status(ScardHandle card, std::vector<std::uint8_t>& atr) override {
        char name[512];
        DWORD nameLength = sizeof name;
        DWORD state = 0;
        DWORD protocol = 0;
        BYTE bytes[64];
        DWORD atrLength = sizeof bytes;
        const LONG rv = ORVA_SCARD_A(SCardStatus)(HandleOf(card), name, &nameLength, &state,
                                                  &protocol, bytes, &atrLength);
        if (rv == SCARD_S_SUCCESS) {
            atr.assign(bytes, bytes + std::min<DWORD>(atrLength, sizeof bytes));
        }
        return ResultOf(rv);
    }

    ScardResult Transmit(ScardHandle card, std::uint32_t protocol,
                         std::span<const std::uint8_t> command, std::vector<std::uint8_t>& response,
                         std::size_t room) override {
        SCARD_IO_REQUEST pci{};
        pci.dwProtocol = protocol;
        pci.cbPciLength = sizeof pci;
        response.assign(room, 0);
        DWORD length = static_cast<DWORD>(room);
        const LONG rv =
            SCardTransmit(HandleOf(card), &pci, command.data(), static_cast<DWORD>(command.size()),
                          nullptr, response.data(), &length);
        response.resize(rv == SCARD_S_SUCCESS ? std::min<std::size_t>(length, room) : 0);
        return ResultOf(rv);
    }

    ScardResult Disconnect(ScardHandle card, std::uint32_t disposition) override {
        return ResultOf(SCardDisconnect(HandleOf(card), disposition));
    }
};

}  // namespace

Pcsc& SystemPcsc() {
    static WinscardPcsc pcsc;
    return pcsc;
}

}  // namespace orva::pcsc
