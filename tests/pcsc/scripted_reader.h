// A scripted PC/SC reader with one slot for the tests of the CT-API library over PC/SC: the
// card, its ATR and answers, and a memory card behind the storage-card command FF B0.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pcsc.h"
#include "support/test_support.h"

namespace orva::pcsc {

using Bytes = std::vector<std::uint8_t>;
using test::Hex;
using test::ToHex;

inline const Bytes kProcessorAtr = Hex("3B 88 80 01 00 00 00 00 00 00 00 00 09");
inline const Bytes kKvkAtr = Hex("3B 04 A2 13 10 91");

// A reader with one slot whose card and answers the test sets up.
class ScriptedReader : public Pcsc {
  public:
    std::vector<std::string> readers{"Alpha Reader 00 00", "Beta Reader 01 00"};
    ScardResult establishResult = kScardSuccess;
    ScardResult listResult = kScardSuccess;
    ScardResult connectResult = kScardSuccess;
    ScardResult statusResult = kScardSuccess;  // of GetStatusChange
    bool cardIn = true;
    std::deque<bool> changes;  // what a wait for a change sees next; empty: the wait times out
    std::uint32_t protocol = kProtocolT1;
    Bytes atr = kProcessorAtr;
    // The card: answers by command; commands not listed get 6D 00.
    std::map<std::string, std::string> answers;
    std::function<ScardResult(const Bytes&, Bytes&)> card;  // when set, answers everything
    std::optional<Bytes> memory;  // a memory card behind FF B0 (a reader with storage commands)

    std::vector<std::string> sent;
    std::vector<std::uint32_t> waits;  // the timeouts GetStatusChange was given
    std::vector<std::uint32_t> disconnects;
    int openContexts = 0;
    bool connected = false;
    bool takenOutWhenUnpowered = false;  // the user takes the card as soon as it is ejected

    ScardResult EstablishContext(ScardContext& context) override {
        if (establishResult == kScardSuccess) {
            ++openContexts;
            context = 0x1234;
        }
        return establishResult;
    }
    ScardResult ReleaseContext(ScardContext) override {
        --openContexts;
        return kScardSuccess;
    }
    ScardResult ListReaders(ScardContext, std::vector<std::string>& names) override {
        names = listResult == kScardSuccess ? readers : std::vector<std::string>{};
        return listResult;
    }
    ScardResult GetStatusChange(ScardContext, const std::string&, std::uint32_t current,
                                std::uint32_t timeoutMs, std::uint32_t& event) override {
        waits.push_back(timeoutMs);
        if (statusResult != kScardSuccess) {
            return statusResult;
        }
        if (current != kStateUnaware) {
            if (changes.empty()) {
                return kScardETimeout;
            }
            cardIn = changes.front();
            changes.pop_front();
        }
        event = (cardIn ? kStatePresent : kStateEmpty) | kStateChanged;
        return kScardSuccess;
    }
    ScardResult Connect(ScardContext, const std::string&, ScardHandle& handle,
                        std::uint32_t& active) override {
        if (connectResult != kScardSuccess) {
            return connectResult;
        }
        if (!cardIn) {
            return kScardENoSmartcard;
        }
        connected = true;
        handle = 0x42;
        active = protocol;
        return kScardSuccess;
    }
    ScardResult Status(ScardHandle, Bytes& out) override {
        if (!connected || !cardIn) {
            return kScardWRemovedCard;
        }
        out = atr;
        return kScardSuccess;
    }
    ScardResult Transmit(ScardHandle, std::uint32_t, std::span<const std::uint8_t> command,
                         Bytes& response, std::size_t room) override {
        const Bytes cmd(command.begin(), command.end());
        sent.push_back(ToHex(cmd));
        if (!connected) {
            return kScardEInvalidHandle;
        }
        ScardResult result = kScardSuccess;
        if (card) {
            result = card(cmd, response);
        } else if (memory && cmd.size() == 5 && cmd[0] == 0xFF && cmd[1] == 0xB0) {
            const std::size_t offset = static_cast<std::size_t>(cmd[2] << 8 | cmd[3]);
            const std::size_t count = cmd[4] == 0 ? 256u : cmd[4];
            if (offset + count > memory->size()) {
                response = Hex("6B 00");
            } else {
                response.assign(memory->begin() + static_cast<std::ptrdiff_t>(offset),
                                memory->begin() + static_cast<std::ptrdiff_t>(offset + count));
                response.push_back(0x90);
                response.push_back(0x00);
            }
        } else if (const auto it = answers.find(ToHex(cmd)); it != answers.end()) {
            response = Hex(it->second);
        } else {
            response = Hex("6D 00");
        }
        if (result == kScardSuccess && response.size() > room) {
            return kScardEInsufficientBuffer;
        }
        return result;
    }
    ScardResult Disconnect(ScardHandle, std::uint32_t disposition) override {
        disconnects.push_back(disposition);
        connected = false;
        if (takenOutWhenUnpowered && disposition == kUnpowerCard) {
            cardIn = false;
        }
        return kScardSuccess;
    }
};

}  // namespace orva::pcsc
