// The CT-API over PC/SC: what CT_init, CT_data and CT_close do, against the Pcsc interface.
// ctapi_pcsc.cpp exports it with the real PC/SC functions behind; the unit tests drive it
// through a scripted reader.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pcsc.h"

namespace orva::pcsc {

// Reads one environment variable: nullopt when it is unset or empty.
using EnvLookup = std::function<std::optional<std::string>(const char*)>;

// CT-API results.
inline constexpr std::int8_t kCtOk = 0;
inline constexpr std::int8_t kCtErrInvalid = -1;
inline constexpr std::int8_t kCtErrCt = -8;
inline constexpr std::int8_t kCtErrTrans = -10;
inline constexpr std::int8_t kCtErrMemory = -11;
inline constexpr std::int8_t kCtErrHtsi = -128;

// The one CT-API result a PC/SC error stands for.
std::int8_t CtResultOf(ScardResult error);

// Whether an ATR is that of a memory card (a synchronous chip, or a storage card as the PC/SC
// reader presents it).
bool IsMemoryCardAtr(const std::vector<std::uint8_t>& atr);

class PcscTerminals {
  public:
    PcscTerminals(Pcsc& pcsc, EnvLookup env) : pcsc_(pcsc), env_(std::move(env)) {}

    std::int8_t Init(std::uint16_t ctn, std::uint16_t pn);
    std::int8_t Data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                     const std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response);
    std::int8_t Close(std::uint16_t ctn);

  private:
    struct Terminal;
    struct Outcome {
        std::int8_t result = kCtOk;
        std::vector<std::uint8_t> answer;
    };

    Outcome TerminalCommand(Terminal& t, std::span<const std::uint8_t> cmd);
    Outcome CardCommand(Terminal& t, std::span<const std::uint8_t> cmd, std::size_t room);
    Outcome MemoryCardCommand(Terminal& t, std::span<const std::uint8_t> cmd, std::size_t room);
    Outcome RequestIcc(Terminal& t, std::span<const std::uint8_t> cmd, unsigned seconds);
    Outcome EjectIcc(Terminal& t, unsigned seconds);
    // Waits until a card is in (present) or out; reached false when the time ran out.
    ScardResult WaitForCard(Terminal& t, bool present, unsigned milliseconds, bool& reached);
    ScardResult ConnectCard(Terminal& t);
    void DropCard(Terminal& t, std::uint32_t disposition);
    ScardResult TransmitT0(Terminal& t, std::span<const std::uint8_t> cmd,
                           std::vector<std::uint8_t>& answer);
    ScardResult ReadMemory(Terminal& t, std::size_t offset, std::size_t count,
                           std::vector<std::uint8_t>& data);
    bool LocateApplication(Terminal& t, std::span<const std::uint8_t> aid, ScardResult& error);

    void Trace(const std::string& line);
    void TraceError(const char* function, ScardResult error);

    Pcsc& pcsc_;
    EnvLookup env_;
    std::mutex mutex_;
    std::map<std::uint16_t, Terminal> open_;
    std::vector<std::string> pending_;  // trace lines written before the call's own line
};

struct PcscTerminals::Terminal {
    ScardContext context = 0;
    std::string reader;
    bool connected = false;
    ScardHandle card = 0;
    std::uint32_t protocol = 0;
    std::vector<std::uint8_t> atr;
    bool memory = false;               // a memory card: the library answers its commands itself
    bool storage = false;              // the reader reads memory cards (FF B0)
    std::vector<std::uint8_t> header;  // the memory card's first four bytes
    bool appSelected = false;
    std::size_t appOffset = 0;
    std::size_t appLength = 0;
};

}  // namespace orva::pcsc
