// A one-slot CT-BCS terminal over a PC/SC reader.
//
// CT_init(ctn, pn): a PC/SC context and the reader: number pn (1-based) in the service's list,
//   or, when ORVA_PCSC_READER is set, the first reader whose name contains that text. No such
//   reader: -8. A ctn that is already open: -1.
// CT_data, dad 1 (the terminal, CLA 20):
//   20 11 00 xx      RESET CT      drops the card connection (the card is reset) -> 90 00
//   20 11 01 xx      RESET ICC     reconnects a card that is in -> 90 01 / 90 00, else 64 00
//   20 12 01 P2 [01 T] REQUEST ICC waits up to T seconds for a card and connects it (T=1 or
//                                  T=0): 90 01 processor card, 90 00 memory card (by its ATR),
//                                  62 00 none came, 62 01 the card is connected already,
//                                  64 00 the card did not answer. P2 low nibble 1: the ATR
//                                  comes before the status word.
//   20 15 01 P2 [01 T] EJECT ICC   unpowers the card and waits up to T seconds for it to be
//                                  taken out: 90 00 it is out, 62 00 it is still in
//   other INS 6D 00, other CLA 6E 00, P1 not the slot 6A 00.
// CT_data, dad 0 (the card):
//   processor card: the command goes to the card as it is. Under T=0 61 xx fetches the rest
//   with GET RESPONSE and 6C xx resends with Le xx. An extended-length command (Le 00 xx xx)
//   that the reader refuses, or any under T=0, is answered 67 00 so that the caller falls back
//   to short reads (unless the card went out meanwhile: -10). A Le larger than the caller's
//   room is lowered to fit. An answer without a status word is -10.
//   memory card (through the PC/SC storage-card command FF B0 00 offset Le):
//     00 A4 04 xx Lc AID  90 00 when the card's directory holds that identifier, else 6A 82
//     00 B0 P1 P2 Le      the application from offset P1 P2: n bytes + 90 00, fewer + 62 82
//                         at its end, 6B 00 past it; 69 86 before the SELECT
//     00 0E ..            69 82: nothing is ever written to a memory card
//   a reader without FF B0: 6A 81 to SELECT and READ BINARY.
//   No card connected: -10.
// Commands shorter than four bytes: -1, nothing is sent. A successful call writes back sad =
// the unit that answered and dad = 2 (the host). lenr is always set: on a failed call to 0,
// and an answer longer than the caller's room is cut to it and returns -11.
// Every PC/SC error is one CT-API result (CtResultOf) and a trace line.
//
// ORVA_PCSC_TRACE=FILE appends one line per call, as the simulated terminal writes them:
//   CT_init ctn=1 pn=1 -> 0
//   CT_data ctn=1 dad=1 sad=2 cmd=20 11 00 00 00 -> 90 00 rc=0
//   CT_close ctn=1 -> 0
// preceded by "reader: <name>" at CT_init and "PC/SC <function>: 0x<code>" for each error.
#include "pcsc_terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

namespace orva::pcsc {
namespace {

constexpr std::uint8_t kUnitCard = 0;
constexpr std::uint8_t kUnitTerminal = 1;
constexpr std::uint8_t kUnitHost = 2;

constexpr std::size_t kMaxAnswer = 65536 + 2;
constexpr std::size_t kMemorySize = 256;  // the KVK chip
constexpr int kMaxStatusWaits = 1000;     // bound on state changes within one wait
constexpr int kMaxT0Rounds = 64;
constexpr unsigned kRefusalSettleMs = 1000;  // pcscd looks at its readers every 400 ms

using Bytes = std::vector<std::uint8_t>;

Bytes Sw(std::uint8_t sw1, std::uint8_t sw2) {
    return {sw1, sw2};
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

// The time byte of REQUEST ICC / EJECT ICC: 20 xx 01 P2 01 T [Le]; none: 0 seconds.
unsigned WaitSeconds(std::span<const std::uint8_t> cmd) {
    return cmd.size() >= 6 && cmd[4] == 0x01 ? cmd[5] : 0u;
}

// A case-2 command with an extended Le: CLA INS P1 P2 00 Le1 Le2.
bool IsExtendedRead(std::span<const std::uint8_t> cmd) {
    return cmd.size() == 7 && cmd[4] == 0x00;
}

// The card was taken out or stopped answering: the connection is gone.
bool CardGone(ScardResult error) {
    return error == kScardWRemovedCard || error == kScardENoSmartcard ||
           error == kScardWResetCard || error == kScardWUnpoweredCard;
}

// What a reader answers to a command it cannot carry (here: an extended length).
bool Refusal(ScardResult error) {
    return error == kScardEInvalidParameter || error == kScardEInvalidValue ||
           error == kScardENotTransacted || error == kScardEInsufficientBuffer ||
           error == kScardEProtoMismatch || error == kScardEUnsupportedFeature ||
           error == kScardEUnsupportedFeatureLite || error == kScardECommDataLost;
}

// Length of a BER-TLV object at the start of bytes (tag byte, length), or 0 when unreadable.
std::size_t TlvSize(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) {
        return 0;
    }
    if (bytes[1] < 0x80) {
        return 2u + bytes[1];
    }
    if (bytes[1] == 0x81 && bytes.size() >= 3) {
        return 3u + bytes[2];
    }
    if (bytes[1] == 0x82 && bytes.size() >= 4) {
        return 4u + (static_cast<std::size_t>(bytes[2]) << 8 | bytes[3]);
    }
    return 0;
}

}  // namespace

std::int8_t CtResultOf(ScardResult error) {
    switch (error) {
        case kScardSuccess:
            return kCtOk;
        case kScardEInvalidHandle:
        case kScardEInvalidParameter:
        case kScardEInvalidValue:
            return kCtErrInvalid;
        case kScardENoMemory:
        case kScardEInsufficientBuffer:
            return kCtErrMemory;
        case kScardENoService:
        case kScardEServiceStopped:
        case kScardFInternalError:
        case kScardFCommError:
        case kScardECancelled:
            return kCtErrHtsi;
        case kScardETimeout:
        case kScardENoSmartcard:
        case kScardEProtoMismatch:
        case kScardENotTransacted:
        case kScardECommDataLost:
        case kScardWUnsupportedCard:
        case kScardWUnresponsiveCard:
        case kScardWUnpoweredCard:
        case kScardWResetCard:
        case kScardWRemovedCard:
            return kCtErrTrans;
        default:  // the reader: unknown, unavailable, in use, ...
            return kCtErrCt;
    }
}

bool IsMemoryCardAtr(const std::vector<std::uint8_t>& atr) {
    // A storage card as PC/SC readers present it: historical bytes 80 4F 0C A0 00 00 03 06 ...
    static constexpr std::uint8_t kStorageRid[] = {0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06};
    if (std::search(atr.begin(), atr.end(), std::begin(kStorageRid), std::end(kStorageRid)) !=
        atr.end()) {
        return true;
    }
    // A synchronous chip's own header as historical bytes, no interface bytes: 3B 04 A2 13 10 91
    // (H1 82, 92 or A2: 2-wire/3-wire protocol; H2 13).
    if (atr.size() < 4 || (atr[1] & 0xF0) != 0) {
        return false;
    }
    const std::uint8_t h1 = atr[2];
    return (h1 == 0x82 || h1 == 0x92 || h1 == 0xA2) && atr[3] == 0x13;
}

void PcscTerminals::Trace(const std::string& line) {
    const std::optional<std::string> path = env_("ORVA_PCSC_TRACE");
    if (!path) {
        pending_.clear();
        return;
    }
    if (std::FILE* file = std::fopen(path->c_str(), "ab")) {
        for (const std::string& earlier : pending_) {
            std::fputs((earlier + "\n").c_str(), file);
        }
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
    pending_.clear();
}

void PcscTerminals::TraceError(const char* function, ScardResult error) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(error));
    pending_.push_back(std::string("PC/SC ") + function + ": " + code);
}

std::int8_t PcscTerminals::Init(std::uint16_t ctn, std::uint16_t pn) {
    std::lock_guard lock(mutex_);
    std::int8_t result = kCtErrInvalid;
    try {
        if (!open_.contains(ctn)) {
            Terminal t;
            ScardResult error = pcsc_.EstablishContext(t.context);
            if (error != kScardSuccess) {
                TraceError("SCardEstablishContext", error);
                result = CtResultOf(error);
            } else {
                std::vector<std::string> readers;
                error = pcsc_.ListReaders(t.context, readers);
                if (error != kScardSuccess && error != kScardENoReadersAvailable) {
                    TraceError("SCardListReaders", error);
                    result = CtResultOf(error);
                } else {
                    const std::optional<std::string> wanted = env_("ORVA_PCSC_READER");
                    std::optional<std::string> chosen;
                    if (wanted) {
                        for (const std::string& name : readers) {
                            if (name.find(*wanted) != std::string::npos) {
                                chosen = name;
                                break;
                            }
                        }
                    } else if (pn >= 1 && pn <= readers.size()) {
                        chosen = readers[pn - 1u];
                    }
                    if (chosen) {
                        t.reader = *chosen;
                        pending_.push_back("reader: " + t.reader);
                        open_.emplace(ctn, std::move(t));
                        result = kCtOk;
                    } else {
                        pending_.push_back("no reader " +
                                           (wanted ? "named like \"" + *wanted + "\""
                                                   : "number " + std::to_string(pn)) +
                                           " among " + std::to_string(readers.size()));
                        result = kCtErrCt;
                    }
                }
                if (result != kCtOk) {
                    (void)pcsc_.ReleaseContext(t.context);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        result = kCtErrMemory;
    } catch (...) {
        result = kCtErrHtsi;
    }
    Trace("CT_init ctn=" + std::to_string(ctn) + " pn=" + std::to_string(pn) + " -> " +
          std::to_string(result));
    return result;
}

std::int8_t PcscTerminals::Close(std::uint16_t ctn) {
    std::lock_guard lock(mutex_);
    std::int8_t result = kCtErrInvalid;
    try {
        if (const auto it = open_.find(ctn); it != open_.end()) {
            DropCard(it->second, kResetCard);
            if (const ScardResult error = pcsc_.ReleaseContext(it->second.context);
                error != kScardSuccess) {
                TraceError("SCardReleaseContext", error);
            }
            open_.erase(it);
            result = kCtOk;
        }
    } catch (...) {
        result = kCtErrHtsi;
    }
    Trace("CT_close ctn=" + std::to_string(ctn) + " -> " + std::to_string(result));
    return result;
}

std::int8_t PcscTerminals::Data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                                std::uint16_t lenc, const std::uint8_t* command,
                                std::uint16_t* lenr, std::uint8_t* response) {
    std::lock_guard lock(mutex_);
    const int dadIn = dad != nullptr ? *dad : -1;
    const int sadIn = sad != nullptr ? *sad : -1;
    const std::span<const std::uint8_t> cmd = command != nullptr
                                                  ? std::span<const std::uint8_t>(command, lenc)
                                                  : std::span<const std::uint8_t>();
    const std::size_t room = lenr != nullptr ? *lenr : 0;
    if (lenr != nullptr) {
        *lenr = 0;
    }
    Outcome out{kCtErrInvalid, {}};
    try {
        const auto it = open_.find(ctn);
        const bool callOk = dad != nullptr && sad != nullptr && lenr != nullptr &&
                            response != nullptr && (command != nullptr || lenc == 0);
        if (callOk && it != open_.end() && cmd.size() >= 4 &&
            (dadIn == kUnitCard || dadIn == kUnitTerminal)) {
            out = dadIn == kUnitTerminal ? TerminalCommand(it->second, cmd)
                                         : CardCommand(it->second, cmd, room);
        }
        if (out.result == kCtOk) {
            const std::size_t count = std::min(out.answer.size(), room);
            std::copy_n(out.answer.begin(), count, response);
            *lenr = static_cast<std::uint16_t>(count);
            *sad = static_cast<std::uint8_t>(dadIn);
            *dad = kUnitHost;
            if (count < out.answer.size()) {
                out.answer.resize(count);
                out.result = kCtErrMemory;
            }
        } else {
            out.answer.clear();
        }
    } catch (const std::bad_alloc&) {
        out = {kCtErrMemory, {}};
    } catch (...) {
        out = {kCtErrHtsi, {}};
    }
    Trace("CT_data ctn=" + std::to_string(ctn) + " dad=" + std::to_string(dadIn) +
          " sad=" + std::to_string(sadIn) + " cmd=" + HexText(cmd) + " -> " +
          (out.answer.empty() ? "" : HexText(out.answer) + " ") +
          "rc=" + std::to_string(out.result));
    return out.result;
}

PcscTerminals::Outcome PcscTerminals::TerminalCommand(Terminal& t,
                                                      std::span<const std::uint8_t> cmd) {
    if (cmd[0] != 0x20) {
        return {kCtOk, Sw(0x6E, 0x00)};
    }
    switch (cmd[1]) {
        case 0x11:  // RESET CT / RESET ICC
            if (cmd[2] == 0x00) {
                DropCard(t, kResetCard);
                return {kCtOk, Sw(0x90, 0x00)};
            }
            if (cmd[2] != 0x01) {
                return {kCtOk, Sw(0x6A, 0x00)};
            }
            DropCard(t, kResetCard);
            {
                Outcome out = RequestIcc(t, cmd, 0);
                if (out.result == kCtOk && out.answer.size() == 2 && out.answer[0] == 0x62) {
                    out.answer = Sw(0x64, 0x00);
                }
                return out;
            }
        case 0x12:  // REQUEST ICC
            if (cmd[2] != 0x01) {
                return {kCtOk, Sw(0x6A, 0x00)};
            }
            return RequestIcc(t, cmd, WaitSeconds(cmd));
        case 0x15:  // EJECT ICC
            if (cmd[2] != 0x01) {
                return {kCtOk, Sw(0x6A, 0x00)};
            }
            return EjectIcc(t, WaitSeconds(cmd));
        default:
            return {kCtOk, Sw(0x6D, 0x00)};
    }
}

PcscTerminals::Outcome PcscTerminals::RequestIcc(Terminal& t, std::span<const std::uint8_t> cmd,
                                                 unsigned seconds) {
    if (t.connected) {
        std::vector<std::uint8_t> atr;
        const ScardResult error = pcsc_.Status(t.card, atr);
        if (error == kScardSuccess) {
            return {kCtOk, Sw(0x62, 0x01)};
        }
        TraceError("SCardStatus", error);
        DropCard(t, kLeaveCard);
    }
    bool present = false;
    ScardResult error = WaitForCard(t, true, seconds * 1000u, present);
    if (error != kScardSuccess) {
        return {CtResultOf(error), {}};
    }
    if (!present) {
        return {kCtOk, Sw(0x62, 0x00)};
    }
    error = ConnectCard(t);
    if (error != kScardSuccess) {
        // A card that is in but does not answer its reset.
        return CardGone(error) || error == kScardWUnresponsiveCard ||
                       error == kScardWUnsupportedCard || error == kScardEProtoMismatch
                   ? Outcome{kCtOk, Sw(0x64, 0x00)}
                   : Outcome{CtResultOf(error), {}};
    }
    Bytes answer;
    if ((cmd[3] & 0x0F) == 0x01) {
        answer = t.atr;
    }
    answer.push_back(0x90);
    answer.push_back(t.memory ? 0x00 : 0x01);
    return {kCtOk, answer};
}

PcscTerminals::Outcome PcscTerminals::EjectIcc(Terminal& t, unsigned seconds) {
    DropCard(t, kUnpowerCard);
    bool out = false;
    const ScardResult error = WaitForCard(t, false, seconds * 1000u, out);
    if (error != kScardSuccess) {
        return {CtResultOf(error), {}};
    }
    return {kCtOk, out ? Sw(0x90, 0x00) : Sw(0x62, 0x00)};
}

ScardResult PcscTerminals::WaitForCard(Terminal& t, bool present, unsigned milliseconds,
                                       bool& reached) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    reached = false;
    std::uint32_t known = kStateUnaware;
    for (int i = 0; i < kMaxStatusWaits; ++i) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        // The first look only asks for the state as it is.
        const std::uint32_t timeout =
            i == 0 ? 0u : static_cast<std::uint32_t>(std::max<long long>(left.count(), 0));
        std::uint32_t state = 0;
        const ScardResult error = pcsc_.GetStatusChange(t.context, t.reader, known, timeout, state);
        if (error == kScardETimeout) {
            return kScardSuccess;
        }
        if (error != kScardSuccess) {
            TraceError("SCardGetStatusChange", error);
            return error;
        }
        const bool in = (state & kStatePresent) != 0;
        if (present ? in && (state & kStateMute) == 0 : !in) {
            reached = true;
            return kScardSuccess;
        }
        if (i > 0 && timeout == 0) {
            return kScardSuccess;
        }
        known = state & ~kStateChanged;
    }
    return kScardSuccess;
}

ScardResult PcscTerminals::ConnectCard(Terminal& t) {
    ScardResult error = pcsc_.Connect(t.context, t.reader, t.card, t.protocol);
    if (error != kScardSuccess) {
        TraceError("SCardConnect", error);
        return error;
    }
    t.connected = true;
    t.atr.clear();
    error = pcsc_.Status(t.card, t.atr);
    if (error != kScardSuccess) {
        TraceError("SCardStatus", error);
        DropCard(t, kLeaveCard);
        return error;
    }
    t.memory = IsMemoryCardAtr(t.atr);
    t.storage = false;
    t.appSelected = false;
    t.header.clear();
    if (t.memory) {
        // Whether the reader offers the storage-card commands: the chip's first four bytes.
        Bytes header;
        error = ReadMemory(t, 0, 4, header);
        if (error == kScardSuccess && header.size() == 4) {
            t.storage = true;
            t.header = header;
        } else if (error != kScardSuccess && CardGone(error)) {
            DropCard(t, kLeaveCard);
            return error;
        }
    }
    return kScardSuccess;
}

void PcscTerminals::DropCard(Terminal& t, std::uint32_t disposition) {
    if (!t.connected) {
        return;
    }
    if (const ScardResult error = pcsc_.Disconnect(t.card, disposition);
        error != kScardSuccess && !CardGone(error)) {
        TraceError("SCardDisconnect", error);
    }
    t.connected = false;
    t.card = 0;
    t.appSelected = false;
}

PcscTerminals::Outcome PcscTerminals::CardCommand(Terminal& t, std::span<const std::uint8_t> cmd,
                                                  std::size_t room) {
    if (!t.connected) {
        return {kCtErrTrans, {}};
    }
    if (t.memory) {
        return MemoryCardCommand(t, cmd, room);
    }
    Bytes send(cmd.begin(), cmd.end());
    const bool extended = IsExtendedRead(cmd);
    // A Le beyond the caller's room asks for an answer that could not be handed over.
    const std::size_t fits = room >= 2 ? room - 2 : 0;
    if (extended) {
        if (t.protocol == kProtocolT0) {
            return {kCtOk, Sw(0x67, 0x00)};
        }
        const std::size_t le = (send[5] << 8 | send[6]) == 0
                                   ? 65536u
                                   : static_cast<std::size_t>(send[5] << 8 | send[6]);
        if (le > fits && fits > 0) {
            send[5] = static_cast<std::uint8_t>(fits >> 8);
            send[6] = static_cast<std::uint8_t>(fits & 0xFF);
        }
    } else if (send.size() == 5) {
        const std::size_t le = send[4] == 0 ? 256u : send[4];
        if (le > fits && fits > 0) {
            send[4] = static_cast<std::uint8_t>(fits);
        }
    }
    Bytes answer;
    ScardResult error = TransmitT0(t, send, answer);
    if (error == kScardSuccess && answer.size() < 2) {
        pending_.push_back("no status word in the card's answer");
        return {kCtErrTrans, {}};
    }
    if (error != kScardSuccess && extended && Refusal(error)) {
        // A reader says the same when it cannot carry an extended length and when the card
        // went away during the exchange; the service sees a card go within its polling time.
        bool gone = false;
        const ScardResult waited = WaitForCard(t, false, kRefusalSettleMs, gone);
        if (waited == kScardSuccess && !gone) {
            return {kCtOk, Sw(0x67, 0x00)};
        }
        error = waited == kScardSuccess ? kScardWRemovedCard : waited;
    }
    if (error != kScardSuccess) {
        if (CardGone(error)) {
            DropCard(t, kLeaveCard);
        }
        return {CtResultOf(error), {}};
    }
    return {kCtOk, answer};
}

// One command and, under T=0, the protocol's follow-ups: 61 xx asks for GET RESPONSE with
// Le xx, 6C xx for the same command again with Le xx.
ScardResult PcscTerminals::TransmitT0(Terminal& t, std::span<const std::uint8_t> cmd,
                                      std::vector<std::uint8_t>& answer) {
    Bytes send(cmd.begin(), cmd.end());
    Bytes collected;
    for (int round = 0; round < kMaxT0Rounds; ++round) {
        Bytes got;
        const ScardResult error = pcsc_.Transmit(t.card, t.protocol, send, got, kMaxAnswer);
        if (error != kScardSuccess) {
            TraceError("SCardTransmit", error);
            return error;
        }
        if (t.protocol != kProtocolT0 || got.size() < 2) {
            collected.insert(collected.end(), got.begin(), got.end());
            break;
        }
        const std::uint8_t sw1 = got[got.size() - 2];
        const std::uint8_t sw2 = got[got.size() - 1];
        if (sw1 == 0x61) {
            collected.insert(collected.end(), got.begin(), got.end() - 2);
            send = {cmd[0], 0xC0, 0x00, 0x00, sw2};
            continue;
        }
        if (sw1 == 0x6C && got.size() == 2) {
            if (send.size() == 5) {
                send[4] = sw2;
            } else {
                send.push_back(sw2);
            }
            continue;
        }
        collected.insert(collected.end(), got.begin(), got.end());
        break;
    }
    answer = std::move(collected);
    return kScardSuccess;
}

ScardResult PcscTerminals::ReadMemory(Terminal& t, std::size_t offset, std::size_t count,
                                      std::vector<std::uint8_t>& data) {
    data.clear();
    if (count == 0) {
        return kScardSuccess;
    }
    const std::uint8_t send[] = {0xFF, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                 static_cast<std::uint8_t>(offset & 0xFF),
                                 static_cast<std::uint8_t>(count & 0xFF)};
    Bytes got;
    const ScardResult error = pcsc_.Transmit(t.card, t.protocol, send, got, count + 2);
    if (error != kScardSuccess) {
        TraceError("SCardTransmit", error);
        return error;
    }
    if (got.size() >= 2 && got[got.size() - 2] == 0x90 && got[got.size() - 1] == 0x00) {
        data.assign(got.begin(), got.end() - 2);
        if (data.size() > count) {
            data.resize(count);
        }
    }
    return kScardSuccess;
}

// Finds the application identifier in the card's directory; sets the application's place.
bool PcscTerminals::LocateApplication(Terminal& t, std::span<const std::uint8_t> aid,
                                      ScardResult& error) {
    if (t.header.size() < 4) {
        return false;
    }
    const std::size_t dirOffset = t.header[3] & 0x7Fu;
    Bytes dirHead;
    error = ReadMemory(t, dirOffset, 2, dirHead);
    if (error != kScardSuccess || dirHead.size() < 2) {
        return false;
    }
    const std::size_t dirSize = 2u + dirHead[1];
    if (dirOffset + dirSize > kMemorySize) {
        return false;
    }
    Bytes dir;
    error = ReadMemory(t, dirOffset + 2, dirHead[1], dir);
    if (error != kScardSuccess || dir.size() != dirHead[1]) {
        return false;
    }
    Bytes wanted = {0x4F, static_cast<std::uint8_t>(aid.size())};
    wanted.insert(wanted.end(), aid.begin(), aid.end());
    if (std::search(dir.begin(), dir.end(), wanted.begin(), wanted.end()) == dir.end()) {
        return false;
    }
    t.appOffset = dirOffset + dirSize;
    t.appLength = kMemorySize - t.appOffset;
    // The application is the template 60 L ...; its length ends the file.
    Bytes head;
    error = ReadMemory(t, t.appOffset, std::min<std::size_t>(4, t.appLength), head);
    if (error != kScardSuccess) {
        return false;
    }
    if (!head.empty() && head[0] == 0x60) {
        if (const std::size_t size = TlvSize(head); size > 0) {
            t.appLength = std::min(t.appLength, size);
        }
    }
    return true;
}

PcscTerminals::Outcome PcscTerminals::MemoryCardCommand(Terminal& t,
                                                        std::span<const std::uint8_t> cmd,
                                                        std::size_t room) {
    if (cmd[0] != 0x00) {
        return {kCtOk, Sw(0x6E, 0x00)};
    }
    const std::uint8_t ins = cmd[1];
    if (ins == 0x0E) {
        return {kCtOk, Sw(0x69, 0x82)};
    }
    if (ins != 0xA4 && ins != 0xB0) {
        return {kCtOk, Sw(0x6D, 0x00)};
    }
    if (!t.storage) {
        return {kCtOk, Sw(0x6A, 0x81)};
    }
    ScardResult error = kScardSuccess;
    if (ins == 0xA4) {
        if (cmd[2] != 0x04 || cmd.size() < 5 || cmd.size() < 5u + cmd[4] || cmd[4] == 0) {
            return {kCtOk, Sw(0x6A, 0x82)};
        }
        t.appSelected = LocateApplication(t, cmd.subspan(5, cmd[4]), error);
        if (error != kScardSuccess) {
            t.appSelected = false;
            if (CardGone(error)) {
                DropCard(t, kLeaveCard);
            }
            return {CtResultOf(error), {}};
        }
        return {kCtOk, t.appSelected ? Sw(0x90, 0x00) : Sw(0x6A, 0x82)};
    }
    // READ BINARY 00 B0 P1 P2 Le
    if (!t.appSelected) {
        return {kCtOk, Sw(0x69, 0x86)};
    }
    if (cmd.size() != 5) {
        return {kCtOk, Sw(0x67, 0x00)};
    }
    if (cmd[2] & 0x80) {
        return {kCtOk, Sw(0x6A, 0x81)};
    }
    const std::size_t offset = static_cast<std::size_t>(cmd[2] << 8 | cmd[3]);
    if (offset >= t.appLength) {
        return {kCtOk, Sw(0x6B, 0x00)};
    }
    const std::size_t le = cmd[4] == 0 ? 256u : cmd[4];
    const std::size_t fits = room >= 2 ? room - 2 : 0;
    const std::size_t count = std::min({le, t.appLength - offset, fits});
    Bytes data;
    error = ReadMemory(t, t.appOffset + offset, count, data);
    if (error != kScardSuccess) {
        if (CardGone(error)) {
            DropCard(t, kLeaveCard);
        }
        return {CtResultOf(error), {}};
    }
    if (data.size() != count) {
        return {kCtOk, Sw(0x65, 0x81)};  // memory failure
    }
    const bool ended = t.appLength - offset < le && count == t.appLength - offset;
    data.push_back(ended ? 0x62 : 0x90);
    data.push_back(ended ? 0x82 : 0x00);
    return {kCtOk, data};
}

}  // namespace orva::pcsc
