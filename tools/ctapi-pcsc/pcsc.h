// The few PC/SC functions the CT-API library uses, as an interface: the real one calls winscard
// (Windows) or pcsc-lite (Linux), the unit tests put a scripted reader behind it. Handles and
// result codes travel as plain integers; the values of the constants below are the same in
// winscard.h and in pcsc-lite's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orva::pcsc {

using ScardResult = std::uint32_t;  // a LONG of the PC/SC API, as its 32 bits
using ScardContext = std::uintptr_t;
using ScardHandle = std::uintptr_t;

inline constexpr ScardResult kScardSuccess = 0x00000000;
inline constexpr ScardResult kScardFInternalError = 0x80100001;
inline constexpr ScardResult kScardECancelled = 0x80100002;
inline constexpr ScardResult kScardEInvalidHandle = 0x80100003;
inline constexpr ScardResult kScardEInvalidParameter = 0x80100004;
inline constexpr ScardResult kScardENoMemory = 0x80100006;
inline constexpr ScardResult kScardEInsufficientBuffer = 0x80100008;
inline constexpr ScardResult kScardEUnknownReader = 0x80100009;
inline constexpr ScardResult kScardETimeout = 0x8010000A;
inline constexpr ScardResult kScardESharingViolation = 0x8010000B;
inline constexpr ScardResult kScardENoSmartcard = 0x8010000C;
inline constexpr ScardResult kScardEProtoMismatch = 0x8010000F;
inline constexpr ScardResult kScardEInvalidValue = 0x80100011;
inline constexpr ScardResult kScardFCommError = 0x80100013;
inline constexpr ScardResult kScardENotTransacted = 0x80100016;
inline constexpr ScardResult kScardEReaderUnavailable = 0x80100017;
inline constexpr ScardResult kScardENoService = 0x8010001D;
inline constexpr ScardResult kScardEServiceStopped = 0x8010001E;
inline constexpr ScardResult kScardEUnsupportedFeatureLite = 0x8010001F;  // pcsc-lite's value
inline constexpr ScardResult kScardEUnsupportedFeature = 0x80100022;      // winscard's value
inline constexpr ScardResult kScardENoReadersAvailable = 0x8010002E;
inline constexpr ScardResult kScardECommDataLost = 0x8010002F;
inline constexpr ScardResult kScardWUnsupportedCard = 0x80100065;
inline constexpr ScardResult kScardWUnresponsiveCard = 0x80100066;
inline constexpr ScardResult kScardWUnpoweredCard = 0x80100067;
inline constexpr ScardResult kScardWResetCard = 0x80100068;
inline constexpr ScardResult kScardWRemovedCard = 0x80100069;

inline constexpr std::uint32_t kProtocolT0 = 0x0001;
inline constexpr std::uint32_t kProtocolT1 = 0x0002;

inline constexpr std::uint32_t kLeaveCard = 0;
inline constexpr std::uint32_t kResetCard = 1;
inline constexpr std::uint32_t kUnpowerCard = 2;

inline constexpr std::uint32_t kStateUnaware = 0x0000;
inline constexpr std::uint32_t kStateChanged = 0x0002;
inline constexpr std::uint32_t kStateEmpty = 0x0010;
inline constexpr std::uint32_t kStatePresent = 0x0020;
inline constexpr std::uint32_t kStateMute = 0x0200;

class Pcsc {
  public:
    virtual ~Pcsc() = default;

    virtual ScardResult EstablishContext(ScardContext& context) = 0;
    virtual ScardResult ReleaseContext(ScardContext context) = 0;
    // The names of the readers, in the order the service lists them.
    virtual ScardResult ListReaders(ScardContext context, std::vector<std::string>& readers) = 0;
    // One SCardGetStatusChange for one reader: returns when its state differs from
    // currentState or after timeoutMs (kScardETimeout).
    virtual ScardResult GetStatusChange(ScardContext context, const std::string& reader,
                                        std::uint32_t currentState, std::uint32_t timeoutMs,
                                        std::uint32_t& eventState) = 0;
    // Shared access, T=0 or T=1, whichever the card offers.
    virtual ScardResult Connect(ScardContext context, const std::string& reader, ScardHandle& card,
                                std::uint32_t& protocol) = 0;
    virtual ScardResult Status(ScardHandle card, std::vector<std::uint8_t>& atr) = 0;
    // Sends one APDU; the answer (at most room bytes) replaces response.
    virtual ScardResult Transmit(ScardHandle card, std::uint32_t protocol,
                                 std::span<const std::uint8_t> command,
                                 std::vector<std::uint8_t>& response, std::size_t room) = 0;
    virtual ScardResult Disconnect(ScardHandle card, std::uint32_t disposition) = 0;
};

}  // namespace orva::pcsc
